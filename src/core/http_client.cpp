// HTTP GET of a log document on libcurl's multi interface, so waiting never blocks a yield.
#include "core/http_client.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <string>

namespace brenvale {

namespace {

constexpr std::size_t kPieceSize = 4096;

struct EasyDeleter {
    void operator()(CURL* easy) const noexcept { curl_easy_cleanup(easy); }
};
struct MultiDeleter {
    void operator()(CURLM* multi) const noexcept { curl_multi_cleanup(multi); }
};

/// Attaches an easy handle to a multi handle for the duration of a transfer.
class Attachment {
public:
    Attachment(CURLM* multi, CURL* easy) : multi_(multi), easy_(easy) {
        attached_ = curl_multi_add_handle(multi, easy) == CURLM_OK;
    }
    ~Attachment() {
        if (attached_)
            curl_multi_remove_handle(multi_, easy_);
    }
    Attachment(const Attachment&) = delete;
    Attachment& operator=(const Attachment&) = delete;
    bool ok() const { return attached_; }

private:
    CURLM* multi_;
    CURL* easy_;
    bool attached_ = false;
};

struct Transfer {
    CURL* easy = nullptr;
    const std::function<bool(std::string_view)>* piece = nullptr;
    const HttpRequest* request = nullptr;
    HttpResponseInfo info;
    bool announced = false;
    bool stopped = false;
    bool rejectedStatus = false;
    std::string mismatch;        ///< why the answer is not the one asked for
    std::int64_t remaining = -1; ///< bytes of a partial body still to come
};

bool Successful(long status) {
    return status >= 200 && status < 300;
}

std::string Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' ||
                             text.back() == '\n'))
        text.remove_suffix(1);
    return std::string(text);
}

bool HeaderIs(std::string_view line, std::string_view name) {
    if (line.size() <= name.size() || line[name.size()] != ':')
        return false;
    for (std::size_t i = 0; i < name.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(line[i])) !=
            std::tolower(static_cast<unsigned char>(name[i])))
            return false;
    return true;
}

std::int64_t Number(std::string_view text) {
    if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != text.npos)
        return -1;
    return std::stoll(std::string(text));
}

/// Keeps the headers of the last response (a redirect's come first and are dropped).
std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    const std::size_t total = size * count;
    const std::string_view line(data, total);
    HttpResponseInfo& info = transfer->info;
    if (line.rfind("HTTP/", 0) == 0) {
        info = HttpResponseInfo();
    } else if (HeaderIs(line, "etag")) {
        info.etag = Trim(line.substr(5));
    } else if (HeaderIs(line, "last-modified")) {
        info.lastModified = Trim(line.substr(14));
    } else if (HeaderIs(line, "content-length")) {
        info.contentLength = Number(Trim(line.substr(15)));
    } else if (HeaderIs(line, "content-encoding")) {
        info.contentEncoding = Trim(line.substr(17));
    } else if (HeaderIs(line, "content-range")) {
        // "bytes 100-199/200", "bytes 100-199/*", or "bytes */200" with a 416.
        const std::string value = Trim(line.substr(14));
        const auto dash = value.find('-');
        const auto slash = value.find('/');
        if (value.rfind("bytes ", 0) == 0 && slash != std::string::npos) {
            if (dash != std::string::npos && dash < slash) {
                info.rangeStart = Number(std::string_view(value).substr(6, dash - 6));
                info.rangeEnd = Number(std::string_view(value).substr(dash + 1, slash - dash - 1));
            }
            info.completeLength = Number(std::string_view(value).substr(slash + 1));
        }
    }
    return total;
}

