#include "BrindleModel/BuiltinModel.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "BrindleKit/SSEWriter.h"
#include "BrindleKit/TranscriptBuilder.h"

namespace brindle::model {
namespace {

using Schema = DynamicGenerationSchema;
using Property = DynamicGenerationSchema::Property;

std::shared_ptr<const Schema> shared(Schema schema) { return std::make_shared<const Schema>(std::move(schema)); }
Schema plain(Schema::ValueType type) { return Schema(type); }

class TestTool final : public Tool {
public:
    TestTool(std::string name, Schema schema, std::string output = "Sunny, 21 C")
        : name_(std::move(name)), parameters_(std::move(schema), {}), output_(std::move(output)) {}

    std::string name() const override { return name_; }
    std::string description() const override { return "A tool for tests."; }
    const GenerationSchema& parameters() const override { return parameters_; }
    std::string call(const GeneratedContent& arguments) override {
        received.push_back(arguments.jsonString());
        if (error) std::rethrow_exception(error);
        return output_;
    }

    std::vector<std::string> received;
    std::exception_ptr error;

private:
    std::string name_;
    GenerationSchema parameters_;
    std::string output_;
};

// Every kind a tool's arguments can take: required and optional plain values, choices, arrays of values
// and of objects, a nested object with an optional property, an optional object.
Schema weatherSchema() {
    Schema location("location", std::nullopt,
                    std::vector<Property>{{"country", std::nullopt, shared(plain(Schema::ValueType::string)), false},
                                          {"zip", std::nullopt, shared(plain(Schema::ValueType::string)), true}});
    Schema extra("extra", std::nullopt,
                 std::vector<Property>{{"note", std::nullopt, shared(plain(Schema::ValueType::string)), false}});
    Schema row("rowsItem", std::nullopt,
               std::vector<Property>{{"id", std::nullopt, shared(plain(Schema::ValueType::integer)), false}});
    return Schema(
        "get_weather", "Weather for a city.",
        std::vector<Property>{
            {"city", "The city.", shared(plain(Schema::ValueType::string)), false},
            {"days", std::nullopt, shared(plain(Schema::ValueType::integer)), false},
            {"extra", std::nullopt, shared(extra), true},
            {"location", std::nullopt, shared(location), false},
            {"metric", std::nullopt, shared(plain(Schema::ValueType::boolean)), true},
            {"ratio", std::nullopt, shared(plain(Schema::ValueType::number)), false},
            {"rows", std::nullopt, shared(Schema::arrayOf(row)), false},
            {"tags", std::nullopt, shared(Schema::arrayOf(plain(Schema::ValueType::string))), false},
            {"unit", std::nullopt, shared(Schema("unit", std::nullopt, std::vector<std::string>{"c", "f"})), false},
        });
}

Transcript::TextSegment text(std::string content) { return {"segment", std::move(content)}; }

// One line per entry, so whole transcripts compare in one assertion.
std::vector<std::string> summary(const Transcript& transcript) {
    std::vector<std::string> lines;
    for (const auto& entry : transcript.entries) {
        if (auto* prompt = std::get_if<Transcript::Prompt>(&entry))
            lines.push_back("prompt " + prompt->segments[0].content);
        if (auto* response = std::get_if<Transcript::Response>(&entry))
            lines.push_back("response " + response->segments[0].content);
        if (auto* calls = std::get_if<Transcript::ToolCalls>(&entry))
            for (const auto& call : calls->calls)
                lines.push_back("call " + call.toolName + " " + call.arguments.jsonString());
        if (auto* output = std::get_if<Transcript::ToolOutput>(&entry))
            lines.push_back("output " + output->toolName + " " + output->segments[0].content);
        if (std::holds_alternative<Transcript::Instructions>(entry)) lines.push_back("instructions");
    }
    return lines;
}

std::vector<std::string> streamed(LanguageModelSession& session, const std::string& prompt, GenerationOptions options) {
    auto stream = session.streamResponse(prompt, options);
    std::vector<std::string> snapshots;
    for (int bound = 0; bound < 1000; ++bound) {
        auto snapshot = stream->next();
        if (!snapshot) return snapshots;
        snapshots.push_back(snapshot->content);
    }
    ADD_FAILURE() << "the stream did not end";
    return snapshots;
}

const std::string kContinuation = TranscriptBuilder::kContinuationPrompt;

TEST(BuiltinModel, AnswersFromThePromptOrFromToolOutput) {
    const Transcript::ToolOutput sunny{"call_1", "get_weather", {text("Sunny, 21 C")}};
    const Transcript::ToolOutput clock{"call_2", "get_time", {text("12:00")}};
    const Transcript::Prompt asked{"p", {text("weather?")}, {}};
    const struct {
        const char* label;
        std::vector<Transcript::Entry> history;
        std::string prompt;
        std::string answer;
    } cases[] = {
        {"echo", {}, "Hello there", "You said: Hello there"},
        {"empty prompt", {}, "", "You said nothing."},
        {"after one tool output", {asked, sunny}, kContinuation, "The get_weather tool returned: Sunny, 21 C"},
        {"after two tool outputs",
         {asked, sunny, clock},
         kContinuation,
         "The get_weather tool returned: Sunny, 21 C\nThe get_time tool returned: 12:00"},
        {"a user prompt after tool output", {asked, sunny}, "thanks", "You said: thanks"},
        {"continuation without tool output", {asked}, kContinuation, "You said: " + kContinuation},
    };
    for (const auto& c : cases) {
        auto session = BuiltinModel().makeSession({}, Transcript{c.history});
        EXPECT_EQ(session->respond(c.prompt, {}).content, c.answer) << c.label;
        std::vector<std::string> expected = summary(Transcript{c.history});
        expected.push_back("prompt " + c.prompt);
        expected.push_back("response " + c.answer);
        EXPECT_EQ(summary(session->transcript()), expected) << c.label;
        const auto& entries = session->transcript().entries;
        const std::string& promptID = std::get<Transcript::Prompt>(entries[entries.size() - 2]).id;
        EXPECT_EQ(promptID.size(), 36u);
        EXPECT_NE(promptID, std::get<Transcript::Response>(entries.back()).id);
    }
}

TEST(BuiltinModel, StreamGrowsWordByWordAndEndsWithTheWholeAnswer) {
    auto session = BuiltinModel().makeSession({}, {});
    const std::vector<std::string> snapshots = streamed(*session, "a  b\tc ", {});
    EXPECT_EQ(snapshots, (std::vector<std::string>{"You", "You said:", "You said: a", "You said: a  b",
                                                   "You said: a  b\tc", "You said: a  b\tc "}));
    EXPECT_EQ(summary(session->transcript()),
              (std::vector<std::string>{"prompt a  b\tc ", "response " + snapshots.back()}));
    EXPECT_EQ(BuiltinModel().makeSession({}, {})->respond("a  b\tc ", {}).content, snapshots.back());

    // Only a stream read to its end leaves the turn in the transcript.
    auto stream = session->streamResponse("again", {});
    ASSERT_TRUE(stream->next());
    EXPECT_EQ(session->transcript().entries.size(), 2u);
}

TEST(BuiltinModel, CutsTheAnswerAtAWordToStayWithinTheResponseLimit) {
    const std::string prompt = "one two three four five six";
    const struct {
        std::optional<std::int64_t> limit;
        std::string answer;
    } cases[] = {
        {std::nullopt, "You said: one two three four five six"},
        {1'000'000, "You said: one two three four five six"},
        {9, "You said: one two three four five six"}, // 37 characters: exactly 9
        {8, "You said: one two three four five"},
        {3, "You said: one"},
        {2, "You said:"},
        {1, "You"},
        {0, ""},
        {-5, ""},
    };
    for (const auto& c : cases) {
        const GenerationOptions options{.temperature = std::nullopt, .maximumResponseTokens = c.limit};
        const auto label = c.limit ? std::to_string(*c.limit) : "none";
        EXPECT_EQ(BuiltinModel().makeSession({}, {})->respond(prompt, options).content, c.answer) << label;
        const auto snapshots = streamed(*BuiltinModel().makeSession({}, {}), prompt, options);
        EXPECT_EQ(snapshots.empty() ? "" : snapshots.back(), c.answer) << label;
    }
}

TEST(BuiltinModel, RefusesAConversationBeyondTheContextWindow) {
    const auto window = BuiltinModel::kContextWindowTokens;
    const Transcript::Instructions instructions{"i", {text("Be brief.")}, {}}; // 9 characters: 2 tokens
    const Transcript::Response reply{"r", {}, {text("Ok")}};                   // 1 token
    auto weather = std::make_shared<TestTool>("get_weather", weatherSchema());
    const struct {
        const char* label;
        std::vector<Transcript::Entry> history;
        std::vector<std::shared_ptr<Tool>> tools;
        std::int64_t promptTokens;
        bool exceeds;
    } cases[] = {
        {"prompt fills the window", {}, {}, window, false},
        {"prompt one over", {}, {}, window + 1, true},
        {"instructions and prompt fill it", {instructions}, {}, window - 2, false},
        {"a history entry more", {instructions, reply}, {}, window - 2, true},
        {"a tool definition more", {}, {weather}, window, true},
    };
    for (const auto& c : cases) {
        const std::string prompt(static_cast<std::size_t>(c.promptTokens) * 4, 'x');
        auto session = BuiltinModel().makeSession(c.tools, Transcript{c.history});
        auto stream = session->streamResponse(prompt, {}); // nothing happens before the first pull
        if (!c.exceeds) {
            EXPECT_NO_THROW(session->respond(prompt, {})) << c.label;
            continue;
        }
        for (int road = 0; road < 2; ++road) {
            try {
                road == 0 ? (void)session->respond(prompt, {}) : (void)stream->next();
                ADD_FAILURE() << c.label << ": no error";
            } catch (const GenerationError& error) {
                EXPECT_EQ(error.errorCase, GenerationError::Case::exceededContextWindowSize) << c.label;
                EXPECT_NE(std::string(error.what()).find("context window"), std::string::npos) << error.what();
            }
        }
        EXPECT_EQ(session->transcript().entries.size(), c.history.size()) << c.label;
        EXPECT_TRUE(weather->received.empty());
    }
}

TEST(BuiltinModel, CallsTheToolNamedInThePromptWithArgumentsThatFitItsSchema) {
    const std::string defaults =
        R"({"city":"city","days":1,"location":{"country":"country"},"ratio":0.5,"rows":[{"id":1}],)"
        R"("tags":["tags"],"unit":"c"})";
    const struct {
        const char* label;
        std::string prompt;
        std::string arguments;
    } cases[] = {
        {"placeholders", "Call get_weather.", defaults},
        {"values from the prompt", "get_weather city=Paris, days=3 metric=true unit=f ratio=2.5 tags=a,b zip=75001.",
         R"({"city":"Paris","days":3,"location":{"country":"country","zip":"75001"},"metric":true,"ratio":2.5,)"
         R"("rows":[{"id":1}],"tags":["a","b"],"unit":"f"})"},
        {"values that do not fit", "get_weather days=three unit=k metric=yes ratio=x", defaults},
        {"quoted value, nested and optional objects", R"(get_weather city="New York" note=hi id=7)",
         R"({"city":"New York","days":1,"extra":{"note":"hi"},"location":{"country":"country"},"ratio":0.5,)"
         R"("rows":[{"id":7}],"tags":["tags"],"unit":"c"})"},
    };
    for (const auto& c : cases) {
        auto tool = std::make_shared<TestTool>("get_weather", weatherSchema());
        auto session = BuiltinModel().makeSession({tool}, {});
        EXPECT_EQ(session->respond(c.prompt, {}).content, "The get_weather tool returned: Sunny, 21 C") << c.label;
        EXPECT_EQ(tool->received, std::vector<std::string>{c.arguments}) << c.label;
        EXPECT_EQ(summary(session->transcript()),
                  (std::vector<std::string>{"prompt " + c.prompt, "call get_weather " + c.arguments,
                                            "output get_weather Sunny, 21 C",
                                            "response The get_weather tool returned: Sunny, 21 C"}))
            << c.label;
        const auto& entries = session->transcript().entries;
        EXPECT_EQ(std::get<Transcript::ToolCalls>(entries[1]).calls[0].id,
                  std::get<Transcript::ToolOutput>(entries[2]).id);
    }
}

TEST(BuiltinModel, CallsOnlyAToolNamedAsAWholeWordTheFirstInSessionOrder) {
    const struct {
        std::string prompt;
        std::string called; // empty: none, the prompt is echoed
        std::string arguments;
    } cases[] = {
        {"what is the weather", "weather", R"({"city":"city"})"},
        {"weather, then get_weather", "get_weather", R"({"city":"city"})"},
        {"the_weather_report", "", ""},
        {"forecast_weather", "", ""},
        {"Weather", "", ""},
        {"get_time please", "get_time", R"("get_time please")"}, // a schema that is a plain string
    };
    for (const auto& c : cases) {
        auto city = [] {
            return Schema(
                "args", std::nullopt,
                std::vector<Property>{{"city", std::nullopt, shared(plain(Schema::ValueType::string)), false}});
        };
        std::vector<std::shared_ptr<TestTool>> tools{
            std::make_shared<TestTool>("get_weather", city()), std::make_shared<TestTool>("weather", city()),
            std::make_shared<TestTool>("get_time", plain(Schema::ValueType::string))};
        auto session = BuiltinModel().makeSession({tools.begin(), tools.end()}, {});
        const std::string answer = session->respond(c.prompt, {}).content;
        for (const auto& tool : tools)
            EXPECT_EQ(tool->received,
                      tool->name() == c.called ? std::vector<std::string>{c.arguments} : std::vector<std::string>{})
                << c.prompt << " / " << tool->name();
        EXPECT_EQ(answer,
                  c.called.empty() ? "You said: " + c.prompt : "The " + c.called + " tool returned: Sunny, 21 C");
    }
}

TEST(BuiltinModel, AThrowingToolEndsTheGenerationWithToolCallErrorAndNoTurn) {
    struct StationOffline : std::runtime_error {
        StationOffline() : std::runtime_error("station offline") {}
    };
    for (const bool streaming : {false, true}) {
        auto tool = std::make_shared<TestTool>("get_weather", weatherSchema());
        tool->error = std::make_exception_ptr(StationOffline());
        const Transcript history{{Transcript::Prompt{"p", {text("earlier")}, {}}}};
        auto session = BuiltinModel().makeSession({tool}, history);
        auto stream = session->streamResponse("get_weather city=Oslo", {});
        EXPECT_TRUE(tool->received.empty()) << "called before the first pull";
        try {
            streaming ? (void)stream->next() : (void)session->respond("get_weather city=Oslo", {});
            ADD_FAILURE() << "no error";
        } catch (const ToolCallError& error) {
            EXPECT_EQ(error.toolName, "get_weather");
            EXPECT_THROW(std::rethrow_exception(error.underlyingError), StationOffline);
        }
        EXPECT_EQ(tool->received.size(), 1u);
        EXPECT_EQ(summary(session->transcript()), summary(history)) << "streaming " << streaming;
    }
}

TEST(BuiltinModel, StreamsAToolCallBeforeAnyText) {
    auto tool = std::make_shared<TestTool>("get_weather", weatherSchema(), "Rain");
    auto session = BuiltinModel().makeSession({tool}, {});
    auto stream = session->streamResponse("get_weather city=Oslo", {});
    EXPECT_TRUE(tool->received.empty());
    std::vector<std::string> snapshots;
    while (auto snapshot = stream->next()) {
        EXPECT_EQ(tool->received.size(), 1u);
        snapshots.push_back(snapshot->content);
    }
    EXPECT_EQ(snapshots,
              (std::vector<std::string>{"The", "The get_weather", "The get_weather tool",
                                        "The get_weather tool returned:", "The get_weather tool returned: Rain"}));
}

} // namespace
} // namespace brindle::model
