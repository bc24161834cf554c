// The engine over scripted models: whole answers and whole frame sequences, compared as text after the random
// ids and the clock are masked.

#include "BrindleKit/CompletionEngine.h"
#include "BrindleKit/HTTPServer.h"
#include "BrindleKit/JSONValue.h"
#include "BrindleKit/TranscriptBuilder.h"
#include "support/ScriptedModel.h"

#include <gtest/gtest.h>

#include <regex>

namespace brindle {
namespace {

using testing::Script;
using testing::ScriptedModel;
using Case = model::GenerationError::Case;

ChatCompletionRequest request(const std::string& body) {
    return JSONCoding::decoder().decode<ChatCompletionRequest>(body);
}

const std::string kHi = R"({"model":"m","messages":[{"role":"user","content":"Hi"}])";
const std::string kTools =
    R"(,"tools":[{"type":"function","function":{"name":"get_weather","parameters":{"type":"object",)"
    R"("properties":{"city":{"type":"string"}}}}}])";
const std::string kUsage = R"(,"stream_options":{"include_usage":true})";

// Masks what differs from run to run: completion ids, brtc_ ids and the creation time.
std::string masked(std::string text) {
    text = std::regex_replace(text, std::regex("chatcmpl-[0-9a-f-]{36}"), "chatcmpl-X");
    text = std::regex_replace(text, std::regex("brtc_[0-9a-f-]{36}"), "brtc_X");
    return std::regex_replace(text, std::regex("\"created\":[0-9]+"), "\"created\":0");
}

std::string chunk(const std::string& choices, const std::string& extra = "") {
    return R"(data: {"id":"chatcmpl-X","object":"chat.completion.chunk","created":0,"model":"m","choices":[)" +
           choices + "]" + extra + "}\n\n";
}
std::string content(const std::string& text, bool role = false) {
    return chunk(R"({"index":0,"delta":{)" + std::string(role ? R"("role":"assistant",)" : "") + R"("content":")" +
                 text + R"("}})");
}
std::string toolCalls(const std::string& calls, bool role) {
    return chunk(R"({"index":0,"delta":{)" + std::string(role ? R"("role":"assistant",)" : "") +
                 R"("tool_calls":[)" + calls + "]}}");
}
std::string finish(const std::string& reason) {
    return chunk(R"({"index":0,"delta":{},"finish_reason":")" + reason + R"("})");
}
std::string usage(int prompt, int completion) {
    return chunk("", R"(,"usage":{"prompt_tokens":)" + std::to_string(prompt) + R"(,"completion_tokens":)" +
                         std::to_string(completion) + R"(,"total_tokens":)" + std::to_string(prompt + completion) +
                         "}");
}
std::string errorFrame(const std::string& message, const std::string& type, const std::string& code = "") {
    return "data: {\"error\":{\"message\":\"" + message + "\",\"type\":\"" + type + "\"" +
           (code.empty() ? "" : ",\"code\":\"" + code + "\"") + "}}\n\n";
}
const std::string kDone = "data: [DONE]\n\n";
const std::string kWeatherCall = R"({"index":0,"id":"call_1","type":"function","function":{"name":"get_weather",)"
                                 R"("arguments":"{\"city\":\"Paris\"}"}})";

struct StreamResult {
    std::vector<std::string> frames;
    std::string thrown; // what() of the error that left streamCompletion, if any
};

StreamResult stream(std::shared_ptr<ScriptedModel> model, const std::string& body) {
    StreamResult result;
    try {
        CompletionEngine(model).streamCompletion(
            request(body), [&result](const std::string& frame) { result.frames.push_back(masked(frame)); });
    } catch (const std::exception& error) {
        result.thrown = error.what();
    }
    return result;
}

Script toolCallScript(std::vector<std::string> snapshots, bool inTranscript) {
    Script script{.snapshots = std::move(snapshots), .toolCalls = {{"get_weather", R"({"city":"Paris"})"}}};
    if (inTranscript) script.transcriptCallIDs = std::vector<std::string>{"call_1"};
    return script;
}

