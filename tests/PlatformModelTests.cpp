// The platform backend over a fake of its C bridge; each test ends with every text and hook context given back.

#include "BrindleModel/platform/PlatformModel.h"

#include "BrindleKit/ErrorMapping.h"
#include "BrindleKit/ToolBridge.h"
#include "support/FakePlatformBridge.h"

#include <gtest/gtest.h>

#include <functional>
#include <sstream>

namespace brindle::model {
namespace {

namespace Fake = testing::FakePlatformBridge;
using namespace std::string_literals;

class PlatformModelTest : public ::testing::Test {
protected:
    void TearDown() override {
        const Fake::Observed& seen = Fake::observed();
        EXPECT_TRUE(seen.liveTexts.empty()) << "texts handed out and never freed";
        EXPECT_EQ(seen.foreignFrees, 0) << "frees of texts the bridge never handed out";
        EXPECT_EQ(seen.contextsReleased, static_cast<int>(seen.descriptions.size())) << "hook contexts released";
    }
};

std::shared_ptr<LanguageModelSession> session(std::vector<std::shared_ptr<Tool>> tools = {}, Transcript history = {}) {
    return PlatformModel().makeSession(std::move(tools), std::move(history));
}

using Case = GenerationError::Case;

std::string generationError(Case errorCase, const std::string& description) {
    return "case " + std::to_string(static_cast<int>(errorCase)) + ": " + description;
}

// What an action threw: the error type with its case or tool, and its description.
std::string thrown(const std::function<void()>& action) {
    try {
        action();
    } catch (const GenerationError& error) {
        return generationError(error.errorCase, error.what());
    } catch (const ToolCallError& error) {
        return error.toolName + " failed: " + ErrorMapper::describe(error.underlyingError);
    } catch (const std::exception& error) {
        return (dynamic_cast<const GenerationSchema::SchemaError*>(&error) ? "schema: "s : "other: "s) + error.what();
    }
    return "nothing";
}

TEST_F(PlatformModelTest, ReadsEachStatusAsItsErrorFromRespondAndFromTheStream) {
    const struct {
        bpm_status status;
        std::string expected;
        bool atCreation = false;
    } cases[] = {
        {BPM_ERROR_CONTEXT_WINDOW, generationError(Case::exceededContextWindowSize, "said")},
        {BPM_ERROR_ASSETS_UNAVAILABLE, generationError(Case::assetsUnavailable, "said")},
        {BPM_ERROR_GUARDRAIL, generationError(Case::guardrailViolation, "said")},
        {BPM_ERROR_RATE_LIMITED, generationError(Case::rateLimited, "said")},
        {BPM_ERROR_UNSUPPORTED_GUIDE, generationError(Case::unsupportedGuide, "said")},
        {BPM_ERROR_UNSUPPORTED_LANGUAGE, generationError(Case::unsupportedLanguageOrLocale, "said")},
        {BPM_ERROR_DECODING_FAILURE, generationError(Case::decodingFailure, "said")},
        {BPM_ERROR_CONCURRENT_REQUESTS, generationError(Case::concurrentRequests, "said")},
        {BPM_ERROR_REFUSAL, generationError(Case::refusal, "said")},
        {BPM_ERROR_GENERATION_OTHER, generationError(Case::decodingFailure, "said")},
        {BPM_ERROR_CAPTURED_TOOL_CALL,
         "other: The platform model ended the generation at a tool call but reported none."},
        {BPM_ERROR_TOOL_CALL, "f failed: said"},
        {BPM_ERROR_OTHER, "other: said"},
        {BPM_ERROR_SCHEMA, "schema: said", true},
        {BPM_ERROR_OTHER, "other: said", true},
    };
    for (const auto& c : cases) {
        const Fake::Step step{c.status, "said", "f"};
        Fake::reset(Fake::Script().creating(c.atCreation ? step : Fake::Step()).responding(step).streaming({step}));
        EXPECT_EQ(thrown([] { session()->respond("Hi", {}); }), c.expected) << c.status;
        EXPECT_EQ(thrown([] { session()->streamResponse("Hi", {})->next(); }), c.expected) << c.status << " streamed";
    }
    Fake::reset(Fake::Script().responding({BPM_ERROR_DECODING_FAILURE})); // no description: still a message
    EXPECT_EQ(thrown([] { session()->respond("Hi", {}); }),
              generationError(Case::decodingFailure, "The platform model failed (status 16)."));
}

TEST_F(PlatformModelTest, ToolHookRunsTheNamedProxyAndTheGenerationEndsWithItsCalls) {
    const Fake::Step::Calls calls{{"f", R"({"city": "Paris"})"}, {"f", "city=Oslo"}, {"f", "a\0b"s}, {"g", "{}"}};
    Fake::reset(Fake::Script().responding({BPM_ERROR_CAPTURED_TOOL_CALL, "", "f", calls}));
    const auto tool = std::make_shared<ProxyTool>(FunctionSpec{"f", {}, {}});
    std::string recorded; // the platform's JSON text of the arguments as it wrote it; text that is not JSON as a string
    for (const auto& call : session({tool})->respond("Weather?", {}).toolCalls)
        recorded += call.id + call.toolName + " " + call.arguments.jsonString() + "; ";
    EXPECT_EQ(recorded, R"(f {"city": "Paris"}; f "city=Oslo"; f "a\u0000b"; )");
    const auto captured = BPM_ERROR_CAPTURED_TOOL_CALL;
    EXPECT_EQ(Fake::observed().hookAnswers,
              (std::vector<bpm_status>{captured, captured, captured, BPM_ERROR_TOOL_CALL}));
}

TEST_F(PlatformModelTest, DescribesToolsAndEveryEntryKindExactly) {
    const JSONValue schema = JSONCoding::decoder().decode<JSONValue>(
        R"({"type":"object","description":"Weather.","required":["city"],"properties":{"days":{"type":"integer"},)"
        R"("city":{"type":"string","description":"City"},"ratio":{"type":"number"},"metric":{"type":"boolean"},)"
        R"("unit":{"enum":["c","f"]},"tags":{"type":"array"}}})");
    const auto tool = std::make_shared<ProxyTool>(FunctionSpec{"f", "Weather \"now\".", schema});
    const GenerationSchema plain(DynamicGenerationSchema(DynamicGenerationSchema::ValueType::string), {});
    const GeneratedContent paris(JSONValue(JSONValue::Object{{"city", JSONValue("Paris")}}));
    Fake::reset({});
    session({tool}, {{Transcript::Instructions{"i1", {{"s1", "Be brief."}}, {{"shout", "", plain}}},
                      Transcript::Prompt{"p1", {{"s2", "Hi\0there"s}}, {}},
                      Transcript::Response{"r1", {"asset"}, {{"s4", "Hello"}}},
                      Transcript::ToolCalls{"t1", {{"c1", "f", paris}, {"c2", "shout", GeneratedContent("x"s)}}},
                      Transcript::ToolOutput{"o1", "f", {{"s5", R"({"temp":21})"}}}}});
    EXPECT_EQ(Fake::observed().descriptions.at(0),
              R"({"tools":[{"name":"f","description":"Weather \"now\".","parameters":{"type":"object","name":"f",)"
              R"("description":"Weather.","properties":[)"
              R"({"name":"city","description":"City","isOptional":false,"schema":{"type":"string"}},)"
              R"({"name":"days","isOptional":true,"schema":{"type":"integer"}},)"
              R"({"name":"metric","isOptional":true,"schema":{"type":"boolean"}},)"
              R"({"name":"ratio","isOptional":true,"schema":{"type":"number"}},)"
              R"({"name":"tags","isOptional":true,"schema":{"type":"array","items":{"type":"string"}}},)"
              R"({"name":"unit","isOptional":true,"schema":{"type":"anyOf","name":"unit","choices":["c","f"]}}]}}],)"
              R"("entries":[{"kind":"instructions","id":"i1","segments":[{"id":"s1","content":"Be brief."}],)"
              R"("toolDefinitions":[{"name":"shout","description":"","parameters":{"type":"string"}}]},)"
              R"({"kind":"prompt","id":"p1","segments":[{"id":"s2","content":"Hi\u0000there"}],"options":{}},)"
              R"({"kind":"response","id":"r1","assetIDs":["asset"],"segments":[{"id":"s4","content":"Hello"}]},)"
              R"({"kind":"toolCalls","id":"t1","calls":[{"id":"c1","toolName":"f","arguments":"{\"city\":\"Paris\"}"},)"
              R"({"id":"c2","toolName":"shout","arguments":"\"x\""}]},)"
              R"({"kind":"toolOutput","id":"o1","toolName":"f","segments":[{"id":"s5","content":"{\"temp\":21}"}]}]})");
}

