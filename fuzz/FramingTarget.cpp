#include "fuzz/FuzzTargets.h"

#include "BrindleBase/Unicode.h"
#include "BrindleKit/HTTPServer.h"

#include <charconv>
#include <optional>
#include <vector>

namespace brindle::fuzz {

namespace {

using Framed = HTTPServer::Framed;
using Status = Framed::Status;

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

// The peer's bytes as the segments a socket would hand out: sizes cycle through the list the input chose.
class Segments {
public:
    Segments(std::string_view bytes, std::vector<std::size_t> sizes) : bytes_(bytes), sizes_(std::move(sizes)) {}
    std::optional<std::string_view> next() {
        if (bytes_.empty()) return std::nullopt;
        const std::size_t size = sizes_.empty() ? bytes_.size() : sizes_[turn_++ % sizes_.size()];
        const std::string_view segment = bytes_.substr(0, size);
        bytes_.remove_prefix(segment.size());
        return segment;
    }

private:
    std::string_view bytes_;
    std::vector<std::size_t> sizes_;
    std::size_t turn_ = 0;
};

// The Content-Length value as a number; nothing when it does not read as one.
std::optional<std::size_t> declaredLength(std::string_view text) {
    if (text.starts_with('+')) text.remove_prefix(1);
    std::size_t value = 0;
    const auto [stop, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || stop != text.data() + text.size()) return std::nullopt;
    return value;
}

void checkRequest(std::string_view buffered, const Framed& framed) {
    const HTTPRequest& request = framed.request;
    check(framed.consumed > 0 && framed.consumed <= buffered.size(), "consumed outside the buffer");
    check(framed.consumed >= request.body.size() + 4, "consumed less than a terminator and the body");
    const std::size_t bodyStart = framed.consumed - request.body.size();
    check(buffered.substr(bodyStart - 4, 4) == "\r\n\r\n", "the body does not follow the head's terminator");
    check(buffered.substr(0, bodyStart - 4).find("\r\n\r\n") == std::string_view::npos,
          "the head was cut at a later terminator than the first");
    check(buffered.substr(bodyStart, request.body.size()) == request.body, "the body is not the bytes sent");
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
    const auto length = request.headers.find("content-length");
    if (!request.body.empty())
        check(length != request.headers.end() && declaredLength(length->second) == request.body.size(),
              "a body that Content-Length does not account for");
}

// Every answer of frameNextRequest, checked on the spot; the search hint must never change the answer.
Framed frameChecked(std::string_view buffered, std::size_t searchFrom) {
    Framed framed = HTTPServer::frameNextRequest(buffered, searchFrom);
    const Framed unhinted = HTTPServer::frameNextRequest(buffered, 0);
    check(framed.status == unhinted.status && framed.consumed == unhinted.consumed &&
              framed.needed == unhinted.needed && framed.resumeAt == unhinted.resumeAt &&
              sameRequest(framed.request, unhinted.request),
          "the search hint changed the framing");
    switch (framed.status) {
    case Status::complete: checkRequest(buffered, framed); break;
    case Status::needMore:
        check(framed.needed > buffered.size(), "needMore without asking for more bytes");
        check(framed.resumeAt <= buffered.size(), "a resume point past the buffer");
        check(framed.consumed == 0, "needMore consumed bytes");
        break;
    case Status::close: break;
    }
    return framed;
}

// The connection loop's own steps: frame, read until `needed` when more is needed, serve and move on.
Outcome framedInSegments(Segments segments) {
    Outcome outcome;
    std::string buffer;
    std::size_t served = 0;
    std::size_t searchFrom = 0;
    for (;;) {
        Framed next = frameChecked(std::string_view(buffer).substr(served), searchFrom);
        if (next.status == Status::needMore) {
            buffer.erase(0, served);
            served = 0;
            searchFrom = next.resumeAt;
            bool peerOpen = true;
            while (peerOpen && buffer.size() < next.needed) {
                const std::optional<std::string_view> segment = segments.next();
                if (segment) buffer += *segment;
                peerOpen = segment.has_value();
            }
            if (peerOpen) continue;
        }
        if (next.status != Status::complete) {
            outcome.closedByFraming = next.status == Status::close;
            return outcome;
        }
        served += next.consumed;
        searchFrom = 0;
        outcome.requests.push_back(std::move(next.request));
    }
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

    const Outcome pieces = framedInSegments(Segments(peerBytes, sizes));
    const Outcome whole = framedInSegments(Segments(peerBytes, {}));
    // Past the head cap, where the cut falls decides whether a terminator is seen in time.
    if (peerBytes.size() >= HTTPServer::kHeadCap) return;
    check(pieces.closedByFraming == whole.closedByFraming, "segmentation changed how the connection ends");
    check(pieces.requests.size() == whole.requests.size(), "segmentation changed the number of requests");
    for (std::size_t i = 0; i < whole.requests.size(); ++i)
        check(sameRequest(pieces.requests[i], whole.requests[i]), "segmentation changed a request");
}

} // namespace brindle::fuzz
