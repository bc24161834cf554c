// The real binary, built with the Swift bridge over the framework's stand-in (tests/platform/FoundationModels),
// on 127.0.0.1. Whole exchanges are replayed from tests/platform/wire by the wire driver linked in beside this
// file; here, what needs code: a client that goes away, and the availability the probe reads.

#include "support/LoopbackClient.h"
#include "support/ServerProcess.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

namespace brindle {
namespace {

std::string post(const std::string& prompt, const std::string& extra = "") {
    const std::string body = R"({"model":"m","messages":[{"role":"user","content":")" + prompt + "\"}]" + extra + "}";
    return "POST /v1/chat/completions HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// The model stops when its client goes: the stand-in counts the generations running, and a slow stream's
// generation must be gone soon after its client, long before it would have ended by itself (20 s).
TEST(PlatformEndToEnd, AClientThatVanishesMidStreamStopsTheModel) {
    const testing::ServerProcess server(BRINDLE_SERVER_BINARY, testing::serveOnFreePort());
    const auto running = [&] {
        testing::LoopbackClient client(server.port());
        client.sendAll(post("how many generations are running"));
        return client.readHTTPResponse();
    };
    {
        testing::LoopbackClient client(server.port());
        client.sendAll(post("count slowly to 1000", R"(,"stream":true)"));
        client.readExactly(400); // the head and the first frames
        EXPECT_NE(running().find("1 other generations are running."), std::string::npos);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    std::string answer;
    do {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        answer = running();
    } while (answer.find("0 other generations") == std::string::npos && std::chrono::steady_clock::now() < deadline);
    EXPECT_NE(answer.find(R"("content":"0 other generations are running.")"), std::string::npos) << answer;
}

// Each state of the framework's availability, read afresh by the probe command.
TEST(PlatformAvailability, ProbeReportsEachStateOfTheModel) {
    const std::pair<const char*, const char*> cases[] = {
        {"available", "{\"available\":true}\n"},
        {"deviceNotEligible", "{\"available\":false,\"reason\":\"deviceNotEligible\"}\n"},
        {"appleIntelligenceNotEnabled", "{\"available\":false,\"reason\":\"appleIntelligenceNotEnabled\"}\n"},
        {"modelNotReady", "{\"available\":false,\"reason\":\"modelNotReady\"}\n"},
    };
    for (const auto& [state, expected] : cases) {
        ::setenv("FOUNDATIONMODELS_STANDIN_AVAILABILITY", state, 1);
        EXPECT_EQ(testing::runToExit(BRINDLE_SERVER_BINARY, {"probe"}).standardOutput, expected) << state;
    }
    ::unsetenv("FOUNDATIONMODELS_STANDIN_AVAILABILITY");
}

} // namespace
} // namespace brindle
