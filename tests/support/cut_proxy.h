// A TCP relay on 127.0.0.1 in front of a database server that can cut the connection at a chosen
// statement: after passing it on and waiting for the server's answer (the answer to a COMMIT
// lost, as a network or a crashing server may lose it), or before the server sees it.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

namespace brenvale::test {

class CutProxy {
public:
    /// Relays to 127.0.0.1:`serverPort` until destroyed.
    explicit CutProxy(std::uint16_t serverPort);
    ~CutProxy();
    CutProxy(const CutProxy&) = delete;
    CutProxy& operator=(const CutProxy&) = delete;

    std::uint16_t Port() const { return port_; }
    /// The `nth` statement from now on that holds the upper-case `word` is cut: after the server
    /// answered it (`afterServer`), or before the server saw it.
    void Cut(const std::string& word, int nth, bool afterServer);
    /// How many statements were cut.
    int Cuts() const { return cuts_; }

private:
    void Serve();
    void Relay(int client);
    /// True when the bytes hold the statement that is to be cut now.
    bool CutsHere(const char* bytes, long size);

    int listener_ = -1;
    std::uint16_t serverPort_;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::string word_;
    std::atomic<int> countdown_{0};
    std::atomic<bool> afterServer_{true};
    std::atomic<int> cuts_{0};
    std::thread thread_;
};

} // namespace brenvale::test
