// HTTP GET of a log document on libcurl's multi interface, so waiting never blocks a yield.
#include "core/http_client.h"

#include <curl/curl.h>

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
    } else if (HeaderIs(line, "content-range")) {
        // "bytes 100-199/200", or "bytes */200" with a 416.
        const std::string value = Trim(line.substr(14));
        const auto blank = value.find(' ');
        const auto dash = value.find('-');
        const auto slash = value.find('/');
        if (blank != std::string::npos && slash != std::string::npos) {
            if (dash != std::string::npos && dash < slash)
                info.rangeStart = Number(std::string_view(value).substr(blank + 1, dash - blank - 1));
            info.completeLength = Number(std::string_view(value).substr(slash + 1));
        }
    }
    return total;
}

void Announce(Transfer& transfer) {
    if (transfer.announced)
        return;
    transfer.announced = true;
    curl_easy_getinfo(transfer.easy, CURLINFO_RESPONSE_CODE, &transfer.info.status);
    if (transfer.request->onResponse)
        transfer.request->onResponse(transfer.info);
}

std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    const std::size_t total = size * count;
    long status = 0;
    curl_easy_getinfo(transfer->easy, CURLINFO_RESPONSE_CODE, &status);
    if (Successful(status))
        Announce(*transfer);
    if (!Successful(status)) {
        // An error page is not a log: swallow it, load nothing.
        transfer->rejectedStatus = true;
        return total;
    }
    for (std::size_t at = 0; at < total; at += kPieceSize) {
        const std::size_t length = std::min(kPieceSize, total - at);
        if (!(*transfer->piece)(std::string_view(data + at, length))) {
            transfer->stopped = true;
            return CURL_WRITEFUNC_ERROR;
        }
    }
    return total;
}

/// The Content-Encoding of the final response, "an unknown encoding" when none can be read.
std::string ContentEncoding(CURL* easy) {
    curl_header* header = nullptr;
    if (curl_easy_header(easy, "Content-Encoding", 0, CURLH_HEADER, -1, &header) != CURLHE_OK ||
        header == nullptr || header->value == nullptr)
        return "an unknown encoding";
    return header->value;
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
    if (outcome.status == 416 && request.rangeFrom > 0) {
        outcome.ok = true;
        return outcome;
    }
    if (Successful(outcome.status))
        Announce(transfer);
    if (!Successful(outcome.status)) {
        outcome.error = "the server answered with HTTP status " + std::to_string(outcome.status);
        return outcome;
    }
    outcome.ok = true;
    return outcome;
}

} // namespace brenvale