TEST(CompletionEngine, StreamsEveryFrameSequence) {
    const std::string recorderCall = R"({"index":0,"id":"brtc_X","type":"function","function":{"name":"get_weather",)"
                                     R"("arguments":"{\"city\":\"Paris\"}"}})";
    const struct {
        const char* name;
        Script script;
        std::string body;
        std::vector<std::string> frames;
        std::string thrown;
    } cases[] = {
        {"normal answer, a repeated snapshot sends nothing",
         {.snapshots = {"Hel", "Hello", "Hello"}}, kHi + "}",
         {content("Hel", true), content("lo"), finish("stop"), kDone}, ""},
        {"a revised snapshot: only what lies beyond the old length",
         {.snapshots = {"Hello world", "Hello", "Hello there!"}}, kHi + "}",
         {content("Hello world", true), content("!"), finish("stop"), kDone}, ""},
        {"a combining mark joins the last character: no new character, no frame",
         {.snapshots = {"cafe", "cafe\u0301", "cafe\u0301s"}}, kHi + "}",
         {content("cafe", true), content("s"), finish("stop"), kDone}, ""},
        {"empty answer: finish without a role", {}, kHi + kUsage + "}",
         {finish("stop"), usage(5, 1), kDone}, ""},
        {"usage after the finish frame, eight characters are two tokens",
         {.snapshots = {"12345678"}}, kHi + kUsage + "}",
         {content("12345678", true), finish("stop"), usage(5, 2), kDone}, ""},
        {"tool call before any text carries the role", toolCallScript({}, true), kHi + kTools + "}",
         {toolCalls(kWeatherCall, true), finish("tool_calls"), kDone}, ""},
        {"tool call after text, from the recorder; usage counts the arguments",
         toolCallScript({"Checking"}, false), kHi + kTools + kUsage + "}",
         {content("Checking", true), toolCalls(recorderCall, false), finish("tool_calls"), usage(5, 6), kDone}, ""},
        {"refusal after text", {.snapshots = {"Sure"}, .error = testing::generationError(Case::guardrailViolation)},
         kHi + "}", {content("Sure", true), finish("content_filter"), kDone}, ""},
        {"other model error after text: one error frame, no done marker",
         {.snapshots = {"Sure"}, .error = testing::generationError(Case::rateLimited)}, kHi + kUsage + "}",
         {content("Sure", true), errorFrame("The on-device model is rate limited. Retry shortly.", "rate_limit_error")},
         ""},
        {"a captured call that left no record, after text", {.snapshots = {"Sure"},
          .error = std::make_exception_ptr(CapturedToolCall())}, kHi + "}",
         {content("Sure", true), errorFrame("CapturedToolCall", "api_error")}, ""},
        {"model error before any text is thrown", {.error = testing::generationError(Case::guardrailViolation)},
         kHi + "}", {}, "GenerationError.guardrailViolation"},
        {"any other error before text is thrown", {.error = std::make_exception_ptr(std::runtime_error("boom"))},
         kHi + "}", {}, "boom"},
        {"preparation error", {}, R"({"model":"m","messages":[]})", {}, "messages array is empty"},
    };
    for (const auto& c : cases) {
        const StreamResult result = stream(std::make_shared<ScriptedModel>(c.script), c.body);
        EXPECT_EQ(result.frames, c.frames) << c.name;
        EXPECT_EQ(result.thrown, c.thrown) << c.name;
    }
}

TEST(CompletionEngine, AFailedSendEndsTheStreamAtOnce) {
    std::vector<std::string> snapshots;
    for (int i = 1; i <= 50; ++i) snapshots.push_back(std::string(static_cast<std::size_t>(i), 'a'));
    auto model = std::make_shared<ScriptedModel>(Script{.snapshots = snapshots});
    int sent = 0;
    EXPECT_THROW(CompletionEngine(model).streamCompletion(request(kHi + "}"),
                                                          [&sent](const std::string&) {
                                                              if (++sent == 3) throw FDConnection::WriteFailed();
                                                          }),
                 FDConnection::WriteFailed);
    EXPECT_EQ(sent, 3);
    EXPECT_EQ(model->sessions().at(0).snapshotsPulled, 3u);
    EXPECT_EQ(model->liveSessions(), 0);
}

std::string complete(std::shared_ptr<ScriptedModel> model, const std::string& body) {
    return masked(CompletionEngine(std::move(model)).complete(request(body)));
}

