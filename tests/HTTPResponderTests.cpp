#include "BrindleKit/HTTPServer.h"

#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "support/SocketPair.h"

namespace brindle {
namespace {

using testing::SocketPair;

// Spelled out rather than taken from kCORSBlock, so a fault in the constant shows here.
const std::string kCORS = "Access-Control-Allow-Origin: *\r\n"
                          "Access-Control-Allow-Methods: GET, POST, OPTIONS\r\n"
                          "Access-Control-Allow-Headers: Content-Type, Authorization\r\n";

TEST(HTTPResponder, SendJSONWritesOneCompleteAnswer) {
    const struct {
        std::string_view name;
        int status;
        std::string body;
        std::string expected;
    } cases[] = {
        {"health", 200, "{\"status\":\"ok\"}",
         "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n" + kCORS +
             "Content-Length: 15\r\nConnection: keep-alive\r\n\r\n{\"status\":\"ok\"}"},
        {"length counts UTF-8 bytes", 200, "{\"t\":\"\xC3\xA9\xF0\x9F\x99\x82\"}", // é and an emoji: 2 + 4 bytes
         "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n" + kCORS +
             "Content-Length: 14\r\nConnection: keep-alive\r\n\r\n{\"t\":\"\xC3\xA9\xF0\x9F\x99\x82\"}"},
        {"empty body", 200, "",
         "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n" + kCORS +
             "Content-Length: 0\r\nConnection: keep-alive\r\n\r\n"},
        {"not found", 404, "{}",
         "HTTP/1.1 404 Not Found\r\nContent-Type: application/json\r\n" + kCORS +
             "Content-Length: 2\r\nConnection: keep-alive\r\n\r\n{}"},
        {"rate limited", 429, "{}",
         "HTTP/1.1 429 Too Many Requests\r\nContent-Type: application/json\r\n" + kCORS +
             "Content-Length: 2\r\nConnection: keep-alive\r\n\r\n{}"},
        {"unavailable", 503, "{}",
         "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\n" + kCORS +
             "Content-Length: 2\r\nConnection: keep-alive\r\n\r\n{}"},
        {"unknown status says OK", 418, "{}",
         "HTTP/1.1 418 OK\r\nContent-Type: application/json\r\n" + kCORS +
             "Content-Length: 2\r\nConnection: keep-alive\r\n\r\n{}"},
    };
    for (const auto& c : cases) {
        SocketPair pair;
        HTTPResponder responder(pair.connection);
        responder.sendJSON(c.status, c.body);
        EXPECT_TRUE(responder.responseStarted()) << c.name;
        EXPECT_FALSE(responder.wantsClose()) << c.name;
        EXPECT_EQ(pair.writtenBytes(), c.expected) << c.name;
    }
}

TEST(HTTPResponder, PreflightIsExactly240BytesAndKeepsTheConnection) {
    SocketPair pair;
    HTTPResponder responder(pair.connection);
    responder.sendPreflight();
    EXPECT_TRUE(responder.responseStarted());
    EXPECT_FALSE(responder.wantsClose());
    const std::string written = pair.writtenBytes();
    EXPECT_EQ(written, "HTTP/1.1 204 No Content\r\n" + kCORS +
                           "Access-Control-Max-Age: 600\r\nContent-Length: 0\r\nConnection: keep-alive\r\n\r\n");
    EXPECT_EQ(written.size(), 240u);
}

TEST(HTTPResponder, EventStreamHeadThenFramesUnchanged) {
    SocketPair pair;
    HTTPResponder responder(pair.connection);
    responder.beginSSE();
    EXPECT_TRUE(responder.responseStarted());
    EXPECT_TRUE(responder.wantsClose());
    responder.sendSSEFrame("data: {\"x\":1}\n\n");
    responder.sendSSEFrame("data: [DONE]\n\n");
    EXPECT_EQ(pair.writtenBytes(), "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n" + kCORS +
                                       "Cache-Control: no-store\r\nConnection: close\r\n\r\n"
                                       "data: {\"x\":1}\n\ndata: [DONE]\n\n");
}

// The test process does not ignore SIGPIPE, so a send that raised it would end the run here.
TEST(HTTPResponder, VanishedClientIsSwallowedByJSONAndThrownToStreams) {
    SocketPair pair;
    pair.closePeer();
    HTTPResponder json(pair.connection);
    json.sendJSON(200, std::string(100'000, ' ')); // larger than one socket buffer
    EXPECT_TRUE(json.responseStarted());
    HTTPResponder preflight(pair.connection);
    preflight.sendPreflight();
    EXPECT_TRUE(preflight.responseStarted());

    HTTPResponder stream(pair.connection);
    EXPECT_THROW(stream.beginSSE(), FDConnection::WriteFailed);
    EXPECT_TRUE(stream.wantsClose()) << "set before the write, so the loop closes even after a failed head";
    EXPECT_THROW(stream.sendSSEFrame("data: [DONE]\n\n"), FDConnection::WriteFailed);
}

} // namespace
} // namespace brindle
