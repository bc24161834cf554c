#include "LoopbackClient.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <stdexcept>
#include <system_error>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace brindle::testing {

namespace {

constexpr int kConnectAttempts = 300;
constexpr std::chrono::milliseconds kConnectRetryPause{10};

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::generic_category().message(errno));
}

int connectedSocket(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int attempt = 0; attempt < kConnectAttempts; ++attempt) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) fail("socket");
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return fd;
        const int error = errno;
        ::close(fd);
        if (error != ECONNREFUSED) {
            errno = error;
            fail("connect to 127.0.0.1:" + std::to_string(port));
        }
        std::this_thread::sleep_for(kConnectRetryPause); // the server may still be starting
    }
    errno = ECONNREFUSED;
    fail("connect to 127.0.0.1:" + std::to_string(port));
}

} // namespace

LoopbackClient::LoopbackClient(std::uint16_t port) : fd_(connectedSocket(port)) {
    const timeval timeout{.tv_sec = kReadTimeout.count(), .tv_usec = 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    const int on = 1; // each sendAll goes out as its own segment
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

LoopbackClient::~LoopbackClient() {
    ::close(fd_);
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
        if (count == 0) return false;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) fail("no answer from the server within the read timeout");
        if (errno == ECONNRESET) return false; // the server closed with our bytes unread: also an end
        fail("recv");
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
    std::size_t headEnd;
    while ((headEnd = pending_.find("\r\n\r\n")) == std::string::npos)
        if (!readMore()) throw std::runtime_error("the server closed before the end of an answer head: " + pending_);
    std::string head = pending_.substr(0, headEnd);
    std::transform(head.begin(), head.end(), head.begin(), [](unsigned char c) { return std::tolower(c); });
    std::size_t bodySize = 0;
    if (const std::size_t at = head.find("\r\ncontent-length:"); at != std::string::npos)
        bodySize = std::stoul(head.substr(at + 17));
    return readExactly(headEnd + 4 + bodySize);
}

} // namespace brindle::testing
