#include "BrindleKit/Sockets.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <memory>
#include <new>
#include <system_error>
#include <thread>
#include <utility>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#ifdef __linux__
#include <sys/epoll.h>
#endif
#include <unistd.h>

namespace brindle {

namespace {

#ifdef MSG_NOSIGNAL
// Linux has no SO_NOSIGPIPE: the flag on every send keeps a vanished peer from raising SIGPIPE.
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0; // the socket's SO_NOSIGPIPE does that job
#endif

// Close-on-exec everywhere: a program this process starts must not inherit the listener or a client's
// socket, which would keep the connection open after we close it.
#ifdef SOCK_CLOEXEC
constexpr int kCloseOnExec = SOCK_CLOEXEC;
#else
constexpr int kCloseOnExec = 0;
#endif

enum class Wait { readable, timedOut, failed };

// timeout: milliseconds, or -1 for as long as it takes.
Wait waitUntilReadable(int fd, int timeout) {
    pollfd entry{.fd = fd, .events = POLLIN, .revents = 0};
    for (;;) {
        const int ready = ::poll(&entry, 1, timeout);
        if (ready > 0) return Wait::readable; // readable, hung up or failed: the read tells which
        if (ready == 0) return Wait::timedOut;
        if (errno != EINTR) return Wait::failed;
    }
}

void setNoDelay(int fd) {
    // Each answer is one send and stream frames go out one by one; with Nagle's algorithm a small frame
    // written while the previous one is unacknowledged would wait for the client's delayed ACK (~40 ms).
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// The listener does not block; the accepted socket does.
int acceptConnection(int listenFD) {
#ifdef __linux__
    return ::accept4(listenFD, nullptr, nullptr, SOCK_CLOEXEC);
#else
    const int fd = ::accept(listenFD, nullptr, nullptr);
    if (fd >= 0) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK); // BSD sockets inherit the flag
    return fd;
#endif
}

// Out of descriptors or of kernel memory: the listener is fine, and accepting works again once some are back.
bool isShortage(int error) {
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

// A failure that belongs to one waiting client (it reset before we took it), not to the listener.
bool isClientFailure(int error) {
    return error == EINTR || error == ECONNABORTED || error == EPROTO;
}

// Waiting clients cannot be taken, so the listener stays readable: without a pause the loop would spin.
void backOffAfterShortage() {
    constexpr std::chrono::milliseconds kBackOff{50};
    std::this_thread::sleep_for(kBackOff);
}

int openSpareDescriptor() {
    return ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

void nameThisThread(const char* name) {
#ifdef __APPLE__
    pthread_setname_np(name);
#else
    pthread_setname_np(pthread_self(), name);
#endif
}

} // namespace

ServerError::ServerError(const std::string& call, int errorNumber)
    : std::runtime_error(call + " failed: " + std::generic_category().message(errorNumber)), call_(call),
      errorNumber_(errorNumber) {}

LoopbackListener listenOnLoopback(std::uint16_t port, int backlog) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | kCloseOnExec, 0);
    if (fd < 0) throw ServerError("socket", errno);
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);

    sockaddr_in address{};
#ifdef __APPLE__
    address.sin_len = sizeof address;
#endif
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = inet_addr("127.0.0.1");
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        ::close(fd);
        throw ServerError("bind(127.0.0.1:" + std::to_string(port) + ")", error);
    }
    if (::listen(fd, backlog) != 0) {
        const int error = errno;
        ::close(fd);
        throw ServerError("listen", error);
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); // the acceptor empties the queue, see there
    socklen_t length = sizeof address;
    if (port == 0 && ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    return {.fd = fd, .port = port};
}

Acceptor::Acceptor(int listenFD) : listenFD_(listenFD), spareFD_(openSpareDescriptor()) {}

Acceptor::~Acceptor() {
    for (const int fd : queue_) ::close(fd);
    if (spareFD_ >= 0) ::close(spareFD_);
}

// The listen queue holds 16 connections, and starting a thread takes far longer than accepting one (about 30 us
// against 4 us): 64 clients connecting at once overflowed it, and every client whose handshake the kernel dropped
// waited a second for its retransmission. So the queue is emptied before each connection is handed out.
int Acceptor::next() {
    while (listening_ || !queue_.empty()) {
        if (listening_) {
            const Outcome outcome = acceptWaiting();
            listening_ = outcome != Outcome::failed;
            if (outcome == Outcome::shortage && queue_.empty()) {
                refuseOneClient();
                backOffAfterShortage();
            }
        }
        if (queue_.empty()) continue;
        const int fd = queue_.front();
        queue_.pop_front();
        setNoDelay(fd);
        return fd;
    }
    return -1;
}

// Moves every connection waiting in the listen queue to the queue, first sleeping until a client comes when
// there is nothing else to do. `failed` when accepting must end: the listener itself is broken.
Acceptor::Outcome Acceptor::acceptWaiting() {
    for (;;) {
        const int fd = acceptConnection(listenFD_);
        if (fd >= 0) {
            try {
                queue_.push_back(fd);
            } catch (const std::bad_alloc&) {
                ::close(fd);
                return Outcome::shortage;
            }
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (!queue_.empty()) return Outcome::accepted;
            if (waitUntilReadable(listenFD_, -1) != Wait::readable) return Outcome::failed;
        } else if (isShortage(errno)) {
            return Outcome::shortage;
        } else if (!isClientFailure(errno)) {
            return Outcome::failed;
        }
    }
}

