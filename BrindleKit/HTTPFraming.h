#pragma once
// Cutting a connection's byte stream into requests: a request line, header lines and a body framed by
// Content-Length, nothing else; keep-alive and pipelining. Framing problems are never answered: the connection
// is closed. frameNextRequest decides, without I/O; RequestReader feeds it the bytes as they arrive and reads
// each body into the buffer the request keeps.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

namespace brindle {

// A request body in memory of its own, always followed by the JSON parser's padding so that it is decoded where
// it lies. It grows in place as its bytes arrive: through realloc, which for a large block moves the pages
// (mremap) instead of copying the bytes into fresh ones, so a body of 32 MiB is written once, not once per
// doubling. Freed whole with the request.
class RequestBody {
public:
    RequestBody() = default;
    explicit RequestBody(std::string_view bytes); // throws std::bad_alloc
    RequestBody(RequestBody&& other) noexcept
        : bytes_(std::move(other.bytes_)), size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    RequestBody& operator=(RequestBody&& other) noexcept {
        bytes_ = std::move(other.bytes_);
        size_ = std::exchange(other.size_, 0);
        capacity_ = std::exchange(other.capacity_, 0);
        return *this;
    }

    const char* data() const { return bytes_ ? bytes_.get() : kNoBytes; }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    std::string_view view() const { return {data(), size_}; } // followed by JSONCoding::Decoder::kParserPadding bytes
    friend bool operator==(const RequestBody& body, std::string_view bytes) { return body.view() == bytes; }
    friend bool operator==(const RequestBody& left, const RequestBody& right) { return left.view() == right.view(); }

private:
    friend class RequestReader;
    static const char kNoBytes[]; // an empty body's bytes: the padding alone, so that no body allocates for nothing

    // Room for `capacity` bytes of body and the padding past them, keeping the bytes so far; throws std::bad_alloc.
    void reserve(std::size_t capacity);
    std::size_t capacity() const { return capacity_; }
    // Where the next bytes go: the room left before the padding.
    std::span<char> spare() { return {bytes_.get() + size_, capacity_ - size_}; }
    void append(std::string_view bytes);
    void grew(std::size_t count) { size_ += count; }

    struct Free {
        void operator()(char* bytes) const noexcept { std::free(bytes); }
    };
    std::unique_ptr<char, Free> bytes_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0; // bytes of body that fit, the padding not counted
};

struct HTTPRequest {
    std::string method;                                   // as sent, case kept
    std::string path;                                     // as sent: no percent-decoding, query kept
    std::unordered_map<std::string, std::string> headers; // lower-case names, trimmed values, last wins
    RequestBody body;                                     // exactly Content-Length bytes
};

inline constexpr std::size_t kHeadCap = 1'048'576;            // unterminated head: close at 1 MiB
inline constexpr std::int64_t kMaxContentLength = 67'108'863; // 64 MiB and above: close

// What the bytes buffered so far make of the next request.
struct FramedRequest {
    enum class Status { needMore, complete, close }; // close: malformed or over a cap; never answered
    Status status = Status::needMore;
    // complete: the whole request. needMore once the head is in (bodyStart > 0): all of it but the body.
    HTTPRequest request;
    std::size_t consumed = 0;    // complete: head, terminator and body
    std::size_t needed = 0;      // needMore: the buffer size at which framing again can change the answer
    std::size_t resumeAt = 0;    // needMore: the searchFrom to pass once more bytes have been appended
    std::size_t bodyStart = 0;   // needMore: where the body begins once the head is in; 0 before
    bool awaitsContinue = false; // needMore: the head is in, asks for "Expect: 100-continue", the body is not
};

// The next request framed from the bytes buffered so far. No I/O and no state between calls, so it is simply run
// again when more bytes arrive. searchFrom: an offset before which no CR LF CR LF begins, as an earlier needMore on
// a prefix of these bytes reported in resumeAt; it keeps a head that arrives byte by byte linear to frame. 0
// searches all.
FramedRequest frameNextRequest(std::string_view buffered, std::size_t searchFrom = 0);

// The other end of a connection as the reader sees it: a socket in the server, a script in the framing fuzzer.
class RequestPeer {
public:
    virtual ~RequestPeer() = default;
    // Blocks until a read would not; false when waiting itself failed.
    virtual bool waitUntilReadable() = 0;
    // One read of up to into.size() bytes; 0 when the peer closed or the read failed.
    virtual std::size_t receive(std::span<char> into) = 0;
    // Every byte of an interim answer; throws when the peer is gone.
    virtual void send(std::string_view bytes) = 0;
};

// One connection's requests, one after another. Memory follows the bytes that arrived, never a length announced;
// a body is read into the request's own buffer as it arrives; between requests the reader keeps only bytes already
// sent for the next one.
class RequestReader {
public:
    static constexpr std::size_t kReadSize = 65'536; // per read while a head is awaited

    explicit RequestReader(RequestPeer& peer) : peer_(peer) {}
    RequestReader(const RequestReader&) = delete;
    RequestReader& operator=(const RequestReader&) = delete;

    // The next request; nothing once the connection must close: malformed, over a cap, or the peer gone.
    // Throws std::bad_alloc, and what the peer's send throws.
    std::optional<HTTPRequest> next();
    // Whether bytes of a next request are buffered already.
    bool holdsBytes() const { return end_ > begin_; }
    // Gives back the room reads took beyond the bytes pending, all of it when none are: for a connection about to
    // wait long for its next request.
    void keepOnlyPending();

private:
    bool readMore(std::size_t needed);
    bool readBody(HTTPRequest& request, std::size_t bodyStart, std::size_t bodySize);
    std::string_view pending() const { return {buffer_.get() + begin_, end_ - begin_}; }

    RequestPeer& peer_;
    std::unique_ptr<char[]> buffer_; // not zero-filled: it takes reads as they are
    std::size_t capacity_ = 0;
    std::size_t begin_ = 0; // bytes before begin_ belong to requests already handed out
    std::size_t end_ = 0;   // bytes from end_ on are not read yet
};

} // namespace brindle
