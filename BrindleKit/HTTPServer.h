#pragma once
// HTTP/1.1 on the loopback address: the listener and its accept thread, and a thread for each connection at work
// that reads its requests (HTTPFraming), hands each to the handler with a responder of its own (HTTPResponder) and
// keeps the connection open between them (keep-alive, pipelining). A connection that waits long for its next
// request gives its thread up, and gets a new one when the request comes.

#include <cstdint>
#include <functional>
#include <memory>

#include "BrindleKit/HTTPFraming.h"
#include "BrindleKit/HTTPResponder.h"
#include "BrindleKit/Sockets.h"

namespace brindle {

class HTTPServer {
public:
    using Handler = std::function<void(HTTPRequest, HTTPResponder&)>; // called from many threads
    using ServerError = brindle::ServerError;                         // a failed socket, bind or listen

    static constexpr int kBacklog = 16;

    // Port 0 binds an ephemeral port (tests); port() then tells which.
    HTTPServer(std::uint16_t port, Handler handler);
    HTTPServer(const HTTPServer&) = delete;
    HTTPServer& operator=(const HTTPServer&) = delete;

    // Binds 127.0.0.1, listens, prints the listening line and starts accepting. Throws ServerError.
    void start();
    std::uint16_t port() const { return port_; }

private:
    struct Connection;
    static void returnFreedMemory();
    void acceptLoop();
    // Serves the connection on a thread of its own; closes it when no thread can be started. Never throws.
    void resume(std::shared_ptr<Connection> connection) noexcept;
    void serve(const std::shared_ptr<Connection>& connection);
    bool answer(HTTPRequest request, FDConnection& connection);

    std::uint16_t port_;
    Handler handler_;
    int listenFD_ = -1;
    // Returning freed memory to the system walks every arena and interrupts every core: done once for a burst of
    // parked connections, after their threads have ended, rather than by each of them.
    SocketWatch idle_{returnFreedMemory};
};

} // namespace brindle
