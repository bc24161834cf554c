#include "BrindleKit/HTTPServer.h"

#include <cerrno>
#include <string>
#include <string_view>
#include <vector>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/LoopbackClient.h"

namespace brindle {
namespace {

const std::string kCORS(HTTPResponder::kCORSBlock);

// What the handler below answers to anything but /stream.
std::string echoAnswer(const std::string& method, const std::string& path, const std::string& body) {
    const std::string echo = method + "|" + path + "|" + body;
    return "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n" + kCORS +
           "Content-Length: " + std::to_string(echo.size()) + "\r\nConnection: keep-alive\r\n\r\n" + echo;
}

// One server for the whole suite, like the process's own: it is never stopped, so it is never freed.
std::uint16_t serverPort() {
    static HTTPServer* const server = [] {
        auto* started = new HTTPServer(0, [](const HTTPRequest& request, HTTPResponder& responder) {
            if (request.path != "/stream")
                return responder.sendJSON(200, request.method + "|" + request.path + "|" + request.body);
            responder.beginSSE();
            responder.sendSSEFrame("data: one\n\n");
        });
        started->start();
        return started;
    }();
    return server->port();
}

TEST(HTTPServer, AnswersInOrderWhateverTheSegments) {
    std::vector<std::string> byteByByte;
    for (const char byte : std::string("POST /a HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello"))
        byteByByte.emplace_back(1, byte);
    byteByByte.emplace_back("GET /again HTTP/1.1\r\n\r\n");
    const struct {
        std::string_view name;
        std::vector<std::string> segments;
        std::string answers;
    } cases[] = {
        {"one byte at a time", byteByByte, echoAnswer("POST", "/a", "hello") + echoAnswer("GET", "/again", "")},
        {"pipelined pair",
         {"POST /first HTTP/1.1\r\nContent-Length: 3\r\n\r\nabcGET /second HTTP/1.1\r\n\r\n"},
         echoAnswer("POST", "/first", "abc") + echoAnswer("GET", "/second", "")},
        {"body in later segments",
         {"POST /late HTTP/1.1\r\nContent-Length: 6\r\n\r\n", "lat", "er", "!GET /next HTTP/1.1\r\n\r\n"},
         echoAnswer("POST", "/late", "later!") + echoAnswer("GET", "/next", "")},
    };
    for (const auto& c : cases) {
        testing::LoopbackClient client(serverPort());
        for (const std::string& segment : c.segments) client.sendAll(segment);
        EXPECT_EQ(client.readExactly(c.answers.size()), c.answers) << c.name;
    }
}

TEST(HTTPServer, ClosesTheConnection) {
    const struct {
        std::string_view name, bytes;
        bool clientStopsSending; // else the server must close by itself
        std::string answersBefore;
    } cases[] = {
        {"peer closes mid-body", "POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc", true, ""},
        {"peer closes mid-head after an answer", "GET /one HTTP/1.1\r\n\r\nGET /two HTT", true,
         echoAnswer("GET", "/one", "")},
        {"negative length", "POST / HTTP/1.1\r\nContent-Length: -5\r\n\r\nGET /x HTTP/1.1\r\n\r\n", false, ""},
        {"chunked body read as a request",
         "POST /c HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n", false,
         echoAnswer("POST", "/c", "")},
        {"after an event stream, even with a request behind it", "GET /stream HTTP/1.1\r\n\r\nGET /x HTTP/1.1\r\n\r\n",
         false,
         "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n" + kCORS +
             "Cache-Control: no-store\r\nConnection: close\r\n\r\ndata: one\n\n"},
    };
    for (const auto& c : cases) {
        testing::LoopbackClient client(serverPort());
        client.sendAll(c.bytes);
        if (c.clientStopsSending) client.shutdownWrite();
        EXPECT_EQ(client.readUntilClose(), c.answersBefore) << c.name;
    }
}

TEST(HTTPServer, ServesASecondClientWhileTheFirstStallsMidHead) {
    testing::LoopbackClient stalled(serverPort());
    stalled.sendAll("GET /slow HTTP/1.1\r\nHo");
    testing::LoopbackClient other(serverPort());
    other.sendAll("GET /fast HTTP/1.1\r\n\r\n");
    EXPECT_EQ(other.readHTTPResponse(), echoAnswer("GET", "/fast", ""));
    stalled.sendAll("st: x\r\n\r\n");
    EXPECT_EQ(stalled.readHTTPResponse(), echoAnswer("GET", "/slow", ""));
}

TEST(HTTPServer, ListensOnTheLoopbackAddressOnly) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in elsewhere{.sin_family = AF_INET, // also this machine, but not the bound address
                                .sin_port = htons(serverPort()),
                                .sin_addr = {.s_addr = inet_addr("127.0.0.2")},
                                .sin_zero = {}};
    EXPECT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&elsewhere), sizeof elsewhere), -1);
    EXPECT_EQ(errno, ECONNREFUSED);
    ::close(fd);
}

// The message built from these is checked end to end by the command-line tests.
TEST(HTTPServer, BusyPortFailsWithTheBindError) {
    const testing::BusyPort busy;
    HTTPServer second(busy.port(), [](const HTTPRequest&, HTTPResponder&) {});
    try {
        second.start();
        ADD_FAILURE() << "start() on a busy port returned";
    } catch (const HTTPServer::ServerError& error) {
        EXPECT_EQ(error.call(), "bind(127.0.0.1:" + std::to_string(busy.port()) + ")");
        EXPECT_EQ(error.errorNumber(), EADDRINUSE);
    }
}

} // namespace
} // namespace brindle
