// A TCP relay that can cut a connection at a chosen statement.
#include "support/cut_proxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <string_view>
#include <vector>

namespace brenvale::test {

namespace {

int Connect(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool SendAll(int fd, const char* bytes, long size) {
    while (size > 0) {
        const long sent = ::send(fd, bytes, static_cast<std::size_t>(size), MSG_NOSIGNAL);
        if (sent <= 0)
            return false;
        bytes += sent;
        size -= sent;
    }
    return true;
}

/// `word` as a word of its own ("COMMIT", not "autocommit" or a column name).
bool HoldsWord(std::string_view bytes, std::string_view word) {
    for (auto at = bytes.find(word); at != std::string_view::npos; at = bytes.find(word, at + 1)) {
        const bool before = at == 0 || !std::isalnum(static_cast<unsigned char>(bytes[at - 1]));
        const auto end = at + word.size();
        const bool after =
            end == bytes.size() || !std::isalnum(static_cast<unsigned char>(bytes[end]));
        if (before && after && (at == 0 || bytes[at - 1] != '_'))
            return true;
    }
    return false;
}

} // namespace

CutProxy::CutProxy(std::uint16_t serverPort) : serverPort_(serverPort) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener_, 16);
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
}

CutProxy::~CutProxy() {
    stop_ = true;
    thread_.join();
    ::close(listener_);
}

void CutProxy::Cut(const std::string& word, int nth, bool afterServer) {
    word_ = word;
    afterServer_ = afterServer;
    countdown_ = nth;
}

bool CutProxy::CutsHere(const char* bytes, long size) {
    if (countdown_ <= 0 ||
        !HoldsWord(std::string_view(bytes, static_cast<std::size_t>(size)), word_))
        return false;
    return --countdown_ == 0;
}

void CutProxy::Serve() {
    // One connection at a time is all a run uses; the relay ends with it.
    while (!stop_) {
        pollfd waiting{listener_, POLLIN, 0};
        if (::poll(&waiting, 1, 50) <= 0)
            continue;
        const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client >= 0)
            Relay(client);
    }
}

void CutProxy::Relay(int client) {
    const int server = Connect(serverPort_);
    std::vector<char> buffer(1 << 16);
    for (bool open = server >= 0; open && !stop_;) {
        pollfd ends[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
        if (::poll(ends, 2, 50) <= 0)
            continue;
        for (int i = 0; i < 2 && open; ++i) {
            if (!(ends[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            const int from = ends[i].fd, to = i == 0 ? server : client;
            const long got = ::recv(from, buffer.data(), buffer.size(), 0);
            if (got <= 0) {
                open = false;
                break;
            }
            if (i == 0 && CutsHere(buffer.data(), got)) {
                ++cuts_;
                // The server commits; its answer never reaches the client.
                pollfd answer{server, POLLIN, 0};
                // The wait only bounds a statement the server does not answer on its own.
                if (afterServer_ && SendAll(server, buffer.data(), got) &&
                    ::poll(&answer, 1, 5000) > 0)
                    (void)::recv(server, buffer.data(), buffer.size(), 0);
                open = false;
                break;
            }
            open = SendAll(to, buffer.data(), got);
        }
    }
    if (server >= 0)
        ::close(server);
    ::close(client);
}

} // namespace brenvale::test
