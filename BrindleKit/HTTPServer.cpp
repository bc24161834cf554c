#include "BrindleKit/HTTPServer.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <deque>
#include <memory>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include <arpa/inet.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include "BrindleBase/ClientPresence.h"
#include "BrindleBase/JSONValue.h"
#include "BrindleBase/Unicode.h"

namespace brindle {

namespace {

constexpr std::string_view kHeadTerminator = "\r\n\r\n";
constexpr std::string_view kLineBreak = "\r\n";
// The interim answer to "Expect: 100-continue": clients that send it (curl, for bodies over 1 MiB) wait for
// it, a second or more, before they send the body.
constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
// A body from this size on leaves buffers worth giving back once it has been answered (the JSON decoder lets
// its parser go from the same size on).
constexpr std::size_t kLargeBody = 64u << 10;

// The JSON parser reads a little past the end of its input, and parses in place when the string has that
// room, instead of copying a body of up to 64 MiB once more.
constexpr std::size_t kParserPadding = JSONCoding::Decoder::kParserPadding;

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

std::string_view reasonPhrase(int status) {
    // Never destroyed, like the other shared constants here: connection threads are detached and may still
    // be answering while the process exits.
    static const auto* const phrases = new std::unordered_map<int, std::string_view>{
        {200, "OK"},
        {400, "Bad Request"},
        {404, "Not Found"},
        {405, "Method Not Allowed"},
        {429, "Too Many Requests"},
        {500, "Internal Server Error"},
        {503, "Service Unavailable"},
    };
    const auto found = phrases->find(status);
    return found == phrases->end() ? "OK" : found->second;
}

// Field names are ASCII tokens (RFC 9110, section 5.1); any other byte is kept as sent.
std::string lowerCasedASCII(std::string_view text) {
    std::string lowered(text);
    for (char& c : lowered)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return lowered;
}

std::string_view trimmedBlanks(std::string_view text) {
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// Runs of spaces are one separator; a tab is not a separator.
std::vector<std::string_view> spaceSeparatedTokens(std::string_view line) {
    std::vector<std::string_view> tokens;
    for (std::size_t start = 0; start < line.size();) {
        const std::size_t end = std::min(line.find(' ', start), line.size());
        if (end > start) tokens.push_back(line.substr(start, end - start));
        start = end + 1;
    }
    return tokens;
}

// Optional + or -, then decimal digits and nothing else; nothing when it does not fit 64 bits.
std::optional<std::int64_t> parseSignedDecimal(std::string_view text) {
    if (text.starts_with('+')) {
        text.remove_prefix(1);
        if (text.starts_with('-')) return std::nullopt;
    }
    std::int64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc{} || stop != end) return std::nullopt;
    return value;
}

void addHeaderLine(std::string_view line, std::unordered_map<std::string, std::string>& headers) {
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return;
    // The name is not trimmed: "Content-Length :" names another header, so it frames no body.
    headers[lowerCasedASCII(line.substr(0, colon))] = std::string(trimmedBlanks(line.substr(colon + 1)));
}

// Request line and headers; false when the request cannot be served.
bool parseHead(std::string_view head, HTTPRequest& request) {
    if (!Unicode::isValidUTF8(head)) return false;
    std::size_t lineEnd = head.find(kLineBreak);
    const std::vector<std::string_view> tokens = spaceSeparatedTokens(head.substr(0, lineEnd));
    if (tokens.size() < 2) return false;
    request.method = tokens[0];
    request.path = tokens[1]; // the version, if any, plays no part
    while (lineEnd != std::string_view::npos) {
        const std::size_t lineStart = lineEnd + kLineBreak.size();
        lineEnd = head.find(kLineBreak, lineStart);
        addHeaderLine(head.substr(lineStart, lineEnd - lineStart), request.headers);
    }
    return true;
}

// The body length, or nothing when the connection must be closed.
std::optional<std::int64_t> bodyLength(const std::unordered_map<std::string, std::string>& headers) {
    const auto found = headers.find("content-length");
    if (found == headers.end()) return 0;
    // Unparseable lengths count as 0: the bytes that follow are read as the next request.
    const std::int64_t length = parseSignedDecimal(found->second).value_or(0);
    if (length > HTTPServer::kMaxContentLength) return std::nullopt;
    // A negative length cannot cut a body, and counting it as 0 would serve the body's bytes as a next
    // request, so it closes without an answer like a length over the limit.
    if (length < 0) return std::nullopt;
    return length;
}

HTTPServer::Framed closeWithoutAnswer() {
    HTTPServer::Framed framed;
    framed.status = HTTPServer::Framed::Status::close;
    return framed;
}

bool waitUntilReadable(int fd) {
    pollfd entry{.fd = fd, .events = POLLIN, .revents = 0};
    for (;;) {
        const int ready = ::poll(&entry, 1, -1);
        if (ready > 0) return true; // readable, hung up or failed: the read tells which
        if (ready < 0 && errno != EINTR) return false;
    }
}

// Appends chunks until the buffer holds `size` bytes; false when the peer closed or a read failed.
// Memory follows the bytes that arrived, never the length announced: a head alone costs no body's worth of
// memory (15 heads announcing 64 MiB each ended the process under an address-space limit). The buffer still
// grows by doubling, capped at the size, so a large body is copied a few times at most.
bool readUntilSize(FDConnection& connection, std::string& buffer, std::size_t size) {
    while (buffer.size() < size) {
        const std::optional<std::string> chunk = connection.receiveChunk();
        if (!chunk) return false;
        const std::size_t grown = buffer.size() + chunk->size();
        if (grown > buffer.capacity()) buffer.reserve(std::max(grown, std::min(size, 2 * buffer.capacity())));
        buffer += *chunk;
    }
    return true;
}

// Drops the bytes of requests already served before the connection waits for more. A large body may
// have grown the buffer; a connection idling between requests keeps only what is left.
void dropServed(std::string& buffer, std::size_t& served) {
    if (served == 0) return;
    buffer.erase(0, served);
    buffer.shrink_to_fit();
    served = 0;
}

// After a large body: the connection keeps no buffer sized for it, and the memory freed while answering it
// (parser, decoded records, copies of the body) goes back to the system instead of staying with the
// allocator's per-thread arenas, where an idle connection kept megabytes of it.
void releaseAfterLargeBody(std::string& buffer, std::size_t& served) {
    dropServed(buffer, served);
#ifdef __GLIBC__
    ::malloc_trim(0);
#endif
}

// Calls the handler with a responder of its own; false when the connection must close afterwards.
bool answer(const HTTPServer::Handler& handler, FDConnection& connection, const HTTPRequest& request) {
    HTTPResponder responder(connection);
    const ClientPresence::Scope client(connection.fd()); // a wait in the model ends when this client hangs up
    try {
        handler(request, responder);
    } catch (...) {
        return false; // a handler that throws broke its contract: close this connection, spare the process
    }
    return !responder.wantsClose(); // an event stream ends with the connection
}

void writeToStandardError(std::string_view text) {
    if (::write(STDERR_FILENO, text.data(), text.size()) < 0) {
        // Nobody to tell when standard error is gone.
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

enum class AcceptOutcome { accepted, shortage, failed };

// Moves every connection waiting in the listen queue to `accepted`, first sleeping until a client comes when
// there is nothing else to do. `failed` when accepting must end: the listener itself is broken.
AcceptOutcome acceptWaiting(int listenFD, std::deque<int>& accepted) {
    for (;;) {
        const int fd = acceptConnection(listenFD);
        if (fd >= 0) {
            try {
                accepted.push_back(fd);
            } catch (const std::bad_alloc&) {
                ::close(fd);
                return AcceptOutcome::shortage;
            }
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (!accepted.empty()) return AcceptOutcome::accepted;
            if (!waitUntilReadable(listenFD)) return AcceptOutcome::failed;
        } else if (isShortage(errno)) {
            return AcceptOutcome::shortage;
        } else if (!isClientFailure(errno)) {
            return AcceptOutcome::failed;
        }
    }
}

// One descriptor held back for the moment none is left: closing it lets the accept loop take the first waiting
// client and close it at once, so that client learns it will not be served instead of waiting in the queue
// until its own timeout; then the spare is taken back.
class SpareDescriptor {
public:
    SpareDescriptor() { reopen(); }
    void refuseOneClient(int listenFD) {
        if (fd_ < 0) reopen(); // another thread took the one freed last time
        if (fd_ < 0) return;
        ::close(fd_);
        if (const int client = acceptConnection(listenFD); client >= 0) ::close(client);
        reopen();
    }

private:
    void reopen() { fd_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC); }
    int fd_ = -1;
};

// Waiting clients cannot be taken, so the listener stays readable: without a pause the loop would spin.
void backOffAfterShortage() {
    constexpr std::chrono::milliseconds kBackOff{50};
    std::this_thread::sleep_for(kBackOff);
}

void nameThisThread(const char* name) {
#ifdef __APPLE__
    pthread_setname_np(name);
#else
    pthread_setname_np(pthread_self(), name);
#endif
}

} // namespace

FDConnection::FDConnection(int fd) : fd_(fd) {
#ifdef SO_NOSIGPIPE
    const int on = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
}

std::optional<std::string> FDConnection::receiveChunk() {
    // Wait before allocating: a connection waiting for its next request holds no 64 KiB read buffer.
    if (!waitUntilReadable(fd_)) return std::nullopt;
    // Not zero-filled: clearing 64 KiB before every read cost more than framing a small request.
    const auto bytes = std::make_unique_for_overwrite<char[]>(kReadChunkSize);
    const ssize_t count = ::read(fd_, bytes.get(), kReadChunkSize);
    if (count <= 0) return std::nullopt; // peer closed, or any failure (an interrupted read too)
    return std::string(bytes.get(), static_cast<std::size_t>(count));
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

void HTTPResponder::sendJSON(int status, std::string_view body) noexcept {
    responseStarted_ = true;
    std::string answer;
    answer.reserve(256 + body.size());
    answer.append("HTTP/1.1 ").append(std::to_string(status)).append(" ").append(reasonPhrase(status));
    answer.append("\r\nContent-Type: application/json\r\n").append(kCORSBlock);
    answer.append("Content-Length: ").append(std::to_string(body.size())).append("\r\n");
    answer.append("Connection: keep-alive\r\n\r\n").append(body);
    try {
        connection_.send(answer);
    } catch (const FDConnection::WriteFailed&) {
        // The client went away; the connection loop ends on its next read.
    }
}

void HTTPResponder::sendPreflight() noexcept {
    static const std::string& preflight = *new std::string(std::string("HTTP/1.1 204 No Content\r\n")
                                                               .append(kCORSBlock)
                                                               .append("Access-Control-Max-Age: 600\r\n"
                                                                       "Content-Length: 0\r\n"
                                                                       "Connection: keep-alive\r\n\r\n"));
    responseStarted_ = true;
    try {
        connection_.send(preflight);
    } catch (const FDConnection::WriteFailed&) {
        // As for sendJSON.
    }
}

void HTTPResponder::beginSSE() {
    static const std::string& head = *new std::string(std::string("HTTP/1.1 200 OK\r\n"
                                                                  "Content-Type: text/event-stream\r\n")
                                                          .append(kCORSBlock)
                                                          .append("Cache-Control: no-store\r\n"
                                                                  "Connection: close\r\n\r\n"));
    // Both flags before the write, so the connection closes after the handler even when the write fails.
    responseStarted_ = true;
    wantsClose_ = true;
    connection_.send(head);
}

void HTTPResponder::sendSSEFrame(std::string_view frame) {
    connection_.send(frame);
}

HTTPServer::ServerError::ServerError(const std::string& call, int errorNumber)
    : std::runtime_error(call + " failed: " + std::generic_category().message(errorNumber)), call_(call),
      errorNumber_(errorNumber) {}

HTTPServer::Framed HTTPServer::frameNextRequest(std::string_view buffered, std::size_t searchFrom) {
    Framed framed;
    const std::size_t headEnd = buffered.find(kHeadTerminator, std::min(searchFrom, buffered.size()));
    if (headEnd == std::string_view::npos) {
        // The cap holds only while no terminator is in sight; a complete head is accepted whatever its size.
        if (buffered.size() >= kHeadCap) return closeWithoutAnswer();
        framed.needed = buffered.size() + 1;
        framed.resumeAt = buffered.size() - std::min(buffered.size(), kHeadTerminator.size() - 1);
        return framed;
    }
    HTTPRequest request;
    if (!parseHead(buffered.substr(0, headEnd), request)) return closeWithoutAnswer();
    const std::optional<std::int64_t> length = bodyLength(request.headers);
    if (!length) return closeWithoutAnswer();
    const std::size_t bodyStart = headEnd + kHeadTerminator.size();
    const std::size_t bodySize = static_cast<std::size_t>(*length);
    if (buffered.size() - bodyStart < bodySize) {
        framed.needed = bodyStart + bodySize;
        framed.resumeAt = headEnd;
        const auto expect = request.headers.find("expect");
        framed.awaitsContinue = expect != request.headers.end() && lowerCasedASCII(expect->second) == "100-continue";
        return framed;
    }
    request.body.reserve(bodySize + kParserPadding);
    request.body.assign(buffered.substr(bodyStart, bodySize));
    framed.status = Framed::Status::complete;
    framed.request = std::move(request);
    framed.consumed = bodyStart + bodySize;
    return framed;
}

HTTPServer::HTTPServer(std::uint16_t port, Handler handler) : port_(port), handler_(std::move(handler)) {}

void HTTPServer::start() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | kCloseOnExec, 0);
    if (fd < 0) throw ServerError("socket", errno);
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);