TEST_F(PlatformModelTest, TextsWithNulCrossIntactAndAStreamEndsOrFailsOnce) {
    Fake::reset(Fake::Script().responding({BPM_OK, "x\0y"s}).streaming({{BPM_OK, "p\0q"s}, {BPM_OK, ""}}));
    EXPECT_EQ(session()->respond("a\0b"s, {}).content, "x\0y"s);
    auto stream = session()->streamResponse("c\0d"s, {});
    EXPECT_EQ(stream->next()->content, "p\0q"s);
    EXPECT_EQ(stream->next()->content, "");
    EXPECT_FALSE(stream->next() || stream->next()) << "the end, once; the bridge is not asked again";
    EXPECT_EQ(Fake::observed().streamNextCalls, 3);
    EXPECT_EQ(Fake::observed().prompts, (std::vector<std::string>{"a\0b"s, "c\0d"s}));
    stream.reset();
    Fake::reset(Fake::Script().streaming({{BPM_OK, "Hel"}, {BPM_ERROR_RATE_LIMITED, "slow down"}}));
    stream = session()->streamResponse("Hi", {});
    EXPECT_EQ(stream->next()->content, "Hel");
    for (int pull = 0; pull < 2; ++pull)
        EXPECT_EQ(thrown([&] { stream->next(); }), generationError(Case::rateLimited, "slow down")) << pull;
    EXPECT_EQ(Fake::observed().streamNextCalls, 2) << "the same error again, without asking the bridge";
}

