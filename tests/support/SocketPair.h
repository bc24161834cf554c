#pragma once
// A connected pair of local sockets with an FDConnection on one end, so a test sees the exact bytes an
// HTTPResponder writes, with no server and no network.

#include <stdexcept>
#include <string>

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "BrindleKit/HTTPResponder.h"

namespace brindle::testing {

struct SocketPair {
    SocketPair() : connection(openPair(peer)) {}
    ~SocketPair() {
        connection.close();
        closePeer();
    }

    int peer = -1;           // the client's end; declared first, as opening the connection sets it
    FDConnection connection; // the server's end

    // Closes the connection's end and returns every byte written to it; throws std::runtime_error on a failed read.
    std::string writtenBytes() {
        connection.close();
        std::string bytes;
        char chunk[4096];
        for (ssize_t count; (count = ::read(peer, chunk, sizeof chunk)) != 0; bytes.append(chunk, count))
            if (count < 0) throw std::runtime_error("reading the peer end failed");
        return bytes;
    }

    // The client vanishes: later writes to the connection fail.
    void closePeer() {
        if (peer >= 0) ::close(peer);
        peer = -1;
    }

    static int openPair(int& peer) {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) throw std::runtime_error("socketpair");
        const timeval timeout{.tv_sec = 5, .tv_usec = 0}; // a missing close fails the test, not the suite
        ::setsockopt(fds[1], SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        peer = fds[1];
        return fds[0];
    }
};

} // namespace brindle::testing