// Closing the spare lets the first waiting client be taken and closed at once, so it learns it will not be served
// instead of waiting in the queue until its own timeout; then the spare is taken back.
void Acceptor::refuseOneClient() {
    if (spareFD_ < 0) spareFD_ = openSpareDescriptor(); // another thread took the one freed last time
    if (spareFD_ < 0) return;
    ::close(spareFD_);
    if (const int client = acceptConnection(listenFD_); client >= 0) ::close(client);
    spareFD_ = openSpareDescriptor();
}

FDConnection::FDConnection(int fd) : fd_(fd) {
#ifdef SO_NOSIGPIPE
    const int on = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
}

bool FDConnection::waitUntilReadable() {
    return brindle::waitUntilReadable(fd_, -1) == Wait::readable;
}

bool FDConnection::readableWithin(std::chrono::milliseconds wait) {
    return brindle::waitUntilReadable(fd_, static_cast<int>(wait.count())) != Wait::timedOut;
}

std::size_t FDConnection::receive(std::span<char> into) {
    const ssize_t count = ::read(fd_, into.data(), into.size());
    return count > 0 ? static_cast<std::size_t>(count) : 0; // peer closed, or any failure (EINTR too)
}

void FDConnection::send(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::send(fd_, bytes.data(), bytes.size(), kSendFlags);
        if (written > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(written));
        } else if (written == 0 || errno != EINTR) {
            throw WriteFailed();
        }
    }
}

void FDConnection::close() {
    const std::lock_guard lock(closeLock_);
    if (closed_) return;
    closed_ = true;
    ::close(fd_);
}

void startNamedThread(const char* name, std::function<void()> body) {
    std::thread([name, body = std::move(body)] {
        nameThisThread(name);
        body();
    }).detach();
}

#ifdef __linux__

bool SocketWatch::park(int fd, std::function<void()> ready) noexcept {
    try {
        const std::lock_guard hold(lock_);
        if (watchFD_ < 0 && !startWatching()) return false;
        parked_.insert_or_assign(fd, std::move(ready));
        epoll_event event{.events = EPOLLIN | EPOLLRDHUP | EPOLLONESHOT, .data = {.fd = fd}};
        if (epoll_ctl(watchFD_, EPOLL_CTL_ADD, fd, &event) == 0) {
            if (!unsettledSince_) unsettledSince_ = std::chrono::steady_clock::now();
            return true;
        }
        parked_.erase(fd);
    } catch (...) {
        // No memory for the entry, or no thread to watch: the caller waits itself.
    }
    return false;
}

bool SocketWatch::startWatching() {
    watchFD_ = epoll_create1(EPOLL_CLOEXEC);
    if (watchFD_ < 0) return false;
    try {
        startNamedThread("brindle.idle", [this] { watch(); }); // the server, and its watch, live as long as the process
    } catch (...) {
        ::close(std::exchange(watchFD_, -1));
        return false;
    }
    return true;
}

// A socket is taken out of the watch before it is handed back: the descriptor may be closed and its number reused
// by the time it is parked again. The wait ends when settling is due, and at least every second, since a socket
// parked meanwhile does not end it.
void SocketWatch::watch() {
    using namespace std::chrono;
    constexpr milliseconds kSettleAfter{1000};
    epoll_event events[64];
    for (;;) {
        milliseconds wait = kSettleAfter;
        {
            const std::lock_guard hold(lock_);
            if (unsettledSince_)
                wait = std::max(milliseconds(0),
                                kSettleAfter - duration_cast<milliseconds>(steady_clock::now() - *unsettledSince_));
        }
        const int count = epoll_wait(watchFD_, events, std::size(events), static_cast<int>(wait.count()) + 1);
        if (count < 0 && errno != EINTR) return; // the watch itself is broken: never spin on it
        for (int i = 0; i < count; ++i) {
            std::function<void()> ready;
            {
                const std::lock_guard hold(lock_);
                const auto found = parked_.find(events[i].data.fd);
                if (found == parked_.end()) continue;
                ready = std::move(found->second);
                parked_.erase(found);
                epoll_ctl(watchFD_, EPOLL_CTL_DEL, events[i].data.fd, nullptr);
            }
            ready();
        }
        bool due = false;
        {
            const std::lock_guard hold(lock_);
            if ((due = unsettledSince_ && steady_clock::now() - *unsettledSince_ >= kSettleAfter))
                unsettledSince_.reset();
        }
        if (due) settle_();
    }
}

#else

bool SocketWatch::park(int, std::function<void()>) noexcept {
    return false;
}

#endif

void writeToStandardError(std::string_view text) {
    if (::write(STDERR_FILENO, text.data(), text.size()) < 0) {
        // Nobody to tell when standard error is gone.
    }
}

} // namespace brindle
