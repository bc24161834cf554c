#pragma once
// Raw-bytes TCP clients for 127.0.0.1. Every read gives up after a few seconds, so a hung server fails the
// test instead of stalling the suite.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace brindle::testing {

class LoopbackClient {
public:
    // Connects to a listening 127.0.0.1:port; throws std::runtime_error when it cannot.
    explicit LoopbackClient(std::uint16_t port);
    ~LoopbackClient();
    LoopbackClient(const LoopbackClient&) = delete;
    LoopbackClient& operator=(const LoopbackClient&) = delete;

    // Each call goes out as its own segment. Throws std::runtime_error when the bytes cannot all be written.
    void sendAll(std::string_view bytes);
    void shutdownWrite();

    // These throw std::runtime_error on a read timeout; readExactly and readHTTPResponse also on an early close.
    std::string readUntilClose();
    std::string readExactly(std::size_t n);
    // One answer exactly as sent: its head and as many body bytes as its Content-Length says.
    std::string readHTTPResponse();

    int fd() const { return fd_; }

private:
    bool readMore(); // false at the end of the stream
    std::string takePending(std::size_t n);

    int fd_ = -1;
    std::string pending_; // read from the socket, not yet returned
};

// A socket listening on an ephemeral 127.0.0.1 port for its lifetime, so nothing else can bind there.
class BusyPort {
public:
    BusyPort();
    ~BusyPort();
    BusyPort(const BusyPort&) = delete;
    BusyPort& operator=(const BusyPort&) = delete;

    std::uint16_t port() const { return port_; }

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

} // namespace brindle::testing
