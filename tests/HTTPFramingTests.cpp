#include "BrindleKit/HTTPServer.h"

#include <string>
#include <string_view>

#include <gtest/gtest.h>

namespace brindle {
namespace {

using Framed = HTTPServer::Framed;
using Status = Framed::Status;

Status statusOf(std::string_view bytes) {
    return HTTPServer::frameNextRequest(bytes).status;
}

// Feeds the bytes one at a time with the resume hints the connection loop passes, checking that every
// proper prefix needs more and that the hints never change an answer.
Framed frameByteByByte(std::string_view bytes) {
    std::size_t searchFrom = 0;
    for (std::size_t size = 0; size < bytes.size(); ++size) {
        const Framed framed = HTTPServer::frameNextRequest(bytes.substr(0, size), searchFrom);
        EXPECT_EQ(framed.status, Status::needMore) << "prefix of " << size << " bytes of " << bytes;
        EXPECT_GT(framed.needed, size);
        EXPECT_LE(framed.resumeAt, size);
        searchFrom = framed.resumeAt;
    }
    return HTTPServer::frameNextRequest(bytes, searchFrom);
}

TEST(HTTPFraming, EveryProperPrefixNeedsMore) {
    const struct {
        std::string_view name, bytes, method, path, body;
    } cases[] = {
        {"GET without body", "GET /health HTTP/1.1\r\nHost: x\r\n\r\n", "GET", "/health", ""},
        {"POST with body", "POST /v1/chat/completions HTTP/1.1\r\nContent-Length: 7\r\n\r\n{\"a\":1}", "POST",
         "/v1/chat/completions", "{\"a\":1}"},
        {"body holding a terminator", "POST / HTTP/1.1\r\nContent-Length: 6\r\n\r\n\r\n\r\nab", "POST", "/",
         "\r\n\r\nab"},
        {"no header lines", "OPTIONS *\r\n\r\n", "OPTIONS", "*", ""},
    };
    for (const auto& c : cases) {
        const Framed framed = frameByteByByte(c.bytes);
        ASSERT_EQ(framed.status, Status::complete) << c.name;
        EXPECT_EQ(framed.consumed, c.bytes.size()) << c.name;
        EXPECT_EQ(framed.request.method, c.method) << c.name;
        EXPECT_EQ(framed.request.path, c.path) << c.name;
        EXPECT_EQ(framed.request.body, c.body) << c.name;
    }
}

TEST(HTTPFraming, KeepsRequestLineAsSentAndNormalisesHeaderNames) {
    const Framed framed = HTTPServer::frameNextRequest("get /a%20b?x=1&y=%2F  HTTP/1.0\r\n"
                                                       "Content-TYPE:\t Application/JSON \t\r\n"
                                                       "X-Twice: first\r\n"
                                                       "line without a colon\r\n"
                                                       "x-twice: second\r\n"
                                                       "Host: localhost:8080\r\n"
                                                       "X-Empty:\r\n"
                                                       "\r\n");
    ASSERT_EQ(framed.status, Status::complete);
    EXPECT_EQ(framed.request.method, "get");
    EXPECT_EQ(framed.request.path, "/a%20b?x=1&y=%2F");
    const std::unordered_map<std::string, std::string> expected = {
        {"content-type", "Application/JSON"},
        {"x-twice", "second"},
        {"host", "localhost:8080"},
        {"x-empty", ""},
    };
    EXPECT_EQ(framed.request.headers, expected);
}

TEST(HTTPFraming, FramesPipelinedRequestsOneAtATime) {
    const std::string first = "POST /a HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc";
    const std::string second = "GET /b HTTP/1.1\r\n\r\n";
    const std::string both = first + second;

    const Framed one = HTTPServer::frameNextRequest(both);
    ASSERT_EQ(one.status, Status::complete);
    EXPECT_EQ(one.consumed, first.size());
    EXPECT_EQ(one.request.body, "abc");

    const Framed two = HTTPServer::frameNextRequest(std::string_view(both).substr(one.consumed));
    ASSERT_EQ(two.status, Status::complete);
    EXPECT_EQ(two.consumed, second.size());
    EXPECT_EQ(two.request.path, "/b");
}

TEST(HTTPFraming, CutsTheBodyContentLengthNames) {
    const struct {
        std::string_view name, lengthLine, afterHead, body;
    } cases[] = {
        {"plain", "Content-Length: 3", "abcGET", "abc"},
        {"plus sign", "Content-Length: +3", "abcGET", "abc"},
        {"leading zeros", "Content-Length: 003", "abcGET", "abc"},
        {"minus zero", "Content-Length: -0", "abc", ""},
        {"blanks and tabs trimmed", "Content-Length: \t 3\t ", "abcGET", "abc"},
        {"name in any case", "cOnTeNt-LeNgTh: 3", "abcGET", "abc"},
        {"last of two wins", "Content-Length: 1\r\nContent-Length: 3", "abcGET", "abc"},
        {"not a number counts as 0", "Content-Length: abc", "abc", ""},
        {"inner blank counts as 0", "Content-Length: 1 2", "abc", ""},
        {"hexadecimal counts as 0", "Content-Length: 0x3", "abc", ""},
        {"sign alone counts as 0", "Content-Length: +", "abc", ""},
        {"two signs count as 0", "Content-Length: +-3", "abc", ""},
        {"beyond 64 bits counts as 0", "Content-Length: 99999999999999999999", "abc", ""},
        {"blank before the colon names another header", "Content-Length : 3", "abc", ""},
        {"chunked bodies are not understood", "Transfer-Encoding: chunked", "3\r\nabc", ""},
    };
    for (const auto& c : cases) {
        const std::string head = "POST / HTTP/1.1\r\n" + std::string(c.lengthLine) + "\r\n\r\n";
        const Framed framed = HTTPServer::frameNextRequest(head + std::string(c.afterHead));
        ASSERT_EQ(framed.status, Status::complete) << c.name;
        EXPECT_EQ(framed.request.body, c.body) << c.name;
        EXPECT_EQ(framed.consumed, head.size() + c.body.size()) << c.name; // the rest is the next request
    }
}

TEST(HTTPFraming, WaitsForTheLargestBodyAllowed) {
    const std::string head = "POST / HTTP/1.1\r\nContent-Length: 67108863\r\n\r\n";
    const Framed framed = HTTPServer::frameNextRequest(head + "partial body");
    EXPECT_EQ(framed.status, Status::needMore);
    EXPECT_EQ(framed.needed, head.size() + 67'108'863);
}

TEST(HTTPFraming, ClosesWithoutAnswerOnMalformedHeads) {
    const struct {
        std::string_view name, bytes;
    } cases[] = {
        {"one-token request line", "GET\r\n\r\n"},
        {"one token and blanks", "  GET  \r\nHost: x\r\n\r\n"},
        {"empty head", "\r\n\r\n"},
        {"tab is not a separator", "GET\t/\r\n\r\n"},
        {"length at 64 MiB", "POST / HTTP/1.1\r\nContent-Length: 67108864\r\n\r\n"},
        {"length far beyond", "POST / HTTP/1.1\r\nContent-Length: 9223372036854775807\r\n\r\n"},
        // A negative length cannot cut a body; reading the body as a next request would smuggle it in.
        {"negative length", "POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\nGET /secret HTTP/1.1\r\n\r\n"},
        {"head not UTF-8", "GET /\xff HTTP/1.1\r\n\r\n"},
        {"overlong UTF-8 in a header", "GET / HTTP/1.1\r\nX: \xc0\xaf\r\n\r\n"},
        {"UTF-16 surrogate in UTF-8", "GET /\xed\xa0\x80 HTTP/1.1\r\n\r\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(statusOf(c.bytes), Status::close) << c.name;
}

TEST(HTTPFraming, ServesLooseButCompleteRequestLines) {
    const struct {
        std::string_view name, bytes, method, path;
    } cases[] = {
        {"no version", "GET /\r\n\r\n", "GET", "/"},
        {"runs of blanks", "  GET   /health    HTTP/1.1  \r\n\r\n", "GET", "/health"},
        {"extra tokens", "GET / HTTP/1.1 trailing words\r\n\r\n", "GET", "/"},
        {"UTF-8 path", "GET /caf\xc3\xa9 HTTP/1.1\r\n\r\n", "GET", "/caf\xc3\xa9"},
    };
    for (const auto& c : cases) {
        const Framed framed = HTTPServer::frameNextRequest(c.bytes);
        ASSERT_EQ(framed.status, Status::complete) << c.name;
        EXPECT_EQ(framed.request.method, c.method) << c.name;
        EXPECT_EQ(framed.request.path, c.path) << c.name;
    }
}

TEST(HTTPFraming, CapsOnlyUnterminatedHeads) {
    const std::string bareLF = "GET / HTTP/1.1\nHost: x\n\n";
    EXPECT_EQ(statusOf(bareLF), Status::needMore) << "a lone LF never ends a head";
    EXPECT_EQ(statusOf("GET / HTTP/1.1\r\n\n\r\n"), Status::needMore) << "mixed line ends";

    std::string unterminated = bareLF;
    unterminated.resize(HTTPServer::kHeadCap - 1, 'x');
    EXPECT_EQ(statusOf(unterminated), Status::needMore) << "one byte under the cap";
    unterminated += 'x';
    EXPECT_EQ(statusOf(unterminated), Status::close) << "at the cap";

    const std::string bigHead = "GET / HTTP/1.1\r\nX-Big: " + std::string(HTTPServer::kHeadCap, 'y') + "\r\n\r\n";
    EXPECT_EQ(statusOf(bigHead), Status::complete) << "a terminated head is accepted whatever its size";
}

// Carriage returns are the worst case for the terminator search. Without the resume hint each of the
// million calls would search the whole buffer again: far beyond the test timeout instead of milliseconds.
TEST(HTTPFraming, DribbledHeadCostsLinearTime) {
    const std::string head(HTTPServer::kHeadCap, '\r');
    std::size_t searchFrom = 0;
    for (std::size_t size = 0; size < head.size(); ++size) {
        const Framed framed = HTTPServer::frameNextRequest(std::string_view(head).substr(0, size), searchFrom);
        ASSERT_EQ(framed.status, Status::needMore) << size;
        searchFrom = framed.resumeAt;
    }
    EXPECT_EQ(HTTPServer::frameNextRequest(head, searchFrom).status, Status::close);
}

} // namespace
} // namespace brindle
