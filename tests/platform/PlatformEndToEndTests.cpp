// The real binary, built with the Swift bridge over the framework's stand-in (tests/platform/FoundationModels),
// answering over HTTP on 127.0.0.1. The stand-in takes its script from the prompt (see its Behaviour.swift), so
// every answer here went through the whole chain: HTTP, engine, C++ backend, C interface, Swift bridge, the
// framework's declarations and back. Answers are compared whole, after ids and clock are masked.

#include "support/LoopbackClient.h"
#include "support/ServerProcess.h"
#include "support/WireAnswers.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <regex>
#include <string>
#include <thread>

namespace brindle {
namespace {

using testing::LoopbackClient;
using testing::post;
using testing::serveOnFreePort;
using testing::ServerProcess;

// Besides ids and clock, the call ids and with them the length of a body: the reader took exactly
// Content-Length bytes, so a wrong length already shows as a cut or stalled answer.
std::string masked(const std::string& text) {
    std::string result = std::regex_replace(testing::masked(text), std::regex("brtc_[0-9a-f-]{36}"), "brtc_X");
    result = std::regex_replace(result, std::regex("fm-[0-9A-F-]{36}"), "fm-X");
    return std::regex_replace(result, std::regex("Content-Length: [0-9]+"), "Content-Length: N");
}

std::string userAsks(const std::string& prompt, const std::string& extra = "") {
    return R"({"model":"m","messages":[{"role":"user","content":)" + prompt + "}]" + extra + "}";
}

const std::string kWeatherTool =
    R"(,"tools":[{"type":"function","function":{"name":"get_weather","parameters":{"type":"object",)"
    R"("properties":{"city":{"type":"string"},"unit":{"type":"string"}}}}}])";

const std::string& kStreamHead = testing::kSSEHead;

std::string answer(int status, const std::string& phrase, const std::string& body) {
    return masked(testing::jsonAnswer(status, phrase, body));
}

// A completion whose message is the given members, and its usage.
std::string completion(const std::string& message, const std::string& finish, const std::string& usage) {
    return answer(200, "OK",
                  R"({"id":"chatcmpl-X","object":"chat.completion","created":0,"model":"m","choices":)"
                  R"([{"index":0,"message":{"role":"assistant",)" +
                      message + R"(},"finish_reason":")" + finish + R"("}],"usage":)" + usage + "}");
}

std::string chunk(const std::string& choice) {
    return R"(data: {"id":"chatcmpl-X","object":"chat.completion.chunk","created":0,"model":"m","choices":[{"index":0,)" +
           choice + "}]}\n\n";
}

class PlatformEndToEnd : public ::testing::Test {
protected:
    std::string exchange(const std::string& request) {
        LoopbackClient client(server_.port());
        client.sendAll(request);
        return masked(request.find(R"("stream":true)") != std::string::npos ? client.readUntilClose()
                                                                            : client.readHTTPResponse());
    }

    ServerProcess server_{BRINDLE_SERVER_BINARY, serveOnFreePort()};
};

// A call answered by the client: the model reads the tool's output from the transcript.
const std::string kRoundTrip =
    R"({"model":"m","messages":[{"role":"user","content":"call get_weather with {\"city\": \"Oslo\"}"},)"
    R"({"role":"assistant","content":null,"tool_calls":[{"id":"call_1","type":"function","function":)"
    R"({"name":"get_weather","arguments":"{\"city\": \"Oslo\"}"}}]},)"
    R"({"role":"tool","tool_call_id":"call_1","content":"Sunny, 21 C"})";

