#include "BrindleModel/BuiltinModel.h"

#include "BrindleBase/ClientPresence.h"
#include "BrindleKit/ToolBridge.h"
#include "BrindleKit/TranscriptBuilder.h"
#include "BrindleModel/BuiltinDirectives.h"
#include "support/SocketPair.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
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

// The server's tools: proxies that hand the call back, which ends the generation.
std::vector<std::shared_ptr<Tool>> proxies() {
    const auto tool = [](std::string name, std::string_view schema) -> std::shared_ptr<Tool> {
        return std::make_shared<ProxyTool>(FunctionSpec{name, {}, JSONCoding::decoder().decode<JSONValue>(schema)});
    };
    return {tool("get_weather", kWeather), tool("get_time", "{}")};
}

std::vector<std::string> streamed(LanguageModelSession& session, const std::string& prompt, GenerationOptions options,
                                  std::vector<Transcript::ToolCall>* toolCalls = nullptr) {
    const auto stream = session.streamResponse(prompt, options);
    std::vector<std::string> snapshots;
    for (auto snapshot = stream->next(); snapshot && snapshots.size() < 1000; snapshot = stream->next())
        snapshots.push_back(snapshot->content);
    if (toolCalls) *toolCalls = stream->toolCalls();
    return snapshots;
}

