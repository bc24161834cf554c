#pragma once
// The operating system's side of serving on the loopback address: the listening socket, accepting that outlives
// a shortage of descriptors, one accepted socket's reads and writes, and the threads that serve them. Nothing
// here knows HTTP.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

namespace brindle {

// "bind(127.0.0.1:8080) failed: Address already in use"
class ServerError : public std::runtime_error {
public:
    ServerError(const std::string& call, int errorNumber);
    const std::string& call() const { return call_; }
    int errorNumber() const { return errorNumber_; }

private:
    std::string call_;
    int errorNumber_;
};

struct LoopbackListener {
    int fd = -1;
    std::uint16_t port = 0; // the one bound, also when port 0 asked for an ephemeral one
};

// A listening socket on 127.0.0.1 only, never every interface, which does not block (see Acceptor).
// Throws ServerError naming the call that failed; the socket is closed then.
LoopbackListener listenOnLoopback(std::uint16_t port, int backlog);

// Hands out the listener's connections one by one. Running out of descriptors or memory only pauses accepting: it
// refuses one waiting client with its spare descriptor, backs off briefly and tries again, so new clients are
// served as soon as connections close. Only a broken listener ends accepting.
class Acceptor {
public:
    explicit Acceptor(int listenFD);
    Acceptor(const Acceptor&) = delete;
    Acceptor& operator=(const Acceptor&) = delete;
    ~Acceptor();

    // The next accepted socket (blocking, close-on-exec, no Nagle delay), after sleeping until a client comes;
    // -1 once the listener is broken and nothing accepted is left.
    int next();

private:
    enum class Outcome { accepted, shortage, failed };
    Outcome acceptWaiting();
    void refuseOneClient();

    int listenFD_;
    int spareFD_ = -1;      // held back for the moment no descriptor is left
    std::deque<int> queue_; // accepted, not yet handed out
    bool listening_ = true;
};

// One accepted socket. Reads and writes run on the connection's own thread, one at a time.
class FDConnection {
public:
    class WriteFailed : public std::runtime_error {
    public:
        WriteFailed() : std::runtime_error("write failed: the client is gone") {}
    };

    explicit FDConnection(int fd);
    FDConnection(const FDConnection&) = delete;
    FDConnection& operator=(const FDConnection&) = delete;

    // Blocks until a read would not: bytes, the peer's close or a failure. False when waiting itself failed.
    bool waitUntilReadable();
    // The same for at most `wait`; false when nothing came in that time.
    bool readableWithin(std::chrono::milliseconds wait);
    // One read of up to into.size() bytes; 0 when the peer closed or the read failed. Never throws.
    std::size_t receive(std::span<char> into);
    // Every byte, or throws WriteFailed (bytes already written stay written).
    void send(std::string_view bytes);
    // Closes the socket the first time only; safe from any thread.
    void close();
    int fd() const { return fd_; }

private:
    int fd_;
    bool closed_ = false;
    std::mutex closeLock_;
};

// Runs `body` on a detached thread named `name` (at most 15 bytes, Linux's limit). Throws std::system_error
// when no thread can be started.
void startNamedThread(const char* name, std::function<void()> body);

// Sockets that wait for their client without a thread: a thread for each idle keep-alive connection held its
// stack and its allocator's cache, 24 KiB, for nothing. One thread, started with the first socket parked, waits on
// them all and hands each back to the function it was parked with once it is readable (bytes, a hang-up or a
// failure), never to be watched again unless parked again. The same thread runs `settle` a second or two after a
// socket is parked, at most once a second: what the threads that parked their sockets leave behind is dealt with
// once for all of them, after they have ended.
class SocketWatch {
public:
    explicit SocketWatch(std::function<void()> settle) : settle_(std::move(settle)) {}
    SocketWatch(const SocketWatch&) = delete;
    SocketWatch& operator=(const SocketWatch&) = delete;

    // False when the socket cannot be watched (no descriptor, memory or thread for the watch, or a system
    // without one): the caller waits for it itself. `ready` runs on the watching thread, and must not block.
    bool park(int fd, std::function<void()> ready) noexcept;

private:
    bool startWatching();
    void watch();

    std::function<void()> settle_;
    std::mutex lock_;
    std::unordered_map<int, std::function<void()>> parked_;
    int watchFD_ = -1;                                                    // -1 until the first socket is parked
    std::optional<std::chrono::steady_clock::time_point> unsettledSince_; // the first park since settle_ last ran
};

// One write to standard error, the way the server announces itself; nobody is told when it fails.
void writeToStandardError(std::string_view text);

} // namespace brindle
