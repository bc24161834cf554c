#pragma once
// The exact bytes of every answer the server writes: a JSON answer, the answer to a CORS preflight, and the head
// of an event stream followed by its frames.

#include <string_view>

#include "BrindleKit/Sockets.h"

namespace brindle {

// Writes the one answer to one request. Each answer goes to the socket in a single send.
class HTTPResponder {
public:
    explicit HTTPResponder(FDConnection& connection) : connection_(connection) {}

    // A JSON answer; a client that went away just loses it.
    void sendJSON(int status, std::string_view body) noexcept;
    // The 204 answer to a CORS preflight.
    void sendPreflight() noexcept;
    // The event-stream head; the connection closes after the handler. Throws FDConnection::WriteFailed.
    void beginSSE();
    // One complete event. Throws FDConnection::WriteFailed.
    void sendSSEFrame(std::string_view frame);

    bool responseStarted() const { return responseStarted_; }
    bool wantsClose() const { return wantsClose_; }

    // The three CORS header lines every answer carries (141 bytes).
    static constexpr std::string_view kCORSBlock = "Access-Control-Allow-Origin: *\r\n"
                                                   "Access-Control-Allow-Methods: GET, POST, OPTIONS\r\n"
                                                   "Access-Control-Allow-Headers: Content-Type, Authorization\r\n";

private:
    FDConnection& connection_;
    bool responseStarted_ = false;
    bool wantsClose_ = false;
};

} // namespace brindle
