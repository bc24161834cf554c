#include "BrindleKit/HTTPServer.h"

#include <chrono>
#include <optional>
#include <string>
#include <utility>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "BrindleBase/ClientPresence.h"
#include "BrindleBase/JSONValue.h"

namespace brindle {

namespace {

// A body from this size on leaves buffers worth giving back as soon as it has been answered (the JSON decoder lets
// its parser go from the same size on).
constexpr std::size_t kLargeBody = 64u << 10;
// A body from this size on leaves them worth giving back once the connection idles: its thread keeps a parser
// of about six times the body for the next one, and its records went back to the allocator, not to the system.
// Done at once, that cost a third of the throughput for 20 KiB bodies; 200 connections idling after a 60 KiB
// body held 283 KiB each.
constexpr std::size_t kSizableBody = 4u << 10;
// How long a connection waits for its next request before it counts as idle: a busy client's next request
// comes far sooner.
constexpr std::chrono::milliseconds kIdleAfter{200};

// The memory freed while answering (parser, decoded records) goes back to the system instead of staying with the
// allocator's per-thread arenas, where an idle connection kept megabytes of it.
void returnFreedMemory() {
#ifdef __GLIBC__
    ::malloc_trim(0);
#endif
}

// The reader's view of an accepted socket.
class SocketPeer final : public RequestPeer {
public:
    explicit SocketPeer(FDConnection& connection) : connection_(connection) {}
    bool waitUntilReadable() override {
        if (!releaseOnceIdle_) return connection_.waitUntilReadable();
        releaseOnceIdle_ = false;
        if (connection_.readableWithin(kIdleAfter)) return true;
        JSONCoding::Decoder::releaseThreadParsers();
        returnFreedMemory();
        return connection_.waitUntilReadable();
    }
    std::size_t receive(std::span<char> into) override { return connection_.receive(into); }
    void send(std::string_view bytes) override { connection_.send(bytes); }
    // The next wait for a request gives back this thread's buffers if it lasts.
    void releaseOnceIdle() { releaseOnceIdle_ = true; }

private:
    FDConnection& connection_;
    bool releaseOnceIdle_ = false;
};

} // namespace

HTTPServer::HTTPServer(std::uint16_t port, Handler handler) : port_(port), handler_(std::move(handler)) {}

void HTTPServer::start() {
    const LoopbackListener listener = listenOnLoopback(port_, kBacklog);
    listenFD_ = listener.fd;
    port_ = listener.port;
    writeToStandardError("brindle-server listening on 127.0.0.1:" + std::to_string(port_) + "\n");
    // Linux refuses thread names over 15 bytes, which "brindle-server.accept" (21) is. The server lives as long
    // as the process, so the thread may hold `this`.
    startNamedThread("brindle.accept", [this] { acceptLoop(); });
}

// One thread per connection: it reads, runs the handler and writes for its requests one after another, so it is
// also the connection's serial executor.
void HTTPServer::acceptLoop() {
    Acceptor acceptor(listenFD_);
    for (int fd; (fd = acceptor.next()) >= 0;)
        serveOnOwnThread(fd, [this](FDConnection& connection) { serve(connection); });
}

void HTTPServer::serve(FDConnection& connection) {
    SocketPeer peer(connection);
    RequestReader reader(peer);
    for (;;) {
        std::optional<HTTPRequest> request = reader.next();
        if (!request) return;
        const std::size_t bodySize = request->body.size();
        const bool keepOpen = answer(*request, connection);
        request.reset(); // not kept while the connection waits for its next request
        if (bodySize >= kLargeBody)
            returnFreedMemory();
        else if (bodySize >= kSizableBody)
            peer.releaseOnceIdle();
        if (!keepOpen) return;
    }
}

// Calls the handler with a responder of its own; false when the connection must close afterwards.
bool HTTPServer::answer(const HTTPRequest& request, FDConnection& connection) {
    HTTPResponder responder(connection);
    const ClientPresence::Scope client(connection.fd()); // a wait in the model ends when this client hangs up
    try {
        handler_(request, responder);
    } catch (...) {
        return false; // a handler that throws broke its contract: close this connection, spare the process
    }
    return !responder.wantsClose(); // an event stream ends with the connection
}

} // namespace brindle