bool SameText(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

/// Why a 2xx answer is not the one `request` asked for; empty when it is.
std::string Mismatch(const HttpResponseInfo& info, const HttpRequest& request) {
    const std::string asked = "bytes from " + std::to_string(request.rangeFrom) + " on";
    if (request.rangeFrom > 0 && !info.contentEncoding.empty() &&
        !SameText(info.contentEncoding, "identity"))
        return "the server sent " + asked + " coded as " + info.contentEncoding +
               ", which was not asked for";
    if (info.status != 206)
        return {};
    if (request.rangeFrom == 0)
        return "the server sent part of the document (HTTP 206) when the whole was asked for";
    if (info.rangeStart < 0 || info.rangeEnd < info.rangeStart ||
        (info.completeLength >= 0 && info.rangeEnd >= info.completeLength))
        return "the server's partial answer to " + asked + " has no valid Content-Range";
    if (info.rangeStart != static_cast<std::int64_t>(request.rangeFrom))
        return "the server sent bytes " + std::to_string(info.rangeStart) + "-" +
               std::to_string(info.rangeEnd) + " when " + asked + " were asked for";
    const std::int64_t length = info.rangeEnd - info.rangeStart + 1;
    if (info.contentLength >= 0 && info.contentLength != length)
        return "the server's partial answer holds " + std::to_string(info.contentLength) +
               " bytes where its Content-Range says " + std::to_string(length);
    return {};
}

/// Settles, once the headers are in, whether the answer is the one asked for; false when not.
bool Announce(Transfer& transfer) {
    if (transfer.announced)
        return transfer.mismatch.empty();
    transfer.announced = true;
    curl_easy_getinfo(transfer.easy, CURLINFO_RESPONSE_CODE, &transfer.info.status);
    transfer.mismatch = Mismatch(transfer.info, *transfer.request);
    if (!transfer.mismatch.empty())
        return false;
    if (transfer.info.status == 206)
        transfer.remaining = transfer.info.rangeEnd - transfer.info.rangeStart + 1;
    if (transfer.request->onResponse)
        transfer.request->onResponse(transfer.info);
    return true;
}

std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    const std::size_t total = size * count;
    long status = 0;
    curl_easy_getinfo(transfer->easy, CURLINFO_RESPONSE_CODE, &status);
    if (!Successful(status)) {
        // An error page is not a log: swallow it, load nothing.
        transfer->rejectedStatus = true;
        return total;
    }
    if (!Announce(*transfer))
        return CURL_WRITEFUNC_ERROR;
    std::size_t usable = total;
    if (transfer->remaining >= 0 && static_cast<std::int64_t>(total) > transfer->remaining) {
        // Nothing past the end of the range reaches the caller.
        usable = static_cast<std::size_t>(transfer->remaining);
        transfer->mismatch = "the server's partial answer holds more bytes than its "
                             "Content-Range says";
    }
    if (transfer->remaining >= 0)
        transfer->remaining -= static_cast<std::int64_t>(usable);
    for (std::size_t at = 0; at < usable; at += kPieceSize) {
        const std::size_t length = std::min(kPieceSize, usable - at);
        if (!(*transfer->piece)(std::string_view(data + at, length))) {
            transfer->stopped = true;
            return CURL_WRITEFUNC_ERROR;
        }
    }
    return transfer->mismatch.empty() ? total : CURL_WRITEFUNC_ERROR;
}

/// The Content-Encoding of the final response, "an unknown encoding" when none can be read.
std::string ContentEncoding(CURL* easy) {
    curl_header* header = nullptr;
    if (curl_easy_header(easy, "Content-Encoding", 0, CURLH_HEADER, -1, &header) != CURLHE_OK ||
        header == nullptr || header->value == nullptr)
        return "an unknown encoding";
    return header->value;
}

/// The outcome of a transfer that ended without an error of its own.
void SettleFinishedTransfer(Transfer& transfer, const HttpRequest& request, HttpOutcome& outcome) {
    if (outcome.status == 416 && request.rangeFrom > 0) {
        outcome.ok = true;
        return;
    }
    if (!Successful(outcome.status)) {
        outcome.error = "the server answered with HTTP status " + std::to_string(outcome.status);
        return;
    }
    if (!Announce(transfer)) {
        outcome.error = transfer.mismatch;
        return;
    }
    if (transfer.remaining > 0) {
        outcome.error = "the server's partial answer ended " + std::to_string(transfer.remaining) +
                        " bytes short of its Content-Range";
        return;
    }
    outcome.ok = true;
}