    sockaddr_in address{};
#ifdef __APPLE__
    address.sin_len = sizeof address;
#endif
    address.sin_family = AF_INET;
    address.sin_port = htons(port_);
    address.sin_addr.s_addr = inet_addr("127.0.0.1"); // loopback only, never every interface
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        ::close(fd);
        throw ServerError("bind(127.0.0.1:" + std::to_string(port_) + ")", error);
    }
    if (::listen(fd, kBacklog) != 0) {
        const int error = errno;
        ::close(fd);
        throw ServerError("listen", error);
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); // the accept loop empties the queue, see there
    socklen_t length = sizeof address;
    if (port_ == 0 && ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port_ = ntohs(address.sin_port); // an ephemeral port: tell which one
    listenFD_ = fd;

    writeToStandardError("brindle-server listening on 127.0.0.1:" + std::to_string(port_) + "\n");
    std::thread([this] {
        // Linux refuses thread names over 15 bytes, which "brindle-server.accept" (21) is.
        nameThisThread("brindle.accept");
        acceptLoop();
    }).detach(); // the server lives as long as the process, so the thread may hold `this`
}

void HTTPServer::acceptLoop() {
    // One detached thread per connection: it reads, runs the handler and writes for its requests one after
    // another, so it is also the connection's serial executor. The pointer is shared only while the thread
    // is being created.
    const auto startConnection = [this](int fd) {
        setNoDelay(fd);
        try {
            auto connection = std::make_shared<FDConnection>(fd);
            std::thread([this, connection] {
                nameThisThread("brindle.conn"); // not the accept thread's name, which a new thread inherits
                serve(*connection);
            }).detach();
        } catch (const std::exception&) {
            // No memory or no thread to serve it (the thread has not started, so nothing else owns the
            // descriptor): the client sees the close, and accepting goes on.
            ::close(fd);
        }
    };
    // The listen queue holds 16 connections, and starting a thread takes far longer than accepting one
    // (about 30 us against 4 us): 64 clients connecting at once overflowed it, and every client whose
    // handshake the kernel dropped waited a second for its retransmission. So the queue is emptied before
    // each thread is started.
    // Running out of descriptors or memory only pauses accepting: the accept loop refuses one waiting client
    // with its spare descriptor, backs off briefly and tries again, so it serves new clients as soon as
    // connections close. Only a broken listener ends accepting; accepted connections go on being served.
    std::deque<int> accepted; // accepted, no thread yet
    SpareDescriptor spare;
    bool accepting = true;
    while (accepting || !accepted.empty()) {
        if (accepting) {
            const AcceptOutcome outcome = acceptWaiting(listenFD_, accepted);
            accepting = outcome != AcceptOutcome::failed;
            if (outcome == AcceptOutcome::shortage && accepted.empty()) {
                spare.refuseOneClient(listenFD_);
                backOffAfterShortage();
            }
        }
        if (accepted.empty()) continue;
        startConnection(accepted.front());
        accepted.pop_front();
    }
}

