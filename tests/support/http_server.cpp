// A small HTTP/1.1 server on 127.0.0.1 for the tests: scripted answers, recorded requests.
#include "support/http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <sstream>
#include <system_error>

namespace brenvale::test {

namespace {

[[noreturn]] void ThrowErrno(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

int BindLoopback() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        ThrowErrno("socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        ThrowErrno("bind");
    }
    return fd;
}

int PortOf(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        ThrowErrno("getsockname");
    return ntohs(address.sin_port);
}

/// The request line and the header fields of `head` (ending in CR LF).
HttpRequest ParseHead(const std::string& head) {
    HttpRequest request;
    std::istringstream lines(head);
    std::getline(lines, request.line);
    request.line.pop_back(); // the CR
    for (std::string field; std::getline(lines, field) && field.size() > 1;) {
        const std::size_t colon = field.find(':');
        std::string name = field.substr(0, colon);
        for (char& c : name)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        const std::size_t value = field.find_first_not_of(' ', colon + 1);
        request.headers[name] = field.substr(value, field.size() - 1 - value);
    }
    return request;
}

} // namespace

HttpServer::HttpServer() {
    listen_ = BindLoopback();
    if (::listen(listen_, 16) != 0 || ::pipe2(wake_, O_CLOEXEC) != 0) {
        const int error = errno;
        ::close(listen_);
        throw std::system_error(error, std::generic_category(), "listen");
    }
    port_ = PortOf(listen_);
    thread_ = std::thread([this] { Run(); });
}

HttpServer::~HttpServer() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    const char byte = 0;
    (void)!::write(wake_[1], &byte, 1);
    thread_.join();
    ::close(listen_);
    ::close(wake_[0]);
    ::close(wake_[1]);
}

std::string HttpServer::Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void HttpServer::Serve(const std::string& path, HttpReply reply) {
    std::lock_guard lock(mutex_);
    replies_[path] = std::move(reply);
}

void HttpServer::Redirect(const std::string& path, const std::string& location, int status) {
    HttpReply reply;
    reply.status = status;
    reply.headers.emplace_back("Location", location);
    Serve(path, std::move(reply));
}

bool HttpServer::Reached(const std::string& pause) const {
    std::lock_guard lock(mutex_);
    return reached_.count(pause) > 0;
}

void HttpServer::Release(const std::string& pause) {
    {
        std::lock_guard lock(mutex_);
        released_.insert(pause);
    }
    changed_.notify_all();
}

std::vector<HttpRequest> HttpServer::Requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

bool HttpServer::WaitFor(int fd, short events) const {
    pollfd fds[2] = {{fd, events, 0}, {wake_[0], POLLIN, 0}};
    for (;;) {
        const int ready = ::poll(fds, 2, -1);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0 || (fds[1].revents & POLLIN))
            return false;
        if (fds[0].revents != 0)
            return true;
    }
}

bool HttpServer::SendAll(int client, const std::string& bytes) const {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        if (!WaitFor(client, POLLOUT))
            return false;
        const ssize_t n =
            ::send(client, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (n <= 0)
            return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

bool HttpServer::WaitAtPause(const std::string& pause) {
    std::unique_lock lock(mutex_);
    reached_.insert(pause);
    changed_.notify_all();
    changed_.wait(lock, [&] { return stopping_ || released_.count(pause) > 0; });
    return !stopping_;
}

void HttpServer::Run() {
    while (WaitFor(listen_, POLLIN)) {
        const int client = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0)
            continue;
        Answer(client);
        ::close(client);
    }
}

void HttpServer::Answer(int client) {
    std::string head;
    char buffer[4096];
    while (head.find("\r\n\r\n") == std::string::npos) {
        if (!WaitFor(client, POLLIN))
            return;
        const ssize_t n = ::recv(client, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (n <= 0)
            return;
        head.append(buffer, static_cast<std::size_t>(n));
    }
    const HttpRequest request = ParseHead(head.substr(0, head.find("\r\n\r\n") + 2));
    std::string method, path;
    std::istringstream(request.line) >> method >> path;

    HttpReply reply;
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
        const auto found = replies_.find(path);
        if (found != replies_.end()) {
            reply = found->second;
        } else {
            reply.status = 404;
            reply.chunks = {"not found\n"};
        }
    }

    // "Range: bytes=N-" of the same document: 206 with the rest, or 416 from past its end.
    const auto range = request.headers.find("range");
    const auto ifRange = request.headers.find("if-range");
    if (reply.ranges && reply.status == 200 && range != request.headers.end() &&
        (ifRange == request.headers.end() || ifRange->second == reply.etag)) {
        std::string whole;
        for (const std::string& chunk : reply.chunks)
            whole += chunk;
        const std::size_t from =
            std::min<std::size_t>(std::stoul(range->second.substr(6)), whole.size());
        const std::string size = std::to_string(whole.size());
        reply.status = from < whole.size() ? 206 : 416;
        reply.headers.emplace_back(
            "Content-Range", from < whole.size() ? "bytes " + std::to_string(from) + "-" +
                                                       std::to_string(whole.size() - 1) + "/" + size
                                                 : "bytes */" + size);
        reply.chunks = {whole.substr(from)};
        if (reply.status == 206 && reply.alterRange)
            reply.alterRange(whole, from, reply);
    }
    if (!reply.etag.empty())
        reply.headers.emplace_back("ETag", reply.etag);
    // The reason phrase means nothing to a client.
    std::string answer =
        "HTTP/1.1 " + std::to_string(reply.status) + " Status\r\nConnection: close\r\n";
    for (const auto& [name, value] : reply.headers)
        answer += name + ": " + value + "\r\n";
    if (!reply.contentEncoding.empty())
        answer += "Content-Encoding: " + reply.contentEncoding + "\r\n";
    if (reply.contentLength) {
        std::size_t length = 0;
        for (const std::string& chunk : reply.chunks)
            length += chunk.size();
        answer += "Content-Length: " + std::to_string(length + reply.missingBytes) + "\r\n";
    }
    answer += "\r\n";
    if (!SendAll(client, answer))
        return;
    for (std::size_t i = 0; i < reply.chunks.size(); ++i) {
        const auto pause = reply.pauses.find(i);
        if (pause != reply.pauses.end() && !WaitAtPause(pause->second))
            return;
        if (!SendAll(client, reply.chunks[i]))
            return;
    }
    // Half-close, then wait for the client to hang up, so no unread byte turns the close into a
    // reset that could cut the answer short.
    ::shutdown(client, SHUT_WR);
    while (WaitFor(client, POLLIN)) {
        const ssize_t n = ::recv(client, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
            break;
    }
}

std::vector<std::string> Chunked(const std::string& bytes, std::size_t size) {
    std::vector<std::string> chunks;
    for (std::size_t at = 0; at < bytes.size(); at += size)
        chunks.push_back(bytes.substr(at, size));
    return chunks;
}

ClosedPort::ClosedPort() : fd_(BindLoopback()), port_(PortOf(fd_)) {}

ClosedPort::~ClosedPort() {
    ::close(fd_);
}

} // namespace brenvale::test