void EnsureGlobalInit() {
    static const bool initialised = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    (void)initialised;
}

} // namespace

HttpOutcome HttpGet(const std::string& url, const std::string& userAgent,
                    const std::function<bool(std::string_view)>& piece,
                    const std::function<bool()>& idle, const HttpLimits& limits,
                    const HttpRequest& request) {
    EnsureGlobalInit();
    HttpOutcome outcome;
    // Everything the easy handle points to is declared first, so it outlives the handle.
    char errorText[CURL_ERROR_SIZE] = {};
    curl_slist* headers = curl_slist_append(nullptr, "Cache-Control: no-cache");
    headers = curl_slist_append(headers, "Pragma: no-cache");
    const std::string ifRange = "If-Range: " + request.ifRange;
    if (request.rangeFrom > 0) {
        // A coded body would count its own bytes, not the document's.
        headers = curl_slist_append(headers, "Accept-Encoding: identity");
        if (!request.ifRange.empty())
            headers = curl_slist_append(headers, ifRange.c_str());
    }
    std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headerList(headers,
                                                                           &curl_slist_free_all);
    std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
    std::unique_ptr<CURLM, MultiDeleter> multi(curl_multi_init());
    if (!easy || !multi) {
        outcome.error = "the HTTP client could not be started";
        return outcome;
    }
    Transfer transfer;
    transfer.easy = easy.get();
    transfer.piece = &piece;
    transfer.request = &request;
    const std::string range = std::to_string(request.rangeFrom) + "-";

    CURL* e = easy.get();
    curl_easy_setopt(e, CURLOPT_URL, url.c_str());
    curl_easy_setopt(e, CURLOPT_USERAGENT, userAgent.c_str());
    curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(e, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT, limits.connectTimeoutSeconds);
    curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME, limits.stallTimeoutSeconds);
    curl_easy_setopt(e, CURLOPT_BUFFERSIZE, static_cast<long>(kPieceSize));
    // Offer every encoding this libcurl can decode, and decode what the server sends: a server
    // may compress a log unasked, and its compressed bytes are no log lines. A range counts the
    // document's own bytes, so it asks for them uncoded.
    if (request.rangeFrom == 0)
        curl_easy_setopt(e, CURLOPT_ACCEPT_ENCODING, "");
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &OnBody);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &OnHeader);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, &transfer);
    if (request.rangeFrom > 0)
        curl_easy_setopt(e, CURLOPT_RANGE, range.c_str());
    // Always from the server, never from a cache on the way.
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, headerList.get());

    Attachment attachment(multi.get(), e);
    if (!attachment.ok()) {
        outcome.error = "the HTTP client could not be started";
        return outcome;
    }
    int running = 1;
    while (running > 0) {
        if (curl_multi_perform(multi.get(), &running) != CURLM_OK)
            break;
        if (transfer.stopped)
            break;
        if (running == 0)
            break;
        int ready = 0;
        curl_multi_poll(multi.get(), nullptr, 0, static_cast<int>(limits.idleMilliseconds), &ready);
        if (!idle()) {
            transfer.stopped = true;
            break;
        }
    }

    curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &outcome.status);
    outcome.info = transfer.info;
    outcome.info.status = outcome.status;
    if (transfer.stopped) {
        outcome.stopped = true;
        return outcome;
    }
    if (!transfer.mismatch.empty()) {
        outcome.error = transfer.mismatch;
        return outcome;
    }
    CURLcode code = CURLE_OK;
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi.get(), &queued))
        if (message->msg == CURLMSG_DONE)
            code = message->data.result;
    if (code != CURLE_OK) {
        outcome.error = errorText[0] != '\0' ? errorText : curl_easy_strerror(code);
        if (code == CURLE_BAD_CONTENT_ENCODING)
            outcome.error = "the body sent as " + ContentEncoding(e) +
                            " could not be decoded: " + outcome.error;
        return outcome;
    }
    SettleFinishedTransfer(transfer, request, outcome);
    return outcome;
}

} // namespace brenvale
