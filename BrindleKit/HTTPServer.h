#pragma once
// HTTP/1.1 on the loopback address: the listener and its accept thread, one thread per connection that
// cuts the byte stream into requests (keep-alive, pipelining), and the exact bytes of every answer.
// Framing problems are never answered: the connection is closed.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>

namespace brindle {

struct HTTPRequest {
    std::string method;                                   // as sent, case kept
    std::string path;                                     // as sent: no percent-decoding, query kept
    std::unordered_map<std::string, std::string> headers; // lower-case names, trimmed values, last wins
    std::string body;                                     // exactly Content-Length bytes
};

// One accepted socket. Reads and writes run on the connection's own thread, one at a time.
class FDConnection {
public:
    class WriteFailed : public std::runtime_error {
    public:
        WriteFailed() : std::runtime_error("write failed: the client is gone") {}
    };

    static constexpr std::size_t kReadChunkSize = 65'536;

    explicit FDConnection(int fd);
    FDConnection(const FDConnection&) = delete;
    FDConnection& operator=(const FDConnection&) = delete;

    // Up to 64 KiB; nothing when the peer closed or the read failed. Never throws.
    std::optional<std::string> receiveChunk();
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

class HTTPServer {
public:
    using Handler = std::function<void(const HTTPRequest&, HTTPResponder&)>; // called from many threads

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

    static constexpr std::size_t kHeadCap = 1'048'576;            // unterminated head: close at 1 MiB
    static constexpr std::int64_t kMaxContentLength = 67'108'863; // 64 MiB and above: close
    static constexpr int kBacklog = 16;

    // The next request framed from the bytes buffered so far. No I/O and no state between calls, so it is
    // simply run again when more bytes arrive.
    struct Framed {
        enum class Status { needMore, complete, close }; // close: malformed or over a cap; never answered
        Status status = Status::needMore;
        HTTPRequest request;         // when complete
        std::size_t consumed = 0;    // head, terminator and body, when complete
        std::size_t needed = 0;      // needMore: the buffer size at which framing again can change the answer
        std::size_t resumeAt = 0;    // needMore: the searchFrom to pass once more bytes have been appended
        bool awaitsContinue = false; // needMore: the head is in, asks for "Expect: 100-continue", the body is not
    };
    // searchFrom: an offset before which no CR LF CR LF begins, as an earlier needMore on a prefix of these
    // bytes reported in resumeAt; it keeps a head that arrives byte by byte linear to frame. 0 searches all.
    static Framed frameNextRequest(std::string_view buffered, std::size_t searchFrom = 0);

    // Port 0 binds an ephemeral port (tests); port() then tells which.
    HTTPServer(std::uint16_t port, Handler handler);
    HTTPServer(const HTTPServer&) = delete;
    HTTPServer& operator=(const HTTPServer&) = delete;

    // Binds 127.0.0.1, listens, prints the listening line and starts accepting. Throws ServerError.
    void start();
    std::uint16_t port() const { return port_; }

private:
    void acceptLoop();
    void serve(FDConnection& connection);
    void serveRequests(FDConnection& connection);

    std::uint16_t port_;
    Handler handler_;
    int listenFD_ = -1;
};

} // namespace brindle