TEST(CompletionEngine, AnswersWithTextOrToolCalls) {
    const std::string head = R"({"id":"chatcmpl-X","object":"chat.completion","created":0,"model":"m","choices":[)";
    EXPECT_EQ(complete(std::make_shared<ScriptedModel>(Script{.snapshots = {"Hel", "Hello!"}}), kHi + "}"),
              head + R"({"index":0,"message":{"role":"assistant","content":"Hello!"},"finish_reason":"stop"}],)"
                     R"("usage":{"prompt_tokens":5,"completion_tokens":1,"total_tokens":6}})");
    EXPECT_EQ(complete(std::make_shared<ScriptedModel>(Script{}), kHi + "}"),
              head + R"({"index":0,"message":{"role":"assistant","content":""},"finish_reason":"stop"}],)"
                     R"("usage":{"prompt_tokens":5,"completion_tokens":1,"total_tokens":6}})");

    Script twoCalls{.toolCalls = {{"get_weather", R"({"city":"Paris"})"}, {"get_weather", R"({"city":"Oslo"})"}},
                    .transcriptCallIDs = std::vector<std::string>{"call_a", "call_b"}};
    EXPECT_EQ(complete(std::make_shared<ScriptedModel>(twoCalls), kHi + kTools + "}"),
              head + R"({"index":0,"message":{"role":"assistant","tool_calls":[)"
                     R"({"id":"call_a","type":"function","function":{"name":"get_weather","arguments":"{\"city\":\"Paris\"}"}},)"
                     R"({"id":"call_b","type":"function","function":{"name":"get_weather","arguments":"{\"city\":\"Oslo\"}"}}]},)"
                     R"("finish_reason":"tool_calls"}],"usage":{"prompt_tokens":5,"completion_tokens":7,"total_tokens":12}})");
    // A call from the conversation's history is not mistaken for the one the model just made.
    const std::string history =
        R"({"model":"m","messages":[{"role":"user","content":"Paris?"},{"role":"assistant","tool_calls":[{"id":"old",)"
        R"("type":"function","function":{"name":"get_weather","arguments":"{}"}}]},{"role":"tool","content":"rain"},)"
        R"({"role":"user","content":"Oslo?"}])";
    const std::string answer = complete(std::make_shared<ScriptedModel>(toolCallScript({}, false)), history + kTools + "}");
    EXPECT_NE(answer.find(R"("id":"brtc_X","type":"function","function":{"name":"get_weather","arguments":)"
                          R"("{\"city\":\"Paris\"}"})"),
              std::string::npos)
        << answer;
}

TEST(CompletionEngine, ThrowsWhatItCannotAnswer) {
    const auto bare = std::make_shared<ScriptedModel>(Script{.error = std::make_exception_ptr(CapturedToolCall())});
    EXPECT_THROW(CompletionEngine(bare).complete(request(kHi + "}")), CapturedToolCall);
    const auto refusal = std::make_shared<ScriptedModel>(Script{.snapshots = {"Sure"},
                                                               .error = testing::generationError(Case::guardrailViolation)});
    EXPECT_THROW(CompletionEngine(refusal).complete(request(kHi + "}")), model::GenerationError);
    const std::string duplicateType =
        R"(,"tools":[{"type":"function","function":{"name":"a","parameters":{"type":"object","properties":)"
        R"({"a":{"type":"object","properties":{}}}}}}])";
    const auto model = std::make_shared<ScriptedModel>(Script{.snapshots = {"never"}});
    EXPECT_THROW(CompletionEngine(model).complete(request(kHi + duplicateType + "}")),
                 model::GenerationSchema::SchemaError);
    EXPECT_TRUE(model->sessions().empty()) << "a rejected schema fails before any session exists";
}

TEST(CompletionEngine, PreparesOptionsToolsAndPromptTokens) {
    const auto model = std::make_shared<ScriptedModel>();
    const CompletionEngine engine(model);
    const struct {
        const char* extra;
        std::optional<std::int64_t> limit;
        std::optional<double> temperature;
    } cases[] = {
        {"", 1024, std::nullopt},
        {R"(,"max_tokens":200)", 200, std::nullopt},
        {R"(,"max_tokens":200,"max_completion_tokens":50)", 50, std::nullopt},
        {R"(,"max_completion_tokens":0,"temperature":1.7)", 0, 1.7},
    };
    for (const auto& c : cases) {
        const auto prepared = engine.prepare(request(kHi + c.extra + "}"));
        EXPECT_EQ(prepared.options.maximumResponseTokens, c.limit) << c.extra;
        EXPECT_EQ(prepared.options.temperature, c.temperature) << c.extra;
        EXPECT_EQ(prepared.promptTokens, 5) << c.extra;
        EXPECT_EQ(prepared.prompt, "Hi") << c.extra;
    }
    const auto prepared = engine.prepare(request(kHi + kTools + R"(,"tool_choice":"none"})"));
    const auto record = model->sessions().back();
    ASSERT_EQ(record.tools.size(), 1u) << "tool_choice none still offers the tools";
    EXPECT_EQ(record.tools[0]->description(), "");
    const auto& instructions = std::get<model::Transcript::Instructions>(record.transcript.entries.at(0));
    ASSERT_EQ(instructions.toolDefinitions.size(), 1u);
    EXPECT_EQ(instructions.toolDefinitions[0].name, "get_weather");
}

} // namespace
} // namespace brindle