TEST(BuiltinModel, AnswersOrCallsTheToolNamedInThePromptWithArgumentsThatFitItsSchema) {
    const std::string kContinue(kContinuationPrompt), kSix = "one two three four five six";
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
            const auto session = BuiltinModel().makeSession(proxies(), Transcript{c.history});
            const GenerationOptions options{.temperature = std::nullopt, .maximumResponseTokens = c.limit};
            Response response;
            if (streaming) response.content = last(streamed(*session, c.prompt, options, &response.toolCalls));
            else response = session->respond(c.prompt, options);
            std::string outcome = response.content;
            if (!response.toolCalls.empty()) {
                outcome = "call " + response.toolCalls.front().toolName;
                for (const auto& call : response.toolCalls) outcome += " " + call.arguments.jsonString();
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
        {"a tool definition more", true, {instructions}, proxies()},
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

// What a client sees: the growths of a stream joined by "|", or a plain answer; then, when it fails, "!" and
// the error's description.
std::string trace(LanguageModelSession& session, const std::string& prompt, bool streaming,
                  GenerationOptions options = {}) {
    std::string seen, last;
    try {
        if (!streaming) {
            Response response = session.respond(prompt, options);
            return response.toolCalls.empty() ? response.content : "!call " + response.toolCalls.front().toolName;
        }
        const auto stream = session.streamResponse(prompt, options);
        for (auto snapshot = stream->next(); snapshot; snapshot = stream->next()) {
            seen += (last.empty() ? "" : "|") + snapshot->content.substr(last.size());
            last = snapshot->content;
        }
        for (const auto& call : stream->toolCalls()) seen += "!call " + call.toolName;
    } catch (const GenerationError& error) {
        seen += std::string("!") + error.what();
    }
    return seen;
}

TEST(BuiltinModel, FailsOnCueWhereTheLastUserMessageSays) {
    const auto fails = [](std::string_view name) {
        return "!The built-in model failed on cue: " + std::string(name) + ".";
    };
    const auto user = [](std::string text) { return Transcript::Prompt{"p", {{"s", std::move(text)}}, {}}; };
    const struct {
        const char* label;
        std::string prompt;
        std::string streamed; // the trace; the plain answer is its failure, or its growths joined
        std::vector<Transcript::Entry> history = {};
        std::optional<std::int64_t> limit = std::nullopt;
    } cases[] = {
        {"before any text", "hi [brindle:fail=rateLimited]", fails("rateLimited")},
        {"after two words", "a [brindle:fail=decodingFailure][brindle:after=2]", "You| said:" + fails("decodingFailure")},
        {"at the end of a shorter answer", "hi [brindle:after=99] [brindle:fail=refusal]",
         "You| said:| hi| [brindle:after=99]| [brindle:fail=refusal]" + fails("refusal")},
        {"an answer cut to nothing fails at once", "[brindle:fail=refusal] [brindle:after=3]", fails("refusal"), {}, 0},
        {"the first valid value wins", "[brindle:fail=nope] [brindle:fail=refusal] [brindle:fail=rateLimited]",
         fails("refusal")},
        {"before a tool call", "get_time [brindle:fail=guardrailViolation]", fails("guardrailViolation")},
        {"a tool call comes before any word", "get_time [brindle:fail=refusal] [brindle:after=1]", "!call get_time"},
        {"from the last user turn, after tool output", std::string(kContinuationPrompt),
         "The" + fails("assetsUnavailable"),
         {user("get_time [brindle:fail=assetsUnavailable] [brindle:after=1]"), Transcript::ToolOutput{"c", "a", {}}}},
        {"not from an earlier user turn", "thanks", "You| said:| thanks", {user("[brindle:fail=rateLimited]")}},
        {"not a directive: letter case", "[Brindle:fail=refusal]", "You| said:| [Brindle:fail=refusal]"},
        {"not a directive: a blank", "[brindle:fail =refusal]", "You| said:| [brindle:fail| =refusal]"},
        {"not a directive: no end", "[brindle:fail=refusal", "You| said:| [brindle:fail=refusal"},
        {"bad values and names", "[brindle:fail=] [brindle:fail=Refusal] [brindle:boom=1] [brindle:after=x]",
         "You| said:| [brindle:fail=]| [brindle:fail=Refusal]| [brindle:boom=1]| [brindle:after=x]"},
    };
    for (const auto& c : cases) {
        for (const bool streaming : {false, true}) {
            const auto session = BuiltinModel().makeSession(proxies(), Transcript{c.history});
            const std::size_t failure = c.streamed.find('!');
            std::string plain = failure == std::string::npos ? c.streamed : c.streamed.substr(failure);
            if (failure == std::string::npos) std::erase(plain, '|');
            const GenerationOptions options{.temperature = std::nullopt, .maximumResponseTokens = c.limit};
            EXPECT_EQ(trace(*session, c.prompt, streaming, options), streaming ? c.streamed : plain)
                << c.label << (streaming ? " (streamed)" : "");
        }
    }
    for (const std::string_view name : {"exceededContextWindowSize", "assetsUnavailable", "guardrailViolation",
                                        "unsupportedGuide", "unsupportedLanguageOrLocale", "decodingFailure",
                                        "rateLimited", "concurrentRequests", "refusal"}) {
        const auto directives = BuiltinDirectives::read("[brindle:fail=" + std::string(name) + "]");
        ASSERT_TRUE(directives.failure) << name;
        EXPECT_EQ(std::string("!") + BuiltinDirectives::cueFailure(*directives.failure).what(), fails(name));
    }
}

TEST(BuiltinModel, ReadsThePaceUpToTenSeconds) {
    const struct {
        const char* text;
        long milliseconds;
    } cases[] = {{"[brindle:pace=250]", 250},          {"[brindle:pace=10000]", 10'000},
                 {"[brindle:pace=10001]", 10'000},     {"[brindle:pace=99999999999999999999999]", 10'000},
                 {"[brindle:pace=-5] [brindle:pace=7]", 7}, {"[brindle:pace=1.5]", 0},
                 {"[brindle:pace=+5]", 0},             {"[brindle:pace=5 ]", 0}};
    for (const auto& c : cases) EXPECT_EQ(BuiltinDirectives::read(c.text).pace.count(), c.milliseconds) << c.text;
}

// Lower bounds only: a wait can last longer on a busy machine, never shorter. The bound for a client that
// hangs up is half of one paced wait, against three waits in full.
TEST(BuiltinModel, KeepsThePaceUntilTheClientHangsUp) {
    using Clock = std::chrono::steady_clock;
    const auto elapsed = [](auto&& work) {
        const auto start = Clock::now();
        work();
        return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    };
    for (const bool streaming : {false, true}) {
        testing::SocketPair client;
        const ClientPresence::Scope scope(client.connection.fd());
        // A pipelined request waiting on the socket is not a hang-up.
        ASSERT_EQ(::write(client.peer, "GET / HTTP/1.1\r\n\r\n", 18), 18);
        const auto session = BuiltinModel().makeSession({}, {});
        std::string seen;
        EXPECT_GE(elapsed([&] { seen = trace(*session, "hi [brindle:pace=40]", streaming); }),
                  std::chrono::milliseconds(4 * 40));
        EXPECT_EQ(seen, streaming ? "You| said:| hi| [brindle:pace=40]" : "You said: hi [brindle:pace=40]");

        std::thread hangUp([&client] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            client.closePeer();
        });
        EXPECT_LT(elapsed([&] { seen = trace(*session, "hi [brindle:pace=10000]", streaming); }),
                  std::chrono::milliseconds(5'000));
        hangUp.join();
        EXPECT_EQ(seen, streaming ? "You| said:| hi| [brindle:pace=10000]" : "You said: hi [brindle:pace=10000]")
            << "the answer is whole, only sooner";
    }
}

} // namespace
} // namespace brindle::model
