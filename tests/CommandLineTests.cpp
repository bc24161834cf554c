#include <cerrno>
#include <regex>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/ServerProcess.h"

namespace brindle {
namespace {

using testing::freePort;
using testing::ProcessResult;
using testing::runToExit;
using testing::ServerProcess;
using Arguments = std::vector<std::string>;

const std::string kBinary = BRINDLE_SERVER_BINARY;
const std::string kUsage = "usage: brindle-server serve --port <n> [--model-id <id>] | brindle-server probe\n";
const std::string kPortRequired = "serve requires --port <1-65535>\n";

std::string describe(const Arguments& arguments) {
    std::string text = "brindle-server";
    for (const std::string& argument : arguments) text += " '" + argument + "'";
    return text;
}

TEST(CommandLine, AnythingButProbeOrServePrintsUsage) {
    const Arguments cases[] = {
        {}, {"PROBE"}, {"Serve"}, {""}, {"serve2"}, {"--port", "8080", "serve"}, {" probe"},
    };
    for (const Arguments& arguments : cases) {
        const ProcessResult result = runToExit(kBinary, arguments);
        EXPECT_EQ(result.exitStatus, 2) << describe(arguments);
        EXPECT_EQ(result.standardError, kUsage) << describe(arguments);
        EXPECT_EQ(result.standardOutput, "") << describe(arguments);
    }
}

// A port text wrongly accepted starts a server that never exits; runToExit then fails the case in seconds.
TEST(CommandLine, RefusesMissingAndInvalidPorts) {
    const Arguments cases[] = {
        {"serve"},
        {"serve", "--port"},
        {"serve", "--model-id", "m", "--port"},
        {"serve", "--port", ""},
        {"serve", "--port", "abc"},
        {"serve", "--port", "0"},
        {"serve", "--port", "00000"},
        {"serve", "--port", "-0"},
        {"serve", "--port", "-80"},
        {"serve", "--port", "65536"},
        {"serve", "--port", "99999999999999999999999"},
        {"serve", "--port", " 80"},
        {"serve", "--port", "80 "},
        {"serve", "--port", "0x50"},
        {"serve", "--port", "+"},
        {"serve", "--port", "++80"},
        {"serve", "--port", "+-80"},
        {"serve", "-port", "8080"},
        {"serve", "--model-id", "--port", "--port", "8080"}, // the first --port is followed by "--port"
    };
    for (const Arguments& arguments : cases) {
        const ProcessResult result = runToExit(kBinary, arguments);
        EXPECT_EQ(result.exitStatus, 2) << describe(arguments);
        EXPECT_EQ(result.standardError, kPortRequired) << describe(arguments);
    }
}

TEST(CommandLine, ServesOnThePortTheTextNames) {
    const std::string port = std::to_string(freePort());
    const Arguments cases[] = {
        {"serve", "--port", "+" + port},
        {"serve", "--port", "00" + port},
        {"serve", "--port", port, "--port", "abc"},              // the first occurrence wins
        {"serve", "extra", "--verbose", "--port", port, "tail"}, // other words are ignored
        {"serve", "--port", port, "--model-id"},                 // a trailing flag has no value: the default id
    };
    for (const Arguments& arguments : cases) {
        const ServerProcess server(kBinary, arguments);
        EXPECT_EQ(server.listeningLine(), "brindle-server listening on 127.0.0.1:" + port + "\n")
            << describe(arguments);
    }
}

TEST(CommandLine, BusyPortIsAStartFailure) {
    const int blocker = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(blocker, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(blocker, 1), 0);
    ASSERT_EQ(::getsockname(blocker, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const std::string port = std::to_string(ntohs(address.sin_port));

    const ProcessResult result = runToExit(kBinary, {"serve", "--port", port});
    ::close(blocker);
    EXPECT_EQ(result.exitStatus, 2);
    EXPECT_EQ(result.standardError, "failed to start listener on 127.0.0.1:" + port + ": bind(127.0.0.1:" + port +
                                        ") failed: Address already in use\n");
    EXPECT_EQ(result.standardOutput, "");
}

TEST(CommandLine, ProbePrintsOneJSONLineAndSucceeds) {
    const ProcessResult result = runToExit(kBinary, {"probe", "--port", "abc", "serve"});
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.standardError, "");
    EXPECT_TRUE(std::regex_match(result.standardOutput,
                                 std::regex(R"(\{"available":(true|false(,"reason":"[A-Za-z]+")?)\}\n)")))
        << result.standardOutput;
}

} // namespace
} // namespace brindle
