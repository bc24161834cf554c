#pragma once
// A raw-bytes TCP client for 127.0.0.1, for tests that check answers byte for byte. Every read gives up
// after kReadTimeout, so a server that hangs fails the test instead of stalling the suite.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace brindle::testing {

class LoopbackClient {
public:
    static constexpr std::chrono::seconds kReadTimeout{5};

    // Connects to 127.0.0.1:port, retrying for a few seconds while the port refuses (a server still starting).
    // Throws std::runtime_error when it never connects.
    explicit LoopbackClient(std::uint16_t port);
    ~LoopbackClient();
    LoopbackClient(const LoopbackClient&) = delete;
    LoopbackClient& operator=(const LoopbackClient&) = delete;

    // Throws std::runtime_error when the bytes cannot all be written.
    void sendAll(std::string_view bytes);
    // Sends no more; the server sees the end of the stream.
    void shutdownWrite();

    // Everything up to the server's close. Throws std::runtime_error on a timeout.
    std::string readUntilClose();
    // Exactly n bytes. Throws std::runtime_error on a timeout or an early close.
    std::string readExactly(std::size_t n);
    // One answer: its head up to the blank line and as many body bytes as its Content-Length says (none
    // without one), exactly as sent. Throws std::runtime_error on a timeout or an early close.
    std::string readHTTPResponse();

    int fd() const { return fd_; }

private:
    // One read into pending_; false at the end of the stream. Throws on a timeout or a failure.
    bool readMore();
    std::string takePending(std::size_t n);

    int fd_ = -1;
    std::string pending_; // read from the socket, not yet returned
};

} // namespace brindle::testing
