// HTTP GET of a log document, delivered in pieces, cancellable while waiting.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace brenvale {

/// How a download ended.
struct HttpOutcome {
    bool ok = false;      ///< the whole body of a 2xx response was delivered
    bool stopped = false; ///< a callback asked to stop
    long status = 0;      ///< HTTP status of the final response, 0 when none arrived
    std::string error;    ///< readable reason when not ok and not stopped
};

/// Limits of one download.
struct HttpLimits {
    long connectTimeoutSeconds = 20;
    /// A transfer slower than one byte per second for this long is given up.
    long stallTimeoutSeconds = 300;
    /// How often `idle` is called while no data arrives.
    long idleMilliseconds = 50;
};

/// GETs `url` (http or https, redirects followed within those schemes, no cache) with
/// `userAgent`, offering every content encoding libcurl can decode (gzip, deflate, ...). The body
/// of a 2xx response goes to `piece` decoded, in pieces of at most 4096 bytes; any other status
/// delivers nothing. A body that cannot be decoded fails the download. `piece` and `idle` return
/// false to stop the download at once.
HttpOutcome HttpGet(const std::string& url, const std::string& userAgent,
                    const std::function<bool(std::string_view)>& piece,
                    const std::function<bool()>& idle, const HttpLimits& limits = {});

} // namespace brenvale