// The platform's JSON of partial content may close what is still open: a snapshot is handed on only as far as
// it agrees with the one before (in whole UTF-8 sequences), and the whole text comes once the stream ends.
TEST_F(PlatformModelTest, GuidedGenerationSendsTheSchemaAndStreamsOnlySettledJSON) {
    const GenerationSchema schema(DynamicGenerationSchema("r", {}, std::vector<std::string>{"a", "b"}), {});
    Fake::reset(Fake::Script()
                    .responding({BPM_OK, R"({"a": 1})"})
                    .streaming({{BPM_OK, R"({"a":"b"})"},
                                {BPM_OK, R"({"a":"bc"})"},
                                {BPM_OK, R"({"a":"bc"})"},
                                {BPM_OK, R"({"a":"bc","d":"é"})"},
                                {BPM_OK, R"({"a":"bc","d":"è!"})"}}));
    EXPECT_EQ(session()->respond("Hi", schema, true, {}).content.jsonString(), R"({"a": 1})") << "the platform's own text";
    std::vector<std::string> snapshots;
    const auto stream = session()->streamResponse("Hi", schema, false, {});
    while (auto snapshot = stream->next()) snapshots.push_back(snapshot->content);
    EXPECT_EQ(snapshots, (std::vector<std::string>{"", R"({"a":"b)", R"({"a":"b)", R"({"a":"bc")", R"({"a":"bc","d":")",
                                                   R"({"a":"bc","d":"è!"})"}));
    const std::string node = R"({"type":"anyOf","name":"r","choices":["a","b"]})";
    EXPECT_EQ(Fake::observed().schemas, (std::vector<std::string>{"+" + node, "-" + node}));
}

