#pragma once
// Raw-bytes TCP clients for 127.0.0.1, shared by the tests and bench/brindle_probe. Every read gives up after a
// few seconds, so a hung server fails the test instead of stalling the suite.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace brindle::testing {

class LoopbackClient {
public:
    // Connects to a listening 127.0.0.1:port; throws std::runtime_error when it cannot.
    explicit LoopbackClient(std::uint16_t port);
    // A non-blocking socket whose connect is under way, throwing only when there is no socket: poll fd() for
    // POLLOUT, then POLLHUP or SO_ERROR says whether the connect failed.
    enum class Connect { started };
    LoopbackClient(std::uint16_t port, Connect);
    ~LoopbackClient();
    LoopbackClient(LoopbackClient&& other) noexcept;
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

// The size of the answer at the start of `bytes`, its head and as many body bytes as its Content-Length says,
// once the head is complete; std::string::npos before.
std::size_t httpResponseSize(std::string_view bytes);

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
