#include "LoopbackClient.h"

#include <cerrno>
#include <stdexcept>
#include <system_error>
#include <utility>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace brindle::testing {

namespace {

// Closes the socket, if any, and throws with errno's message.
[[noreturn]] void fail(const std::string& what, int fd = -1) {
    const int error = errno;
    if (fd >= 0) ::close(fd);
    throw std::runtime_error(what + ": " + std::generic_category().message(error));
}

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A socket whose reads and writes give up after a few seconds, connecting (or, non-blocking, starting to) to
// 127.0.0.1:port.
int connectedSocket(std::uint16_t port, bool nonBlocking) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), 0);
    if (fd < 0) fail("socket");
    const timeval timeout{.tv_sec = 5, .tv_usec = 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    const sockaddr_in address = loopback(port);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 && !nonBlocking)
        fail("connect to 127.0.0.1:" + std::to_string(port), fd);
    return fd;
}

} // namespace

LoopbackClient::LoopbackClient(std::uint16_t port) : fd_(connectedSocket(port, false)) {}

LoopbackClient::LoopbackClient(std::uint16_t port, Connect) : fd_(connectedSocket(port, true)) {}

LoopbackClient::LoopbackClient(LoopbackClient&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), pending_(std::move(other.pending_)) {}

LoopbackClient::~LoopbackClient() {
    if (fd_ >= 0) ::close(fd_);
}

void LoopbackClient::sendAll(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) fail("send");
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
}

void LoopbackClient::shutdownWrite() {
    ::shutdown(fd_, SHUT_WR);
}

bool LoopbackClient::readMore() {
    char chunk[16'384];
    for (;;) {
        const ssize_t count = ::recv(fd_, chunk, sizeof chunk, 0);
        if (count > 0) {
            pending_.append(chunk, static_cast<std::size_t>(count));
            return true;
        }
        if (count == 0 || errno == ECONNRESET) return false; // a reset with our bytes unread is also an end
        if (errno == EAGAIN || errno == EWOULDBLOCK) fail("no answer from the server within the read timeout");
        if (errno != EINTR) fail("recv");
    }
}

std::string LoopbackClient::takePending(std::size_t n) {
    std::string taken = pending_.substr(0, n);
    pending_.erase(0, n);
    return taken;
}

std::string LoopbackClient::readUntilClose() {
    while (readMore()) {
    }
    return takePending(pending_.size());
}

std::string LoopbackClient::readExactly(std::size_t n) {
    while (pending_.size() < n)
        if (!readMore())
            throw std::runtime_error("the server closed after " + std::to_string(pending_.size()) + " of " +
                                     std::to_string(n) + " bytes");
    return takePending(n);
}

std::string LoopbackClient::readHTTPResponse() {
    std::size_t size;
    while ((size = httpResponseSize(pending_)) == std::string::npos)
        if (!readMore()) throw std::runtime_error("the server closed before the end of an answer head: " + pending_);
    return readExactly(size);
}

std::size_t httpResponseSize(std::string_view bytes) {
    const std::size_t headEnd = bytes.find("\r\n\r\n");
    if (headEnd == std::string_view::npos) return std::string::npos;
    std::size_t bodySize = 0; // our server spells the header this way only
    if (const std::size_t at = bytes.find("\r\nContent-Length: "); at < headEnd)
        bodySize = std::stoul(std::string(bytes.substr(at + 18, headEnd - at - 18)));
    return headEnd + 4 + bodySize;
}

BusyPort::BusyPort() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd_, 1) != 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        fail("listen on an ephemeral port", fd_);
    port_ = ntohs(address.sin_port);
}

BusyPort::~BusyPort() {
    ::close(fd_);
}

} // namespace brindle::testing