void HTTPServer::serve(FDConnection& connection) {
    try {
        serveRequests(connection);
    } catch (const std::exception&) {
        // Out of memory for this connection's buffers (std::bad_alloc), or a failed interim answer: this
        // connection ends, its memory is back, and the process and the other connections go on.
    }
    connection.close(); // the one way out
}

void HTTPServer::serveRequests(FDConnection& connection) {
    std::string buffer;         // bytes read and not yet served
    std::size_t served = 0;     // pipelined requests are consumed by offset, compacted before each read
    std::size_t searchFrom = 0; // where the terminator search resumes, so a dribbled head costs linear time
    bool continueSent = false;  // the interim answer goes out once per request
    for (;;) {
        Framed next = frameNextRequest(std::string_view(buffer).substr(served), searchFrom);
        if (next.status == Framed::Status::needMore) {
            dropServed(buffer, served);
            searchFrom = next.resumeAt;
            if (next.awaitsContinue && !continueSent) {
                connection.send(kContinue); // throws when the client is gone
                continueSent = true;
            }
            if (readUntilSize(connection, buffer, next.needed)) continue;
        }
        if (next.status != Framed::Status::complete) return; // malformed, over a cap, or the peer gone
        served += next.consumed;
        searchFrom = 0;
        continueSent = false;
        const bool large = next.request.body.size() >= kLargeBody;
        const bool keepOpen = answer(handler_, connection, next.request);
        if (large) {
            next = {};
            releaseAfterLargeBody(buffer, served);
        }
        if (!keepOpen) return;
    }
}

} // namespace brindle
