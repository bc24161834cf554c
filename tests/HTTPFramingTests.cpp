#include "BrindleKit/HTTPFraming.h"

#include <string>
#include <string_view>

#include <gtest/gtest.h>

namespace brindle {
namespace {

using Framed = FramedRequest;
using Status = Framed::Status;

// Every proper prefix, fed with the resume hints the connection loop passes, needs more; then the whole frames.
TEST(HTTPFraming, PrefixLadderThenOneRequest) {
    const struct {
        std::string_view name, bytes, method, path, body;
    } cases[] = {
        {"GET without body", "GET /health HTTP/1.1\r\nHost: x\r\n\r\n", "GET", "/health", ""},
        {"POST with body", "POST /v1/chat/completions HTTP/1.1\r\nContent-Length: 7\r\n\r\n{\"a\":1}", "POST",
         "/v1/chat/completions", "{\"a\":1}"},
        {"body holding a terminator", "POST / HTTP/1.1\r\nContent-Length: 6\r\n\r\n\r\n\r\nab", "POST", "/",
         "\r\n\r\nab"},
        {"no header lines, no version", "OPTIONS *\r\n\r\n", "OPTIONS", "*", ""},
        {"request line kept as sent", "get /a%20b?x=1&y=%2F HTTP/1.0\r\n\r\n", "get", "/a%20b?x=1&y=%2F", ""},
        {"runs of blanks", "  GET   /health    HTTP/1.1  \r\n\r\n", "GET", "/health", ""},
        {"UTF-8 path", "GET /caf\xc3\xa9 HTTP/1.1\r\n\r\n", "GET", "/caf\xc3\xa9", ""},
    };
    for (const auto& c : cases) {
        std::size_t searchFrom = 0;
        for (std::size_t size = 0; size < c.bytes.size(); ++size) {
            const Framed framed = frameNextRequest(c.bytes.substr(0, size), searchFrom);
            ASSERT_TRUE(framed.status == Status::needMore && framed.needed > size && framed.resumeAt <= size)
                << c.name << ", prefix of " << size;
            searchFrom = framed.resumeAt;
        }
        const Framed framed = frameNextRequest(c.bytes, searchFrom);
        ASSERT_EQ(framed.status, Status::complete) << c.name;
        EXPECT_EQ(framed.consumed, c.bytes.size()) << c.name;
        EXPECT_EQ(framed.request.method, c.method) << c.name;
        EXPECT_EQ(framed.request.path, c.path) << c.name;
        EXPECT_EQ(framed.request.body, c.body) << c.name;
    }
}

TEST(HTTPFraming, NormalisesHeaderNamesAndTrimsValues) {
    const Framed framed = frameNextRequest("GET / HTTP/1.1\r\nContent-TYPE:\t Application/JSON \t\r\n"
                                           "X-Twice: first\r\nline without a colon\r\nx-twice: second\r\n"
                                           "Host: localhost:8080\r\nX-Empty:\r\n\r\n");
    const std::unordered_map<std::string, std::string> expected = {
        {"content-type", "Application/JSON"}, {"x-twice", "second"}, {"host", "localhost:8080"}, {"x-empty", ""}};
    EXPECT_EQ(framed.request.headers, expected);
}

TEST(HTTPFraming, CutsTheBodyContentLengthNames) {
    const struct {
        std::string_view name, lengthLine, afterHead, body;
    } cases[] = {
        {"plus sign", "Content-Length: +3", "abcGET", "abc"},
        {"leading zeros", "Content-Length: 003", "abcGET", "abc"},
        {"minus zero", "Content-Length: -0", "abc", ""},
        {"blanks and tabs trimmed", "Content-Length: \t 3\t ", "abcGET", "abc"},
        {"last of two wins", "Content-Length: 1\r\nContent-Length: 3", "abcGET", "abc"},
        {"not a number counts as 0", "Content-Length: 0x3", "abc", ""},
        {"beyond 64 bits counts as 0", "Content-Length: 99999999999999999999", "abc", ""},
        {"blank before the colon names another header", "Content-Length : 3", "abc", ""},
        {"chunked bodies are not understood", "Transfer-Encoding: chunked", "3\r\nabc", ""},
    };
    for (const auto& c : cases) {
        const std::string head = "POST / HTTP/1.1\r\n" + std::string(c.lengthLine) + "\r\n\r\n";
        const Framed framed = frameNextRequest(head + std::string(c.afterHead));
        ASSERT_EQ(framed.status, Status::complete) << c.name;
        EXPECT_EQ(framed.request.body, c.body) << c.name;
        EXPECT_EQ(framed.consumed, head.size() + c.body.size()) << c.name;
    }
}

TEST(HTTPFraming, ClosesOnMalformedHeadsAndWaitsOnUnfinishedOnes) {
    const struct {
        std::string_view name, bytes;
        Status expected;
    } cases[] = {
        {"one-token request line", "  GET  \r\nHost: x\r\n\r\n", Status::close},
        {"empty head", "\r\n\r\n", Status::close},
        {"tab is not a separator", "GET\t/\r\n\r\n", Status::close},
        {"length at 64 MiB", "POST / HTTP/1.1\r\nContent-Length: 67108864\r\n\r\n", Status::close},
        {"length just under waits", "POST / HTTP/1.1\r\nContent-Length: 67108863\r\n\r\nabc", Status::needMore},
        // Reading the body of a negative length as a next request would smuggle it in.
        {"negative length", "POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\nGET /x HTTP/1.1\r\n\r\n", Status::close},
        {"head not UTF-8", "GET /\xff HTTP/1.1\r\n\r\n", Status::close},
        {"overlong UTF-8 in a header", "GET / HTTP/1.1\r\nX: \xc0\xaf\r\n\r\n", Status::close},
        {"a lone LF never ends a head", "GET / HTTP/1.1\nHost: x\n\n", Status::needMore},
        {"mixed line ends", "GET / HTTP/1.1\r\n\n\r\n", Status::needMore},
    };
    for (const auto& c : cases) EXPECT_EQ(frameNextRequest(c.bytes).status, c.expected) << c.name;
}

// Carriage returns are the worst case for the terminator search: without the resume hint, the million calls
// of this dribble would each search the whole buffer again and run far past the test timeout.
TEST(HTTPFraming, CapsOnlyUnterminatedHeads) {
    const std::string dribble(kHeadCap, '\r');
    std::size_t searchFrom = 0;
    for (std::size_t size = 0; size < dribble.size(); ++size) {
        const Framed framed = frameNextRequest(std::string_view(dribble).substr(0, size), searchFrom);
        ASSERT_EQ(framed.status, Status::needMore) << size;
        searchFrom = framed.resumeAt;
    }
    EXPECT_EQ(frameNextRequest(dribble, searchFrom).status, Status::close) << "at the cap";
    const std::string bigHead = "GET / HTTP/1.1\r\nX-Big: " + std::string(kHeadCap, 'y') + "\r\n\r\n";
    EXPECT_EQ(frameNextRequest(bigHead).status, Status::complete) << "a terminated head of any size";
}

} // namespace
} // namespace brindle
