// HTTP GET of a log document, delivered in pieces, cancellable while waiting.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace brenvale {

/// What the final response said about its body, known before the first byte of it.
struct HttpResponseInfo {
    long status = 0;
    std::string etag;
    std::string lastModified;
    /// The first and last byte of a partial (206) body, and the document's whole length where
    /// the server gave it (Content-Range), else -1.
    std::int64_t rangeStart = -1;
    std::int64_t rangeEnd = -1;
    std::int64_t completeLength = -1;
    /// The Content-Encoding, empty when none was sent.
    std::string contentEncoding;
    /// The body is cut short of its Content-Length when the transfer fails.
    std::int64_t contentLength = -1;
};

/// How a download ended.
struct HttpOutcome {
    bool ok = false;      ///< the whole body of a 2xx response was delivered, or a 416 came
    bool stopped = false; ///< a callback asked to stop
    long status = 0;      ///< HTTP status of the final response, 0 when none arrived
    std::string error;    ///< readable reason when not ok and not stopped
    HttpResponseInfo info;
};

/// A download that asks for part of a document.
struct HttpRequest {
    /// Above 0: only the bytes from here on (Range), with no content coding, so the offsets are
    /// the document's own.
    std::uint64_t rangeFrom = 0;
    /// The validator (ETag or Last-Modified) the range depends on: a changed document comes
    /// whole (If-Range).
    std::string ifRange;
    /// Called once the final response's headers are in, before its body.
    std::function<void(const HttpResponseInfo&)> onResponse;
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
/// `userAgent`, offering every content encoding libcurl can decode (gzip, deflate, ...) unless a
/// range is asked for. The body of a 2xx response goes to `piece` decoded, in pieces of at most
/// 4096 bytes; any other status delivers nothing. A body that cannot be decoded fails the
/// download. `piece` and `idle` return false to stop the download at once. A 416 (nothing at or
/// after rangeFrom) delivers no body and counts as ok. An answer that is not what was asked for
/// fails before any of its body is delivered: a 206 unless its Content-Range starts exactly at
/// rangeFrom and its length agrees, and a Content-Encoding other than identity on a range. A
/// partial body is delivered only up to the end of its range, and one cut short of it fails.
HttpOutcome HttpGet(const std::string& url, const std::string& userAgent,
                    const std::function<bool(std::string_view)>& piece,
                    const std::function<bool()>& idle, const HttpLimits& limits = {},
                    const HttpRequest& request = {});

} // namespace brenvale
