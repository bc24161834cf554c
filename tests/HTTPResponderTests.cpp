#include "BrindleKit/HTTPResponder.h"

#include <gtest/gtest.h>

#include "support/SocketPair.h"

namespace brindle {
namespace {

// Spelled out rather than taken from kCORSBlock, so a fault in the constant shows here.
const std::string kCORS = "Access-Control-Allow-Origin: *\r\nAccess-Control-Allow-Methods: GET, POST, OPTIONS\r\n"
                          "Access-Control-Allow-Headers: Content-Type, Authorization\r\n";

TEST(HTTPResponder, SendJSONWritesOneCompleteAnswer) {
    const struct {
        std::string_view name;
        int status;
        std::string body, statusLine, length;
    } cases[] = {
        {"health", 200, "{\"status\":\"ok\"}", "200 OK", "15"},
        {"length counts UTF-8 bytes", 200, "\"\xC3\xA9\xF0\x9F\x99\x82\"", "200 OK", "8"}, // é and an emoji
        {"not found", 404, "{}", "404 Not Found", "2"},
        {"rate limited", 429, "{}", "429 Too Many Requests", "2"},
        {"unavailable", 503, "{}", "503 Service Unavailable", "2"},
        {"unknown status says OK", 418, "", "418 OK", "0"},
    };
    for (const auto& c : cases) {
        testing::SocketPair pair;
        HTTPResponder responder(pair.connection);
        responder.sendJSON(c.status, c.body);
        EXPECT_TRUE(responder.responseStarted() && !responder.wantsClose()) << c.name;
        const std::string head = "HTTP/1.1 " + c.statusLine + "\r\nContent-Type: application/json\r\n" + kCORS;
        EXPECT_EQ(pair.writtenBytes(),
                  head + "Content-Length: " + c.length + "\r\nConnection: keep-alive\r\n\r\n" + c.body)
            << c.name;
    }
}

TEST(HTTPResponder, PreflightKeepsTheConnectionAndAnEventStreamClosesIt) {
    testing::SocketPair preflightPair, streamPair;
    HTTPResponder preflight(preflightPair.connection), stream(streamPair.connection);
    preflight.sendPreflight();
    stream.beginSSE();
    stream.sendSSEFrame("data: {\"x\":1}\n\n");
    EXPECT_TRUE(preflight.responseStarted() && !preflight.wantsClose() && stream.responseStarted() &&
                stream.wantsClose());
    EXPECT_EQ(preflightPair.writtenBytes(), "HTTP/1.1 204 No Content\r\n" + kCORS +
                                                "Access-Control-Max-Age: 600\r\nContent-Length: 0\r\n"
                                                "Connection: keep-alive\r\n\r\n");
    EXPECT_EQ(streamPair.writtenBytes(), "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n" + kCORS +
                                             "Cache-Control: no-store\r\nConnection: close\r\n\r\n"
                                             "data: {\"x\":1}\n\n");
}

// The test process does not ignore SIGPIPE, so a send that raised it would end the run here.
TEST(HTTPResponder, VanishedClientIsSwallowedByJSONAndThrownToStreams) {
    testing::SocketPair pair;
    pair.closePeer();
    HTTPResponder json(pair.connection), stream(pair.connection);
    json.sendJSON(200, std::string(100'000, ' ')); // larger than one socket buffer
    EXPECT_TRUE(json.responseStarted());
    EXPECT_THROW(stream.beginSSE(), FDConnection::WriteFailed);
    EXPECT_TRUE(stream.wantsClose()) << "set before the write, so the loop closes even after a failed head";
    EXPECT_THROW(stream.sendSSEFrame("data: [DONE]\n\n"), FDConnection::WriteFailed);
}

} // namespace
} // namespace brindle
