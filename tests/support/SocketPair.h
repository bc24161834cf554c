#pragma once
// A connected pair of local sockets with an FDConnection on one end, so a test sees the exact bytes an
// HTTPResponder writes, with no server and no network.

#include <array>
#include <stdexcept>
#include <string>

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "BrindleKit/HTTPServer.h"

namespace brindle::testing {

class SocketPair {
public:
    SocketPair() : SocketPair(makePair()) {}
    ~SocketPair() {
        connection.close();
        closePeer();
    }
    SocketPair(const SocketPair&) = delete;
    SocketPair& operator=(const SocketPair&) = delete;

    FDConnection connection; // the server's end
    int peer;                // the client's end

    // Closes the connection's end and returns every byte written to it. Throws std::runtime_error when
    // the peer end was closed or a read timed out.
    std::string writtenBytes() {
        connection.close();
        std::string bytes;
        char chunk[4096];
        for (ssize_t count; (count = ::read(peer, chunk, sizeof chunk)) != 0;) {
            if (count < 0) throw std::runtime_error("reading the peer end failed");
            bytes.append(chunk, static_cast<std::size_t>(count));
        }
        return bytes;
    }

    // The client vanishes: later writes to the connection fail.
    void closePeer() {
        if (peer >= 0) ::close(peer);
        peer = -1;
    }

private:
    explicit SocketPair(std::array<int, 2> fds) : connection(fds[0]), peer(fds[1]) {
        const timeval timeout{.tv_sec = 5, .tv_usec = 0}; // a missing close fails the test, not the suite
        ::setsockopt(peer, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    }

    static std::array<int, 2> makePair() {
        std::array<int, 2> fds{};
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds.data()) != 0)
            throw std::runtime_error("socketpair failed");
        return fds;
    }
};

} // namespace brindle::testing
