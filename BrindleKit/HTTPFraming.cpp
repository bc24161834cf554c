#include "BrindleKit/HTTPFraming.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "BrindleBase/JSONValue.h"
#include "BrindleBase/Unicode.h"

namespace brindle {

namespace {

constexpr std::string_view kHeadTerminator = "\r\n\r\n";
constexpr std::string_view kLineBreak = "\r\n";
// The interim answer to "Expect: 100-continue": clients that send it (curl, for bodies over 1 MiB) wait for
// it, a second or more, before they send the body.
constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";

// The JSON parser reads a little past the end of its input, and parses in place when the string has that
// room, instead of copying a body of up to 64 MiB once more.
constexpr std::size_t kParserPadding = JSONCoding::Decoder::kParserPadding;

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
    if (length > kMaxContentLength) return std::nullopt;
    // A negative length cannot cut a body, and counting it as 0 would serve the body's bytes as a next
    // request, so it closes without an answer like a length over the limit.
    if (length < 0) return std::nullopt;
    return length;
}

FramedRequest closeWithoutAnswer() {
    FramedRequest framed;
    framed.status = FramedRequest::Status::close;
    return framed;
}

bool asksToContinue(const HTTPRequest& request) {
    const auto expect = request.headers.find("expect");
    return expect != request.headers.end() && lowerCasedASCII(expect->second) == "100-continue";
}

} // namespace

const char RequestBody::kNoBytes[kParserPadding] = {};

RequestBody::RequestBody(std::string_view bytes) {
    reserve(bytes.size());
    append(bytes);
}

void RequestBody::reserve(std::size_t capacity) {
    if (capacity <= capacity_) return;
    char* grown = static_cast<char*>(std::realloc(bytes_.get(), capacity + kParserPadding));
    if (grown == nullptr) throw std::bad_alloc();
    static_cast<void>(bytes_.release()); // realloc freed or kept it; `grown` owns the bytes now
    bytes_.reset(grown);
    capacity_ = capacity;
    // The parser reads the padding without using it; zeros make what it reads the same every time.
    std::memset(grown + capacity, 0, kParserPadding);
}

void RequestBody::append(std::string_view bytes) {
    if (bytes.empty()) return; // an empty body has no buffer to copy into
    reserve(size_ + bytes.size());
    std::memcpy(spare().data(), bytes.data(), bytes.size());
    size_ += bytes.size();
}

FramedRequest frameNextRequest(std::string_view buffered, std::size_t searchFrom) {
    FramedRequest framed;
    const std::size_t headEnd = buffered.find(kHeadTerminator, std::min(searchFrom, buffered.size()));
    if (headEnd == std::string_view::npos) {
        // The cap holds only while no terminator is in sight; a complete head is accepted whatever its size.
        if (buffered.size() >= kHeadCap) return closeWithoutAnswer();
        framed.needed = buffered.size() + 1;
        framed.resumeAt = buffered.size() - std::min(buffered.size(), kHeadTerminator.size() - 1);
        return framed;
    }
    if (!parseHead(buffered.substr(0, headEnd), framed.request)) return closeWithoutAnswer();
    const std::optional<std::int64_t> length = bodyLength(framed.request.headers);
    if (!length) return closeWithoutAnswer();
    const std::size_t bodyStart = headEnd + kHeadTerminator.size();
    const std::size_t bodySize = static_cast<std::size_t>(*length);
    if (buffered.size() - bodyStart < bodySize) {
        framed.needed = bodyStart + bodySize;
        framed.resumeAt = headEnd;
        framed.bodyStart = bodyStart;
        framed.awaitsContinue = asksToContinue(framed.request);
        return framed;
    }
    framed.request.body = RequestBody(buffered.substr(bodyStart, bodySize));
    framed.status = FramedRequest::Status::complete;
    framed.consumed = bodyStart + bodySize;
    return framed;
}

std::optional<HTTPRequest> RequestReader::next() {
    std::size_t searchFrom = 0; // where the terminator search resumes, so a dribbled head costs linear time
    for (;;) {
        FramedRequest framed = frameNextRequest(pending(), searchFrom);
        switch (framed.status) {
        case FramedRequest::Status::complete: begin_ += framed.consumed; return std::move(framed.request);
        case FramedRequest::Status::close: return std::nullopt;
        case FramedRequest::Status::needMore: break;
        }
        if (framed.bodyStart > 0) {
            if (framed.awaitsContinue) peer_.send(kContinue);
            if (!readBody(framed.request, framed.bodyStart, framed.needed - framed.bodyStart)) return std::nullopt;
            return std::move(framed.request);
        }
        searchFrom = framed.resumeAt;
        if (!readMore(framed.needed)) return std::nullopt;
    }
}

// Appends reads until `needed` bytes are pending; false when the peer closed or a read failed.
bool RequestReader::readMore(std::size_t needed) {
    keepOnlyPending();
    while (end_ < needed) {
        // Wait before allocating: a connection waiting for its next request holds no read buffer.
        if (!peer_.waitUntilReadable()) return false;
        if (capacity_ - end_ < kReadSize) {
            const std::size_t capacity = std::max(end_ + kReadSize, 2 * capacity_);
            auto grown = std::make_unique_for_overwrite<char[]>(capacity);
            if (end_ > 0) std::memcpy(grown.get(), buffer_.get(), end_); // no buffer yet when nothing is pending
            buffer_ = std::move(grown);
            capacity_ = capacity;
        }
        const std::size_t count = peer_.receive({buffer_.get() + end_, capacity_ - end_});
        if (count == 0) return false;
        end_ += count;
    }
    return true;
}

// Moves the bytes of the next request to the front before the reader waits for more, and gives back the
// room a large head needed: a connection idling between requests keeps only what is left.
void RequestReader::keepOnlyPending() {
    const std::size_t pendingSize = end_ - begin_;
    if (pendingSize == 0) {
        buffer_.reset();
        capacity_ = 0;
    } else if (capacity_ > std::max(2 * pendingSize, kReadSize)) {
        auto kept = std::make_unique_for_overwrite<char[]>(pendingSize);
        std::memcpy(kept.get(), buffer_.get() + begin_, pendingSize);
        buffer_ = std::move(kept);
        capacity_ = pendingSize;
    } else if (begin_ > 0) {
        std::memmove(buffer_.get(), buffer_.get() + begin_, pendingSize);
    }
    begin_ = 0;
    end_ = pendingSize;
}

// The body goes straight from the socket into the request's own buffer, which grows by doubling with the bytes
// that arrived (never up front to the length announced). Reads stop at the body's last byte, so no byte of a
// pipelined next request is read into it. Only bytes that came with the head are copied.
bool RequestReader::readBody(HTTPRequest& request, std::size_t bodyStart, std::size_t bodySize) {
    RequestBody& body = request.body;
    const std::string_view arrived = pending().substr(bodyStart);
    body.reserve(std::min(bodySize, std::max(2 * arrived.size(), kReadSize)));
    body.append(arrived);
    begin_ = end_ = 0;
    keepOnlyPending();
    while (body.size() < bodySize) {
        if (body.spare().empty()) body.reserve(std::min(bodySize, 2 * body.capacity()));
        const std::size_t count = peer_.receive(body.spare());
        if (count == 0) return false;
        body.grew(count);
    }
    return true;
}

} // namespace brindle
