#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/LoopbackClient.h"
#include "support/ServerProcess.h"

namespace brindle {
namespace {

using testing::runToExit;
using Arguments = std::vector<std::string>;

const std::string kBinary = BRINDLE_SERVER_BINARY;
const std::string kUsage = "usage: brindle-server serve --port <n> [--model-id <id>] | brindle-server probe\n";
const std::string kPortRequired = "serve requires --port <1-65535>\n";

std::string describe(const Arguments& arguments) {
    std::string text = "brindle-server";
    for (const std::string& argument : arguments) text += " '" + argument + "'";
    return text;
}

// Arguments wrongly accepted start a server that never exits, and runToExit fails the case in seconds. In the
// last case the first --port is followed by "--port".
TEST(CommandLine, RefusesWithOneMessageAndStatus2) {
    std::vector<std::pair<Arguments, std::string>> cases;
    for (const Arguments& arguments :
         {Arguments{}, {"PROBE"}, {"Serve"}, {""}, {"serve2"}, {"--port", "8080", "serve"}, {" probe"}})
        cases.emplace_back(arguments, kUsage);
    for (const char* port : {"", "abc", "0", "-0", "65536", "99999999999999999999999", " 80", "0x50", "+-80"})
        cases.emplace_back(Arguments{"serve", "--port", port}, kPortRequired);
    for (const Arguments& arguments : {Arguments{"serve"},
                                       {"serve", "--port"},
                                       {"serve", "-port", "8080"},
                                       {"serve", "--model-id", "--port", "--port", "8080"}})
        cases.emplace_back(arguments, kPortRequired);
    for (const auto& [arguments, message] : cases) {
        const auto result = runToExit(kBinary, arguments);
        EXPECT_EQ(result.exitStatus, 2) << describe(arguments);
        EXPECT_EQ(result.standardError, message) << describe(arguments);
        EXPECT_EQ(result.standardOutput, "") << describe(arguments);
    }
}

TEST(CommandLine, ServesOnThePortTheTextNames) {
    const std::string port = std::to_string(testing::freePort());
    const Arguments cases[] = {
        {"serve", "--port", "+" + port},
        {"serve", "--port", "00" + port},
        {"serve", "--port", port, "--port", "abc"},              // the first occurrence wins
        {"serve", "extra", "--verbose", "--port", port, "tail"}, // other words are ignored
        {"serve", "--port", port, "--model-id"},                 // a trailing flag has no value: the default id
    };
    for (const Arguments& arguments : cases) {
        const testing::ServerProcess server(kBinary, arguments);
        EXPECT_EQ(server.listeningLine(), "brindle-server listening on 127.0.0.1:" + port + "\n")
            << describe(arguments);
    }
}

TEST(CommandLine, BusyPortIsAStartFailure) {
    const testing::BusyPort busy;
    const std::string port = std::to_string(busy.port());
    const auto result = runToExit(kBinary, {"serve", "--port", port});
    EXPECT_EQ(result.exitStatus, 2);
    EXPECT_EQ(result.standardError, "failed to start listener on 127.0.0.1:" + port + ": bind(127.0.0.1:" + port +
                                        ") failed: Address already in use\n");
    EXPECT_EQ(result.standardOutput, "");
}

TEST(CommandLine, ProbePrintsOneJSONLineAndSucceeds) {
    const auto result = runToExit(kBinary, {"probe", "--port", "abc", "serve"});
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.standardError, "");
    EXPECT_TRUE(std::regex_match(result.standardOutput,
                                 std::regex(R"(\{"available":(true|false(,"reason":"[A-Za-z]+")?)\}\n)")))
        << result.standardOutput;
}

// The probe's line reports the state given (the routes' answers in that state: tests/wire/unavailable.http).
// Where the platform's model is built, the option is refused instead.
TEST(CommandLine, BuiltinAvailabilityIsWhatTheProbeAndTheRoutesReport) {
#ifdef BRINDLE_HAVE_PLATFORM_MODEL
    for (const Arguments& arguments : {Arguments{"probe", "--builtin-availability", "available"},
                                       testing::serveOnFreePort({"--builtin-availability", "available"})}) {
        const auto result = runToExit(kBinary, arguments);
        EXPECT_EQ(result.exitStatus, 2) << describe(arguments);
        EXPECT_EQ(result.standardError, "--builtin-availability applies only to the built-in model, and this "
                                        "brindle-server serves the platform's on-device model\n");
    }
#else
    const std::pair<std::string, std::string> cases[] = {
        // the state given, what the probe reports
        {"available", R"({"available":true})"},
        {"deviceNotEligible", R"({"available":false,"reason":"deviceNotEligible"})"},
        {"appleIntelligenceNotEnabled", R"({"available":false,"reason":"appleIntelligenceNotEnabled"})"},
        {"modelNotReady", R"({"available":false,"reason":"modelNotReady"})"},
        {"Available", R"({"available":false,"reason":"unknown"})"},
        {"", R"({"available":false,"reason":"unknown"})"}};
    for (const auto& [state, status] : cases) {
        const auto probed = runToExit(kBinary, {"probe", "--builtin-availability", state});
        EXPECT_EQ(probed.exitStatus, 0) << state;
        EXPECT_EQ(probed.standardOutput, status + "\n") << state;
    }
#endif
}

} // namespace
} // namespace brindle
