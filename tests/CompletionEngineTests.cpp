// The engine over scripted models: whole answers and frame sequences, compared after ids and clock are masked.

#include "BrindleKit/CompletionEngine.h"
#include "BrindleKit/HTTPServer.h"
#include "support/ScriptedModel.h"

#include <gtest/gtest.h>

#include <regex>

namespace brindle {
namespace {

using testing::Script;
using testing::ScriptedModel;
using testing::generationError;
using Case = model::GenerationError::Case;

auto request(std::string_view body) { return JSONCoding::decoder().decode<ChatCompletionRequest>(body); }

std::string hi(const std::string& members = "") {
    return R"({"model":"m","messages":[{"role":"user","content":"Hi"}])" + members + "}";
}
const std::string kTools = R"(,"tools":[{"type":"function","function":{"name":"get_weather","parameters":)"
                           R"({"type":"object","properties":{"city":{"type":"string"}}}}}])";
const std::string kUsage = R"(,"stream_options":{"include_usage":true})";
const std::string kDone = "data: [DONE]\n\n";

// Masks what differs from run to run: completion ids, brtc_ ids and the creation time.
std::string masked(const std::string& text) {
    const std::string ids = std::regex_replace(text, std::regex("(chatcmpl-|brtc_)[0-9a-f-]{36}"), "$1X");
    return std::regex_replace(ids, std::regex("\"created\":[0-9]+"), "\"created\":0");
}

std::string chunk(const std::string& choices, const std::string& extra = "") {
    return R"(data: {"id":"chatcmpl-X","object":"chat.completion.chunk","created":0,"model":"m","choices":[)" +
           choices + "]" + extra + "}\n\n";
}
std::string delta(const std::string& members, bool role) {
    return chunk(R"({"index":0,"delta":{)" + std::string(role ? R"("role":"assistant",)" : "") + members + "}}");
}
std::string content(const std::string& text, bool role = false) { return delta(R"("content":")" + text + "\"", role); }
std::string toolCalls(const std::string& calls, bool role) { return delta(R"("tool_calls":[)" + calls + "]", role); }
std::string finish(const std::string& reason) {
    return chunk(R"({"index":0,"delta":{},"finish_reason":")" + reason + "\"}");
}
std::string usage(int completion) { // the prompt, one message saying Hi, is always 5 tokens
    return chunk("", R"(,"usage":{"prompt_tokens":5,"completion_tokens":)" + std::to_string(completion) +
                         R"(,"total_tokens":)" + std::to_string(5 + completion) + "}");
}
std::string errorFrame(const std::string& message, const std::string& type) {
    return R"(data: {"error":{"message":")" + message + R"(","type":")" + type + "\"}}\n\n";
}

std::string weatherCall(const std::string& id) {
    return R"({"index":0,"id":")" + id + R"(","type":"function","function":{"name":"get_weather",)"
                                        R"("arguments":"{\"city\":\"Paris\"}"}})";
}
Script toolCallScript(std::vector<std::string> snapshots, bool inTranscript) {
    Script script{.snapshots = std::move(snapshots), .toolCalls = {{"get_weather", R"({"city":"Paris"})"}}};
    if (inTranscript) script.transcriptCallIDs = std::vector<std::string>{"call_1"};
    return script;
}

