#include "BrindleKit/HTTPServer.h"

#include <cerrno>
#include <filesystem>
#include <string>
#include <string_view>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/LoopbackClient.h"

namespace brindle {
namespace {

using testing::LoopbackClient;

const std::string kCORS(HTTPResponder::kCORSBlock);

// The echo handler's answer: method, path and body between bars.
std::string echoAnswer(const std::string& method, const std::string& path, const std::string& body) {
    const std::string echo = method + "|" + path + "|" + body;
    return "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n" + kCORS +
           "Content-Length: " + std::to_string(echo.size()) + "\r\nConnection: keep-alive\r\n\r\n" + echo;
}

const std::string kStreamAnswer = "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n" + kCORS +
                                  "Cache-Control: no-store\r\nConnection: close\r\n\r\ndata: one\n\n";

// One server for the whole suite, like the process's own: it is never stopped, so it is never freed.
std::uint16_t serverPort() {
    static HTTPServer* const server = [] {
        auto* started = new HTTPServer(0, [](const HTTPRequest& request, HTTPResponder& responder) {
            if (request.path == "/stream") {
                responder.beginSSE();
                responder.sendSSEFrame("data: one\n\n");
                return;
            }
            responder.sendJSON(200, request.method + "|" + request.path + "|" + request.body);
        });
        started->start();
        return started;
    }();
    return server->port();
}

TEST(HTTPServer, AssemblesARequestSentOneByteAtATime) {
    LoopbackClient client(serverPort());
    const std::string request = "POST /a HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello";
    for (const char byte : request) client.sendAll(std::string_view(&byte, 1));
    EXPECT_EQ(client.readHTTPResponse(), echoAnswer("POST", "/a", "hello"));

    client.sendAll("GET /again HTTP/1.1\r\n\r\n");
    EXPECT_EQ(client.readHTTPResponse(), echoAnswer("GET", "/again", "")) << "the connection stays open";
}

TEST(HTTPServer, AnswersAPipelinedPairInOrder) {
    LoopbackClient client(serverPort());
    client.sendAll("POST /first HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc"
                   "GET /second HTTP/1.1\r\n\r\n");
    EXPECT_EQ(client.readHTTPResponse(), echoAnswer("POST", "/first", "abc"));
    EXPECT_EQ(client.readHTTPResponse(), echoAnswer("GET", "/second", ""));
}

TEST(HTTPServer, AwaitsABodyInLaterSegments) {
    LoopbackClient client(serverPort());
    client.sendAll("POST /late HTTP/1.1\r\nContent-Length: 6\r\n\r\n");
    client.sendAll("lat");
    client.sendAll("er");
    client.sendAll("!GET /next HTTP/1.1\r\n\r\n");
    EXPECT_EQ(client.readHTTPResponse(), echoAnswer("POST", "/late", "later!"));
    EXPECT_EQ(client.readHTTPResponse(), echoAnswer("GET", "/next", ""));
}

TEST(HTTPServer, ClosesWithoutAnswer) {
    const struct {
        std::string_view name, bytes;
        bool clientStopsSending; // else the server must close by itself
        std::string answersBefore;
    } cases[] = {
        {"peer closes mid-body", "POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc", true, ""},
        {"peer closes mid-head", "GET / HTTP/1.1\r\nHost", true, ""},
        {"peer closes mid-head after an answer", "GET /one HTTP/1.1\r\n\r\nGET /two HTT", true,
         echoAnswer("GET", "/one", "")},
        {"one-token request line", "GET\r\n\r\n", false, ""},
        {"negative length", "POST / HTTP/1.1\r\nContent-Length: -5\r\n\r\nGET /x HTTP/1.1\r\n\r\n", false, ""},
        {"length at 64 MiB", "POST / HTTP/1.1\r\nContent-Length: 67108864\r\n\r\n", false, ""},
        {"chunked body read as a request",
         "POST /c HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n", false,
         echoAnswer("POST", "/c", "")},
    };
    for (const auto& c : cases) {
        LoopbackClient client(serverPort());
        client.sendAll(c.bytes);
        if (c.clientStopsSending) client.shutdownWrite();
        EXPECT_EQ(client.readUntilClose(), c.answersBefore) << c.name;
    }
}

TEST(HTTPServer, ServesASecondClientWhileTheFirstStallsMidHead) {
    LoopbackClient stalled(serverPort());
    stalled.sendAll("GET /slow HTTP/1.1\r\nHo");
    LoopbackClient other(serverPort());
    other.sendAll("GET /fast HTTP/1.1\r\n\r\n");
    EXPECT_EQ(other.readHTTPResponse(), echoAnswer("GET", "/fast", ""));
    stalled.sendAll("st: x\r\n\r\n");
    EXPECT_EQ(stalled.readHTTPResponse(), echoAnswer("GET", "/slow", ""));
}

TEST(HTTPServer, ClosesAfterAnEventStreamEvenWithARequestBehindIt) {
    LoopbackClient client(serverPort());
    client.sendAll("GET /stream HTTP/1.1\r\n\r\nGET /after HTTP/1.1\r\n\r\n");
    EXPECT_EQ(client.readUntilClose(), kStreamAnswer);
}

TEST(HTTPServer, ListensOnTheLoopbackAddressOnly) {
    const std::uint16_t port = serverPort();
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in elsewhere{};
    elsewhere.sin_family = AF_INET;
    elsewhere.sin_port = htons(port);
    elsewhere.sin_addr.s_addr = inet_addr("127.0.0.2"); // also this machine, but not the bound address
    const int result = ::connect(fd, reinterpret_cast<const sockaddr*>(&elsewhere), sizeof elsewhere);
    const int error = errno;
    ::close(fd);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(error, ECONNREFUSED);
}

// Sockets of this process bound to no address: what a failed start() would leak.
int unboundSocketCount() {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        const int fd = std::stoi(entry.path().filename().string());
        sockaddr_in address{};
        socklen_t length = sizeof address;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0 && address.sin_family == AF_INET &&
            address.sin_port == 0)
            ++count;
    }
    return count;
}

TEST(HTTPServer, BusyPortFailsWithTheBindErrorAndClosesItsSocket) {
    const int blocker = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(blocker, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(blocker, 1), 0);
    ASSERT_EQ(::getsockname(blocker, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const std::string port = std::to_string(ntohs(address.sin_port));

    const int unboundBefore = unboundSocketCount();
    HTTPServer second(ntohs(address.sin_port), [](const HTTPRequest&, HTTPResponder&) {});
    try {
        second.start();
        ADD_FAILURE() << "start() on a busy port returned";
    } catch (const HTTPServer::ServerError& error) {
        EXPECT_STREQ(error.what(), ("bind(127.0.0.1:" + port + ") failed: Address already in use").c_str());
        EXPECT_EQ(error.call(), "bind(127.0.0.1:" + port + ")");
        EXPECT_EQ(error.errorNumber(), EADDRINUSE);
    }
    EXPECT_EQ(unboundSocketCount(), unboundBefore);
    ::close(blocker);
}

} // namespace
} // namespace brindle
