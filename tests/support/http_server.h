// A small HTTP/1.1 server on 127.0.0.1 for the tests: scripted answers, recorded requests.
#pragma once

#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace brenvale::test {

/// One scripted answer.
struct HttpReply {
    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;
    /// The body; each chunk goes out as a write of its own.
    std::vector<std::string> chunks;
    /// Before chunk i, the server waits at the named pause point until the test releases it.
    std::map<std::size_t, std::string> pauses;
    /// False: no Content-Length, the body ends when the server closes the connection.
    bool contentLength = true;
    /// Sent as Content-Encoding when not empty, whatever the request offered; the chunks are then
    /// the encoded bytes, as the test made them.
    std::string contentEncoding;
    /// Answers "Range: bytes=N-" with 206 (or 416 past the end), unless an If-Range differs
    /// from `etag`; the body is then the whole document.
    bool ranges = false;
    /// Sent as ETag when not empty.
    std::string etag;
    /// Bytes more than the body that Content-Length claims (a body cut short).
    std::size_t missingBytes = 0;
    /// Changes the 206 made from `whole` for "Range: bytes=from-" (its Content-Range, body,
    /// coding), so a test can script a server that answers oddly.
    std::function<void(const std::string& whole, std::size_t from, HttpReply& partial)> alterRange;
};

/// `bytes` cut into chunks of `size` bytes (the last one shorter), to go out as separate writes.
std::vector<std::string> Chunked(const std::string& bytes, std::size_t size);

/// What the server received for one request.
struct HttpRequest {
    std::string line;                           ///< "GET /path HTTP/1.1"
    std::map<std::string, std::string> headers; ///< names in lower case
};

/// Serves one connection at a time on its own thread; every answer closes its connection.
/// Unknown paths get a 404. The destructor stops the server, pauses included, and joins it.
class HttpServer {
public:
    /// Listens on an ephemeral port; throws std::system_error when it cannot.
    HttpServer();
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    int Port() const { return port_; }
    /// "http://127.0.0.1:port" + path.
    std::string Url(const std::string& path) const;

    void Serve(const std::string& path, HttpReply reply);
    /// Answers `path` with `status` and a Location header.
    void Redirect(const std::string& path, const std::string& location, int status = 302);

    /// True once the server has come to the pause point (and may still wait there).
    bool Reached(const std::string& pause) const;
    /// Lets the server go on past the pause point, now or when it gets there.
    void Release(const std::string& pause);

    std::vector<HttpRequest> Requests() const;

private:
    void Run();
    void Answer(int client);
    bool WaitFor(int fd, short events) const;
    bool SendAll(int client, const std::string& bytes) const;
    bool WaitAtPause(const std::string& pause);

    int listen_ = -1;
    int wake_[2] = {-1, -1};
    int port_ = 0;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool stopping_ = false;
    std::map<std::string, HttpReply> replies_;
    std::set<std::string> reached_;
    std::set<std::string> released_;
    std::vector<HttpRequest> requests_;

    std::thread thread_;
};

/// A port on 127.0.0.1 that stays bound but never listens while the object lives, so a
/// connection to it is refused and no other program can take it meanwhile.
class ClosedPort {
public:
    ClosedPort();
    ~ClosedPort();
    ClosedPort(const ClosedPort&) = delete;
    ClosedPort& operator=(const ClosedPort&) = delete;
    int Port() const { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
};

} // namespace brenvale::test
