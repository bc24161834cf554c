#include "BrindleKit/HTTPServer.h"

#include <chrono>
#include <optional>
#include <string>
#include <utility>

#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <unistd.h>

#include "BrindleBase/ClientPresence.h"
#include "BrindleBase/JSONValue.h"

namespace brindle {

namespace {

// A body from this size on leaves buffers worth giving back as soon as it has been answered (the JSON decoder lets
// its parser go from the same size on).
constexpr std::size_t kLargeBody = 64u << 10;
// How long a connection waits for its next request on its own thread. After that its thread ends, and with it the
// thread's parsers, stack and allocator cache; a new thread for the next request costs about 0.1 ms of CPU, which
// a client polling four times a second would have paid at every request, tripling the server's CPU.
constexpr std::chrono::seconds kIdleAfter{1};

// The reader's view of an accepted socket.
class SocketPeer final : public RequestPeer {
public:
    explicit SocketPeer(FDConnection& connection) : connection_(connection) {}
    // Whether the socket turns readable before the connection counts as idle; the reader's next wait then
    // need not ask again.
    bool readableBeforeIdle() { return readable_ = connection_.readableWithin(kIdleAfter); }
    bool waitUntilReadable() override { return std::exchange(readable_, false) || connection_.waitUntilReadable(); }
    std::size_t receive(std::span<char> into) override { return connection_.receive(into); }
    void send(std::string_view bytes) override { connection_.send(bytes); }

private:
    FDConnection& connection_;
    bool readable_ = false;
};

} // namespace

// The memory freed while answering (parser, decoded records) goes back to the system instead of staying with the
// allocator's per-thread arenas, where an idle connection kept megabytes of it.
void HTTPServer::returnFreedMemory() {
#ifdef __GLIBC__
    ::malloc_trim(0);
#endif
}

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

// The socket, and the reader with the bytes it read ahead: what a connection keeps while it has no thread.
struct HTTPServer::Connection {
    explicit Connection(int fd) : socket(fd), peer(socket), reader(peer) {}
    FDConnection socket;
    SocketPeer peer;
    RequestReader reader;
};

void HTTPServer::acceptLoop() {
    Acceptor acceptor(listenFD_);
    for (int fd; (fd = acceptor.next()) >= 0;) {
        std::shared_ptr<Connection> connection;
        try {
            connection = std::make_shared<Connection>(fd);
        } catch (...) {
            ::close(fd); // no memory to serve it: the client sees the close
            continue;
        }
        resume(std::move(connection));
    }
}

void HTTPServer::resume(std::shared_ptr<Connection> connection) noexcept {
    try {
        startNamedThread("brindle.conn", [this, connection] { serve(connection); });
    } catch (...) {
        connection->socket.close(); // no thread to serve it: the client sees the close
    }
}

// The thread is the connection's serial executor: it reads, runs the handler and writes for its requests one
// after another, until the connection closes or, with no bytes of a next request buffered, waits long for one.
void HTTPServer::serve(const std::shared_ptr<Connection>& connection) {
    try {
        for (;;) {
            if (!connection->reader.holdsBytes() && !connection->peer.readableBeforeIdle()) {
                connection->reader.keepOnlyPending();
                JSONCoding::Decoder::releaseThreadParsers();
                if (idle_.park(connection->socket.fd(), [this, connection] { resume(connection); })) return;
            }
            std::optional<HTTPRequest> request = connection->reader.next();
            if (!request) break;
            const std::size_t bodySize = request->body.size();
            const bool keepOpen = answer(std::move(*request), connection->socket); // the request goes with it
            if (bodySize >= kLargeBody) returnFreedMemory();
            if (!keepOpen) break;
        }
    } catch (...) {
        // Out of memory for this connection's buffers, or a failed write: this connection ends, its memory is
        // back, and the process and the other connections go on.
    }
    connection->socket.close(); // the one way out
}

// Calls the handler with a responder of its own; false when the connection must close afterwards.
bool HTTPServer::answer(HTTPRequest request, FDConnection& connection) {
    HTTPResponder responder(connection);
    const ClientPresence::Scope client(connection.fd()); // a wait in the model ends when this client hangs up
    try {
        handler_(std::move(request), responder);
    } catch (...) {
        return false; // a handler that throws broke its contract: close this connection, spare the process
    }
    return !responder.wantsClose(); // an event stream ends with the connection
}

} // namespace brindle