TEST_F(PlatformEndToEnd, AnswersStreamsCallsToolsAndFailsThroughTheSwiftBridge) {
    const std::string youSaid =
        chunk(R"("delta":{"role":"assistant","content":"You"})") + chunk(R"("delta":{"content":" said:"})");
    const struct {
        const char* label;
        std::string body;
        std::string expected;
    } cases[] = {
        {"plain", userAsks(R"("Hello there")"),
         completion(R"("content":"You said: Hello there")", "stop",
                    R"({"prompt_tokens":6,"completion_tokens":5,"total_tokens":11})")},
        {"stream", userAsks(R"("Hi you")", R"(,"stream":true)"),
         kStreamHead + youSaid + chunk(R"("delta":{"content":" Hi"})") + chunk(R"("delta":{"content":" you"})") +
             chunk(R"("delta":{},"finish_reason":"stop")") + "data: [DONE]\n\n"},
        // The framework's own text of the arguments (its spacing and key order) and its call id.
        {"tool call", userAsks(R"("call get_weather with {\"unit\": \"c\", \"city\": \"Paris\"}")", kWeatherTool),
         completion(R"("tool_calls":[{"id":"fm-X","type":"function","function":{"name":"get_weather",)"
                    R"("arguments":"{\"unit\": \"c\", \"city\": \"Paris\"}"}}])",
                    "tool_calls", R"({"prompt_tokens":17,"completion_tokens":7,"total_tokens":24})")},
        {"tool round trip", kRoundTrip + "]" + kWeatherTool + "}",
         completion(R"("content":"tool said: Sunny, 21 C")", "stop",
                    R"({"prompt_tokens":24,"completion_tokens":5,"total_tokens":29})")},
        // The platform keeps no trace of this turn: the call comes back as the hook saw it, never from the history.
        {"a new call after a round trip",
         kRoundTrip + R"(,{"role":"user","content":"secretly call get_weather with {\"city\": \"Rome\"}"}])" +
             kWeatherTool + "}",
         completion(R"("tool_calls":[{"id":"brtc_X","type":"function","function":{"name":"get_weather",)"
                    R"("arguments":"{\"city\": \"Rome\"}"}}])",
                    "tool_calls", R"({"prompt_tokens":39,"completion_tokens":4,"total_tokens":43})")},
        {"rate limited before any output", userAsks(R"("fail with rateLimited")"),
         answer(429, "Too Many Requests",
                R"({"error":{"message":"The on-device model is rate limited. Retry shortly.",)"
                R"("type":"rate_limit_error"}})")},
        {"guardrail before any output", userAsks(R"("fail with guardrailViolation")"),
         answer(400, "Bad Request",
                R"({"error":{"message":"The on-device model declined this request (Apple Intelligence safety )"
                R"(guardrails).","type":"invalid_request_error","code":"content_filter"}})")},
        {"guardrail mid-stream", userAsks(R"("after 2 words fail with guardrailViolation")", R"(,"stream":true)"),
         kStreamHead + youSaid + chunk(R"("delta":{},"finish_reason":"content_filter")") + "data: [DONE]\n\n"},
        // The framework's description of the error reaches the client.
        {"other error mid-stream", userAsks(R"("after 1 words fail with refusal")", R"(,"stream":true)"),
         kStreamHead + chunk(R"("delta":{"role":"assistant","content":"You"})") +
             R"(data: {"error":{"message":"The stand-in failed with refusal.","type":"api_error"}})" + "\n\n"},
        {"options", userAsks(R"("which options")", R"(,"temperature":0.25,"max_tokens":9)"),
         completion(R"("content":"temperature 0.25, maximum response tokens 9")", "stop",
                    R"({"prompt_tokens":7,"completion_tokens":10,"total_tokens":17})")},
    };
    for (const auto& c : cases) EXPECT_EQ(exchange(post(c.body)), c.expected) << c.label;
}

// The model stops when its client goes: the stand-in counts the generations running, and a slow stream's
// generation must be gone soon after its client, long before it would have ended by itself (20 s).
TEST_F(PlatformEndToEnd, AClientThatVanishesMidStreamStopsTheModel) {
    const std::string running = post(userAsks(R"("how many generations are running")"));
    {
        LoopbackClient client(server_.port());
        client.sendAll(post(userAsks(R"("count slowly to 1000")", R"(,"stream":true)")));
        client.readExactly(kStreamHead.size() + 100); // the head and the first frames
        EXPECT_NE(exchange(running).find("1 other generations are running."), std::string::npos);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    std::string answer;
    do {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        answer = exchange(running);
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
        const auto result = testing::runToExit(BRINDLE_SERVER_BINARY, {"probe"});
        EXPECT_EQ(result.standardOutput, expected) << state;
    }
    ::unsetenv("FOUNDATIONMODELS_STANDIN_AVAILABILITY");
}

} // namespace
} // namespace brindle
