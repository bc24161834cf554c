#include "BrindleBase/ClientPresence.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <thread>

#include <poll.h>
#include <sys/socket.h>

namespace brindle::ClientPresence {

namespace {

using Clock = std::chrono::steady_clock;

thread_local int servedSocket = -1;

enum class Peer { present, gone, unwatchable };

#ifdef POLLRDHUP
// Linux reports the peer's close apart from readable bytes, so a pipelined request waiting to be read
// neither wakes the wait nor hides the close behind it.
constexpr short kWatchedEvents = POLLRDHUP;
Peer peerAfter(int, short revents) {
    return revents != 0 ? Peer::gone : Peer::present;
}
#else
// Elsewhere the close shows only as an end of data, read without taking anything off the socket. Bytes of a
// pipelined request may stand before it; then the close cannot be seen until they are read.
constexpr short kWatchedEvents = POLLIN;
Peer peerAfter(int socket, short revents) {
    if (revents & (POLLHUP | POLLERR | POLLNVAL)) return Peer::gone;
    char byte = 0;
    const ssize_t peeked = ::recv(socket, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (peeked > 0) return Peer::unwatchable;
    if (peeked < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return Peer::present;
    return Peer::gone;
}
#endif

} // namespace

Scope::Scope(int socket) : previous_(servedSocket) {
    servedSocket = socket;
}

Scope::~Scope() {
    servedSocket = previous_;
}

bool sleepWhileClientStays(std::chrono::milliseconds duration) {
    const auto deadline = Clock::now() + duration;
    const int socket = servedSocket;
    while (socket >= 0) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return true;
        pollfd entry{.fd = socket, .events = kWatchedEvents, .revents = 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(std::min<long long>(left, INT_MAX)));
        if (ready < 0 && errno != EINTR) break; // cannot watch: wait out the time
        if (ready <= 0) continue;
        const Peer peer = peerAfter(socket, entry.revents);
        if (peer == Peer::gone) return false;
        if (peer == Peer::unwatchable) break;
    }
    std::this_thread::sleep_until(deadline);
    return true;
}

} // namespace brindle::ClientPresence