TEST_F(PlatformModelTest, BridgesOptionsAndAvailabilityFieldByField) {
    using Reason = SystemLanguageModel::UnavailableReason;
    const struct {
        GenerationOptions options;
        std::string expected; // has_temperature temperature has_maximum maximum
    } optionCases[] = {
        {{}, "0 0 0 0"},
        {{0.0, 0}, "1 0 1 0"},
        {{1.75, std::int64_t{1} << 40}, "1 1.75 1 1099511627776"},
    };
    for (const auto& c : optionCases) {
        Fake::reset({});
        session()->respond("Hi", c.options);
        session()->streamResponse("Hi", c.options);
        for (const bpm_options& seen : Fake::observed().options) {
            std::ostringstream bridged;
            bridged << seen.has_temperature << " " << seen.temperature << " " << seen.has_maximum_response_tokens << " "
                    << seen.maximum_response_tokens;
            EXPECT_EQ(bridged.str(), c.expected);
        }
        EXPECT_EQ(Fake::observed().options.size(), 2u);
    }
    const std::pair<bpm_availability, std::optional<Reason>> availabilityCases[] = {
        {BPM_AVAILABLE, std::nullopt},
        {BPM_UNAVAILABLE_DEVICE_NOT_ELIGIBLE, Reason::deviceNotEligible},
        {BPM_UNAVAILABLE_NOT_ENABLED, Reason::appleIntelligenceNotEnabled},
        {BPM_UNAVAILABLE_MODEL_NOT_READY, Reason::modelNotReady},
        {BPM_UNAVAILABLE_OTHER, Reason::other},
        {static_cast<bpm_availability>(7), Reason::other},
    };
    for (const auto& [answer, reason] : availabilityCases) {
        Fake::reset(Fake::Script().answering(answer));
        EXPECT_EQ(PlatformModel().availability().unavailableReason, reason) << answer;
    }
}

// A generation a tool ended hands back the calls of the tool-calls entry it added, with the platform's ids and
// arguments text, which the transcript gains; without one, the calls as the hook saw them.
TEST_F(PlatformModelTest, HandsBackTheCallsOfTheToolCallsEntryTheGenerationAdded) {
    const struct {
        const char* label;
        std::optional<std::string> latest;
        std::string expected; // the calls handed back | the tool-calls entries after the generation
    } cases[] = {
        {"none", std::nullopt, " f {}; |H1;"},
        {"a new entry",
         R"({"id":"N1","calls":[{"id":"fm-1","toolName":"f","arguments":"{ \"b\": 1, \"a\":\"\\u0000\"}"}]})",
         R"(fm-1 f { "b": 1, "a":"\u0000"}; |H1;fm-1 f { "b": 1, "a":"\u0000"} in N1;)"},
        {"unreadable", "not json", " f {}; |H1;"},
    };
    for (const auto& c : cases) {
        Fake::reset(Fake::Script().responding({BPM_ERROR_CAPTURED_TOOL_CALL, "", "f", {{"f", "{}"}}}).latest(c.latest));
        const auto platformSession =
            session({std::make_shared<ProxyTool>(FunctionSpec{"f", {}, {}})}, {{Transcript::ToolCalls{"H1", {}}}});
        std::string entries;
        for (const auto& call : platformSession->respond("And Oslo?", {}).toolCalls)
            entries += call.id + " " + call.toolName + " " + call.arguments.jsonString() + "; ";
        entries += "|";
        for (const auto& entry : platformSession->transcript().entries) {
            const auto* calls = std::get_if<Transcript::ToolCalls>(&entry);
            for (const auto& call : calls ? calls->calls : std::vector<Transcript::ToolCall>{})
                entries += call.id + " " + call.toolName + " " + call.arguments.jsonString() + " in ";
            entries += calls ? calls->id + ";" : "";
        }
        EXPECT_EQ(entries, c.expected) << c.label;
    }
}

} // namespace
} // namespace brindle::model
