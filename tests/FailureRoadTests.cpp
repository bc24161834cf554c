// Every failure road of the built-in model, asked for by the directives in a prompt and answered by the real
// binary: whole answers compared byte for byte, plain ones each with a request pipelined behind it.

#include <string>

#include <gtest/gtest.h>

#include "support/LoopbackClient.h"
#include "support/ServerProcess.h"
#include "support/WireAnswers.h"

namespace brindle {
namespace {

using testing::jsonAnswer;

std::string chat(const std::string& content, const std::string& options = "") {
    return testing::post(R"({"model":"m",)" + options + R"("messages":[{"role":"user","content":")" + content +
                         R"("}]})");
}

std::string chunk(const std::string& choices) {
    return R"(data: {"id":"chatcmpl-X","object":"chat.completion.chunk","created":0,"model":"m",)" + choices + "}\n\n";
}

TEST(FailureRoads, EachAnswersAsTheErrorTableAndTheStreamRulesSay) {
    const testing::ServerProcess server(BRINDLE_SERVER_BINARY, testing::serveOnFreePort());
    const std::string kStream = R"("stream":true,)";
    const std::string rateLimited = jsonAnswer(
        429, "Too Many Requests",
        R"({"error":{"message":"The on-device model is rate limited. Retry shortly.","type":"rate_limit_error"}})");
    const std::string declined = jsonAnswer(
        400, "Bad Request",
        R"({"error":{"message":"The on-device model declined this request (Apple Intelligence safety guardrails).",)"
        R"("type":"invalid_request_error","code":"content_filter"}})");
    const std::string you = chunk(R"("choices":[{"index":0,"delta":{"role":"assistant","content":"You"}}])");
    const struct {
        const char* label;
        std::string request;
        std::string answer; // a stream's ends with the connection
    } cases[] = {
        {"429 before any text", chat("[brindle:fail=rateLimited]"), rateLimited},
        {"429 streamed: no text yet, so no stream", chat("[brindle:fail=rateLimited]", kStream), rateLimited},
        {"429 after text: a plain answer has not begun", chat("[brindle:fail=rateLimited] [brindle:after=1]"),
         rateLimited},
        {"refusal", chat("[brindle:fail=guardrailViolation]"), declined},
        {"refusal after two words: the content_filter finish",
         chat("[brindle:fail=guardrailViolation] [brindle:after=2]",
              R"("stream":true,"stream_options":{"include_usage":true},)"),
         testing::kSSEHead + you + chunk(R"("choices":[{"index":0,"delta":{"content":" said:"}}])") +
             chunk(R"("choices":[{"index":0,"delta":{},"finish_reason":"content_filter"}])") +
             chunk(R"("choices":[],"usage":{"prompt_tokens":16,"completion_tokens":2,"total_tokens":18})") +
             "data: [DONE]\n\n"},
        {"unavailable assets", chat("[brindle:fail=assetsUnavailable]", kStream),
         jsonAnswer(503, "Service Unavailable",
                    R"({"error":{"message":"The on-device model is not ready. Check Apple Intelligence in System )"
                    R"(Settings.","type":"service_unavailable","code":"model_not_ready"}})")},
        {"context window after a word: one error event, no done marker",
         chat("[brindle:fail=exceededContextWindowSize] [brindle:after=1]", kStream),
         testing::kSSEHead + you +
             R"(data: {"error":{"message":"This model's maximum context length has been exceeded by the request.",)"
             R"("type":"invalid_request_error","code":"context_length_exceeded"}})"
             "\n\n"},
        {"any other case", chat("[brindle:fail=concurrentRequests]"),
         jsonAnswer(500, "Internal Server Error",
                    R"({"error":{"message":"The built-in model failed on cue: concurrentRequests.",)"
                    R"("type":"api_error"}})")},
        {"any other case after a word", chat("[brindle:fail=decodingFailure] [brindle:after=1]", kStream),
         testing::kSSEHead + you +
             R"(data: {"error":{"message":"The built-in model failed on cue: decodingFailure.","type":"api_error"}})"
             "\n\n"},
    };
    const std::string health = "GET /health HTTP/1.1\r\n\r\n";
    for (const auto& c : cases) {
        testing::LoopbackClient client(server.port());
        client.sendAll(c.request + health);
        if (c.answer.starts_with(testing::kSSEHead)) {
            EXPECT_EQ(testing::masked(client.readUntilClose()), c.answer) << c.label;
            continue;
        }
        EXPECT_EQ(client.readHTTPResponse(), c.answer) << c.label;
        EXPECT_EQ(client.readHTTPResponse(), jsonAnswer(200, "OK", R"({"status":"ok"})")) << c.label;
    }
}

} // namespace
} // namespace brindle