TEST(CompletionEngine, StreamsEveryFrameSequence) {
    const struct {
        const char* name;
        Script script;
        std::string body;
        std::vector<std::string> frames; // then what was thrown, if anything
    } cases[] = {
        {"normal answer, a repeated snapshot sends nothing", {.snapshots = {"Hel", "Hello", "Hello"}}, hi(),
         {content("Hel", true), content("lo"), finish("stop"), kDone}},
        {"revision: the delta lies past the old length", {.snapshots = {"Hello world", "Hello", "Hello there!"}}, hi(),
         {content("Hello world", true), content("!"), finish("stop"), kDone}},
        {"a combining mark adds no character: no frame", {.snapshots = {"cafe", "cafe\u0301", "cafe\u0301s"}}, hi(),
         {content("cafe", true), content("s"), finish("stop"), kDone}},
        {"empty answer: finish without a role", {}, hi(kUsage), {finish("stop"), usage(1), kDone}},
        {"usage after the finish frame, eight characters are two tokens", {.snapshots = {"12345678"}}, hi(kUsage),
         {content("12345678", true), finish("stop"), usage(2), kDone}},
        {"tool call before any text carries the role", toolCallScript({}, true), hi(kTools),
         {toolCalls(weatherCall("call_1"), true), finish("tool_calls"), kDone}},
        {"brtc_ call after text; usage counts arguments", toolCallScript({"Checking"}, false), hi(kTools + kUsage),
         {content("Checking", true), toolCalls(weatherCall("brtc_X"), false), finish("tool_calls"), usage(6), kDone}},
        {"refusal after text", {.snapshots = {"Sure"}, .error = generationError(Case::guardrailViolation)},
         hi(), {content("Sure", true), finish("content_filter"), kDone}},
        {"other model error after text: one error frame, no done marker",
         {.snapshots = {"Sure"}, .error = generationError(Case::rateLimited)}, hi(kUsage),
         {content("Sure", true),
          errorFrame("The on-device model is rate limited. Retry shortly.", "rate_limit_error")}},
        {"model error before any text is thrown", {.error = generationError(Case::guardrailViolation)}, hi(),
         {"thrown: GenerationError.guardrailViolation"}},
        {"any other error before text is thrown", {.error = std::make_exception_ptr(std::runtime_error("boom"))}, hi(),
         {"thrown: boom"}},
        {"preparation error", {}, R"({"model":"m","messages":[]})", {"thrown: messages array is empty"}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> frames;
        const auto send = [&frames](const std::string& frame) { frames.push_back(masked(frame)); };
        try {
            CompletionEngine(std::make_shared<ScriptedModel>(c.script)).streamCompletion(request(c.body), send);
        } catch (const std::exception& error) {
            frames.push_back(std::string("thrown: ") + error.what());
        }
        EXPECT_EQ(frames, c.frames) << c.name;
    }
}

// A client that went away: the write error leaves at once, no further snapshot is pulled, the session is dropped.
TEST(CompletionEngine, AFailedSendEndsTheStreamAtOnce) {
    Script script;
    for (std::size_t i = 1; i <= 50; ++i) script.snapshots.push_back(std::string(i, 'a'));
    const auto model = std::make_shared<ScriptedModel>(script);
    int sent = 0;
    const auto send = [&sent](const std::string&) { if (++sent == 3) throw FDConnection::WriteFailed(); };
    EXPECT_THROW(CompletionEngine(model).streamCompletion(request(hi()), send), FDConnection::WriteFailed);
    EXPECT_EQ(model->sessions().at(0).snapshotsPulled, 3u);
    EXPECT_EQ(model->liveSessions(), 0);
}

std::string complete(Script script, const std::string& body) {
    return masked(CompletionEngine(std::make_shared<ScriptedModel>(std::move(script))).complete(request(body)));
}

TEST(CompletionEngine, AnswersWithTextOrToolCalls) {
    const std::string head = R"({"id":"chatcmpl-X","object":"chat.completion","created":0,"model":"m","choices":[)";
    EXPECT_EQ(complete({.snapshots = {"Hel", "Hello!"}}, hi()),
              head + R"({"index":0,"message":{"role":"assistant","content":"Hello!"},"finish_reason":"stop"}],)"
                     R"("usage":{"prompt_tokens":5,"completion_tokens":1,"total_tokens":6}})");
    EXPECT_NE(complete({}, hi()).find(R"({"role":"assistant","content":""},"finish_reason":"stop"}],)"
                                          R"("usage":{"prompt_tokens":5,"completion_tokens":1,)"),
              std::string::npos);
    const Script twoCalls{.toolCalls = {{"get_weather", R"({"city":"Paris"})"}, {"get_weather", R"({"city":"Oslo"})"}},
                          .transcriptCallIDs = std::vector<std::string>{"call_a", "call_b"}};
    EXPECT_EQ(complete(twoCalls, hi(kTools)),
              head + R"({"index":0,"message":{"role":"assistant","tool_calls":[{"id":"call_a","type":"function",)"
                     R"("function":{"name":"get_weather","arguments":"{\"city\":\"Paris\"}"}},{"id":"call_b",)"
                     R"("type":"function","function":{"name":"get_weather","arguments":"{\"city\":\"Oslo\"}"}}]},)"
                     R"("finish_reason":"tool_calls"}],)"
                     R"("usage":{"prompt_tokens":5,"completion_tokens":7,"total_tokens":12}})");
    // A call from the conversation's history is not mistaken for the one the model just made.
    const std::string history = R"({"model":"m","messages":[{"role":"user","content":"Paris?"},{"role":"assistant",)"
                                R"("tool_calls":[{"id":"old","type":"function","function":{"name":"get_weather",)"
                                R"("arguments":"{}"}}]},{"role":"tool","content":"rain"},)"
                                R"({"role":"user","content":"Oslo?"}])";
    EXPECT_NE(complete(toolCallScript({}, false), history + kTools + "}").find(R"("tool_calls":[{"id":"brtc_X",)"),
              std::string::npos);
}

TEST(CompletionEngine, ThrowsWhatItCannotAnswer) {
    const Script refusal{.snapshots = {"Sure"}, .error = generationError(Case::guardrailViolation)};
    EXPECT_THROW(complete(refusal, hi()), model::GenerationError);
    // Two objects named "a" (the tool and its property) give the schema one type name twice.
    const std::string duplicateType = R"(,"tools":[{"type":"function","function":{"name":"a","parameters":)"
                                      R"({"type":"object","properties":{"a":{"type":"object","properties":{}}}}}}])";
    const auto model = std::make_shared<ScriptedModel>(Script{.snapshots = {"never"}});
    EXPECT_THROW(CompletionEngine(model).complete(request(hi(duplicateType))), model::GenerationSchema::SchemaError);
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
        {"", 1024, {}}, {R"(,"max_tokens":200)", 200, {}},
        {R"(,"max_tokens":200,"max_completion_tokens":50)", 50, {}},
        {R"(,"max_completion_tokens":0,"temperature":1.7)", 0, 1.7},
    };
    for (const auto& c : cases) {
        const auto prepared = engine.prepare(request(hi(c.extra)));
        EXPECT_EQ(prepared.options.maximumResponseTokens, c.limit) << c.extra;
        EXPECT_EQ(prepared.options.temperature, c.temperature) << c.extra;
        EXPECT_EQ(prepared.prompt, "Hi") << c.extra;
    }
    const auto prepared = engine.prepare(request(hi(kTools + R"(,"tool_choice":"none")")));
    const auto record = model->sessions().back();
    ASSERT_EQ(record.tools.size(), 1u) << "tool_choice none still offers the tools";
    const auto& instructions = std::get<model::Transcript::Instructions>(record.transcript.entries.at(0));
    EXPECT_EQ(instructions.toolDefinitions.at(0).name, "get_weather");
}

} // namespace
} // namespace brindle
