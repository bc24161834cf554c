#include "BrindleModel/BuiltinModel.h"

#include "BrindleKit/ToolBridge.h"
#include "BrindleKit/TranscriptBuilder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace brindle::model {
namespace {

// Arguments of every kind: plain values, choices, arrays of values and of objects, a nested object, optional values.
const char* const kWeather =
    R"({"type":"object","required":["city","days","location","ratio","rows","tags","unit"],"properties":{)"
    R"("city":{"type":"string"},"days":{"type":"integer"},"metric":{"type":"boolean"},"ratio":{"type":"number"},)"
    R"("location":{"type":"object","required":["country"],"properties":{"country":{"type":"string"},"zip":{}}},)"
    R"("rows":{"type":"array","items":{"type":"object","required":["id"],"properties":{"id":{"type":"integer"}}}},)"
    R"("tags":{"type":"array"},"unit":{"enum":["c","f"]}}})";

// The server's tools: proxies that record the call and stop the generation.
std::vector<std::shared_ptr<Tool>> proxies(const std::shared_ptr<ToolCallRecorder>& recorder) {
    const auto tool = [&recorder](std::string name, std::string_view schema) -> std::shared_ptr<Tool> {
        return std::make_shared<ProxyTool>(FunctionSpec{name, {}, JSONCoding::decoder().decode<JSONValue>(schema)},
                                           recorder);
    };
    return {tool("get_weather", kWeather), tool("get_time", "{}")};
}

std::vector<std::string> streamed(LanguageModelSession& session, const std::string& prompt, GenerationOptions options) {
    const auto stream = session.streamResponse(prompt, options);
    std::vector<std::string> snapshots;
    for (auto snapshot = stream->next(); snapshot && snapshots.size() < 1000; snapshot = stream->next())
        snapshots.push_back(snapshot->content);
    return snapshots;
}

TEST(BuiltinModel, AnswersOrCallsTheToolNamedInThePromptWithArgumentsThatFitItsSchema) {
    const std::string kContinue = TranscriptBuilder::kContinuationPrompt, kSix = "one two three four five six";
    const Transcript::Prompt asked{"p", {{"s", "weather?"}}, {}};
    const Transcript::ToolOutput one{"c1", "a", {{"s", "1"}}}, two{"c2", "b", {{"s", "2"}}};
    const std::string defaults = R"(call get_weather {"city":"city","days":1,"location":{"country":"country"},)"
                                 R"("ratio":0.5,"rows":[{"id":1}],"tags":["tags"],"unit":"c"})";
    const struct {
        const char* label;
        std::string prompt;
        std::string expected; // the answer, or the call that stopped the generation
        std::vector<Transcript::Entry> history = {};
        std::optional<std::int64_t> limit = std::nullopt;
    } cases[] = {
        {"echo", "Hello there", "You said: Hello there"},
        {"empty prompt", "", "You said nothing."},
        {"after tool outputs", kContinue, "The a tool returned: 1\nThe b tool returned: 2", {asked, one, two}},
        {"a user prompt after tool output", "thanks", "You said: thanks", {asked, one}},
        {"continuation without tool output", kContinue, "You said: " + kContinue, {asked}},
        {"limit 9: 37 characters fit", kSix, "You said: one two three four five six", {}, 9},
        {"limit 8: cut at a word", kSix, "You said: one two three four five", {}, 8},
        {"limit 0", kSix, "", {}, 0},
        {"placeholders", "Call get_weather.", defaults},
        {"values that do not fit", "get_weather days=three unit=k metric=yes ratio=x", defaults},
        {"values from the prompt",
         R"(get_weather city="New York", days=3 metric=true unit=f ratio=2.5 tags=a,b zip=75001 id=7.)",
         R"(call get_weather {"city":"New York","days":3,)"
         R"("location":{"country":"country","zip":"75001"},"metric":true,"ratio":2.5,"rows":[{"id":7}],)"
         R"("tags":["a","b"],"unit":"f"})"},
        {"the first tool in session order", "get_time or get_weather", defaults},
        {"inside a word", "my_get_time", "You said: my_get_time"},
        {"case-sensitive", "Get_time", "You said: Get_time"},
        {"a plain string schema takes the prompt", "get_time, please", R"(call get_time "get_time, please")"},
    };
    const auto last = [](const std::vector<std::string>& all) { return all.empty() ? std::string() : all.back(); };
    for (const auto& c : cases) {
        for (const bool streaming : {false, true}) {
            const auto recorder = std::make_shared<ToolCallRecorder>();
            const auto session = BuiltinModel().makeSession(proxies(recorder), Transcript{c.history});
            const GenerationOptions options{.temperature = std::nullopt, .maximumResponseTokens = c.limit};
            std::string outcome;
            try {
                outcome = streaming ? last(streamed(*session, c.prompt, options))
                                    : session->respond(c.prompt, options).content;
            } catch (const ToolCallError& error) {
                EXPECT_THROW(std::rethrow_exception(error.underlyingError), CapturedToolCall);
                outcome = "call " + error.toolName;
                for (const auto& call : recorder->calls()) outcome += " " + call.argumentsJSON;
                EXPECT_EQ(session->transcript().entries.size(), c.history.size()) << "no turn";
            }
            EXPECT_EQ(outcome, c.expected) << c.label << (streaming ? " (streamed)" : "");
        }
    }
}

TEST(BuiltinModel, StreamGrowsWordByWord) {
    EXPECT_EQ(streamed(*BuiltinModel().makeSession({}, {}), "a  b\tc ", {}),
              (std::vector<std::string>{"You", "You said:", "You said: a", "You said: a  b", "You said: a  b\tc",
                                        "You said: a  b\tc "}));
}

TEST(BuiltinModel, RefusesAConversationBeyondTheContextWindow) {
    const auto window = BuiltinModel::kContextWindowTokens;
    const Transcript::Instructions instructions{"i", {{"s", "Be brief."}}, {}}; // 9 characters: 2 tokens
    const Transcript::Response reply{"r", {}, {{"s", "Ok"}}};                   // 1 token
    const std::string prompt(static_cast<std::size_t>(window - 2) * 4, 'x');
    const struct {
        const char* label;
        bool exceeds;
        std::vector<Transcript::Entry> history;
        std::vector<std::shared_ptr<Tool>> tools = {};
    } cases[] = {
        {"instructions and prompt fill it", false, {instructions}},
        {"a history entry more", true, {instructions, reply}},
        {"a tool definition more", true, {instructions}, proxies(std::make_shared<ToolCallRecorder>())},
    };
    for (const auto& c : cases) {
        for (const bool streaming : {false, true}) {
            const auto session = BuiltinModel().makeSession(c.tools, Transcript{c.history});
            try {
                streaming ? (void)session->streamResponse(prompt, {})->next() : (void)session->respond(prompt, {});
                EXPECT_FALSE(c.exceeds) << c.label;
            } catch (const GenerationError& error) {
                EXPECT_TRUE(c.exceeds && error.errorCase == GenerationError::Case::exceededContextWindowSize)
                    << c.label;
            }
        }
    }
}

} // namespace
} // namespace brindle::model
