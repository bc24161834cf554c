#include "fuzz/FuzzTargets.h"

#include "BrindleBase/Unicode.h"
#include "BrindleKit/HTTPFraming.h"

#include <algorithm>
#include <charconv>
#include <optional>
#include <vector>

namespace brindle::fuzz {

namespace {

using Status = FramedRequest::Status;

// How the connection ended: the requests it framed, and whether framing itself closed it (rather than
// the peer running out of bytes).
struct Outcome {
    std::vector<HTTPRequest> requests;
    bool closedByFraming = false;
};

bool sameRequest(const HTTPRequest& left, const HTTPRequest& right) {
    return left.method == right.method && left.path == right.path && left.headers == right.headers &&
           left.body == right.body;
}

// The peer's bytes as the segments a socket would hand out: sizes cycle through the list the input chose, and a
// read takes no more than the reader has room for.
class ScriptedPeer final : public RequestPeer {
public:
    ScriptedPeer(std::string_view bytes, std::vector<std::size_t> sizes) : bytes_(bytes), sizes_(std::move(sizes)) {}
    bool waitUntilReadable() override { return true; }
    std::size_t receive(std::span<char> into) override {
        check(!into.empty(), "a read with no room");
        if (bytes_.empty()) {
            readPastEnd_ = true;
            return 0;
        }
        const std::size_t size = sizes_.empty() ? bytes_.size() : sizes_[turn_++ % sizes_.size()];
        const std::string_view segment = bytes_.substr(0, std::min(size, into.size()));
        std::copy(segment.begin(), segment.end(), into.begin());
        bytes_.remove_prefix(segment.size());
        return segment.size();
    }
    void send(std::string_view) override {}
    bool readPastEnd() const { return readPastEnd_; }

private:
    std::string_view bytes_;
    std::vector<std::size_t> sizes_;
    std::size_t turn_ = 0;
    bool readPastEnd_ = false;
};

// The Content-Length value as a number; nothing when it does not read as one.
std::optional<std::size_t> declaredLength(std::string_view text) {
    if (text.starts_with('+')) text.remove_prefix(1);
    std::size_t value = 0;
    const auto [stop, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || stop != text.data() + text.size()) return std::nullopt;
    return value;
}

void checkHead(const HTTPRequest& request) {
    check(!request.method.empty() && !request.path.empty(), "an empty method or path");
    for (const std::string* token : {&request.method, &request.path})
        check(token->find(' ') == std::string::npos && token->find("\r\n") == std::string::npos,
              "a request-line token holds a separator");
    check(Unicode::isValidUTF8(request.method) && Unicode::isValidUTF8(request.path), "a head that is not UTF-8");
    for (const auto& [name, value] : request.headers) {
        check(name.find(':') == std::string::npos, "a header name holds a colon");
        for (const char c : name) check(c < 'A' || c > 'Z', "a header name is not lower case");
        check(value.empty() ||
                  (value.front() != ' ' && value.front() != '\t' && value.back() != ' ' && value.back() != '\t'),
              "a header value is not trimmed");
    }
}

void checkRequest(std::string_view buffered, const FramedRequest& framed) {
    const HTTPRequest& request = framed.request;
    check(framed.consumed > 0 && framed.consumed <= buffered.size(), "consumed outside the buffer");
    check(framed.consumed >= request.body.size() + 4, "consumed less than a terminator and the body");
    const std::size_t bodyStart = framed.consumed - request.body.size();
    check(buffered.substr(bodyStart - 4, 4) == "\r\n\r\n", "the body does not follow the head's terminator");
    check(buffered.substr(0, bodyStart - 4).find("\r\n\r\n") == std::string_view::npos,
          "the head was cut at a later terminator than the first");
    check(buffered.substr(bodyStart, request.body.size()) == request.body, "the body is not the bytes sent");
    checkHead(request);
    const auto length = request.headers.find("content-length");
    if (!request.body.empty())
        check(length != request.headers.end() && declaredLength(length->second) == request.body.size(),
              "a body that Content-Length does not account for");
}

void checkNeedMore(std::string_view buffered, const FramedRequest& framed) {
    check(framed.needed > buffered.size(), "needMore without asking for more bytes");
    check(framed.resumeAt <= buffered.size(), "a resume point past the buffer");
    check(framed.consumed == 0, "needMore consumed bytes");
    if (framed.bodyStart == 0) return;
    check(framed.bodyStart <= buffered.size() && buffered.substr(framed.bodyStart - 4, 4) == "\r\n\r\n",
          "a body that does not follow the head's terminator");
    checkHead(framed.request);
}

// The oracle: every byte at once, framed with no search hint, each answer checked on the spot.
Outcome framedAtOnce(std::string_view bytes) {
    Outcome outcome;
    for (;;) {
        FramedRequest framed = frameNextRequest(bytes);
        switch (framed.status) {
        case Status::complete:
            checkRequest(bytes, framed);
            bytes.remove_prefix(framed.consumed);
            outcome.requests.push_back(std::move(framed.request));
            break;
        case Status::needMore: checkNeedMore(bytes, framed); return outcome;
        case Status::close: outcome.closedByFraming = true; return outcome;
        }
    }
}

// The server's own reader, fed the bytes in segments.
Outcome readInSegments(std::string_view bytes, std::vector<std::size_t> sizes) {
    Outcome outcome;
    ScriptedPeer peer(bytes, std::move(sizes));
    RequestReader reader(peer);
    while (std::optional<HTTPRequest> request = reader.next()) outcome.requests.push_back(std::move(*request));
    outcome.closedByFraming = !peer.readPastEnd();
    return outcome;
}

} // namespace

// Input: one byte n, then n % 8 segment sizes of one byte each (a byte b stands for b + 1 bytes), then the
// bytes the peer sends. No sizes: everything arrives in one segment.
void framing(std::string_view input) {
    if (input.empty()) return;
    const std::size_t sizeCount = std::min<std::size_t>(static_cast<unsigned char>(input[0]) % 8, input.size() - 1);
    std::vector<std::size_t> sizes;
    for (std::size_t i = 1; i <= sizeCount; ++i) sizes.push_back(static_cast<unsigned char>(input[i]) + 1u);
    const std::string_view peerBytes = input.substr(1 + sizeCount);

    const Outcome pieces = readInSegments(peerBytes, sizes);
    const Outcome whole = framedAtOnce(peerBytes);
    // Past the head cap, where the cut falls decides whether a terminator is seen in time.
    if (peerBytes.size() >= kHeadCap) return;
    check(pieces.closedByFraming == whole.closedByFraming,
          "the reader ends the connection otherwise than framing all at once");
    check(pieces.requests.size() == whole.requests.size(), "the reader and framing all at once count other requests");
    for (std::size_t i = 0; i < whole.requests.size(); ++i)
        check(sameRequest(pieces.requests[i], whole.requests[i]),
              "the reader made another request than framing all at once");
}

} // namespace brindle::fuzz
