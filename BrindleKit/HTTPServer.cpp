#include "BrindleKit/HTTPServer.h"

#include <optional>
#include <string>
#include <utility>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "BrindleBase/ClientPresence.h"

namespace brindle {

namespace {

// A body from this size on leaves buffers worth giving back once it has been answered (the JSON decoder lets
// its parser go from the same size on).
constexpr std::size_t kLargeBody = 64u << 10;

// The reader's view of an accepted socket.
class SocketPeer final : public RequestPeer {
public:
    explicit SocketPeer(FDConnection& connection) : connection_(connection) {}
    bool waitUntilReadable() override { return connection_.waitUntilReadable(); }
    std::size_t receive(std::span<char> into) override { return connection_.receive(into); }
    void send(std::string_view bytes) override { connection_.send(bytes); }

private:
    FDConnection& connection_;
};

// After a large body: the memory freed while answering it (parser, decoded records) goes back to the system
// instead of staying with the allocator's per-thread arenas, where an idle connection kept megabytes of it.
void releaseAfterLargeBody() {
#ifdef __GLIBC__
    ::malloc_trim(0);
#endif
}

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
    for (std::optional<HTTPRequest> request; (request = reader.next());) {
        const bool large = request->body.size() >= kLargeBody;
        const bool keepOpen = answer(*request, connection);
        if (large) {
            request.reset();
            releaseAfterLargeBody();
        }
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
