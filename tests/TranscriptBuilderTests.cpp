#include "BrindleKit/TranscriptBuilder.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace brindle {
namespace {

using model::Transcript;
using TranscriptBuilder::BuildError;

ChatMessage say(std::string role, std::string text) {
    return {std::move(role), MessageContent{std::move(text)}, {}, {}, {}};
}

ChatMessage parts(std::string role, std::vector<ContentPart> contentParts) {
    return {std::move(role), MessageContent{std::move(contentParts)}, {}, {}, {}};
}

ChatMessage bare(std::string role) { return {std::move(role), std::nullopt, {}, {}, {}}; }

ChatMessage callsTools(std::optional<MessageContent> content, std::vector<ToolCall> calls) {
    return {"assistant", std::move(content), std::move(calls), {}, {}};
}

ChatMessage toolResult(std::optional<std::string> id, std::optional<std::string> name, std::string text) {
    return {"tool", MessageContent{std::move(text)}, {}, std::move(id), std::move(name)};
}

ToolCall wireCall(std::string id, std::string name, std::string arguments) {
    return {std::move(id), "function", {std::move(name), std::move(arguments)}};
}

const ContentPart kImage{"image_url", std::nullopt};

Transcript::ToolDefinition tool(const std::string& name) {
    return {name, "",
            model::GenerationSchema(model::DynamicGenerationSchema(
                                        name, std::nullopt, std::vector<model::DynamicGenerationSchema::Property>{}),
                                    {})};
}

std::string segmentsText(const std::vector<Transcript::TextSegment>& segments) {
    std::string text;
    for (const auto& segment : segments) text += (text.empty() ? "" : "|") + segment.content;
    return text;
}

// One line per entry, holding everything the model reads from it; ids are checked separately.
struct Summary {
    std::string operator()(const Transcript::Instructions& entry) const {
        std::string tools;
        for (const auto& definition : entry.toolDefinitions) tools += " tool:" + definition.name;
        return "instructions[" + segmentsText(entry.segments) + "]" + tools;
    }
    std::string operator()(const Transcript::Prompt& entry) const {
        return "prompt[" + segmentsText(entry.segments) + "]";
    }
    std::string operator()(const Transcript::Response& entry) const {
        return "response[" + segmentsText(entry.segments) + "]" + (entry.assetIDs.empty() ? "" : " assets");
    }
    std::string operator()(const Transcript::ToolCalls& entry) const {
        std::string text = "toolCalls";
        for (const auto& call : entry.calls) text += " " + call.id + ":" + call.toolName + call.arguments.jsonString();
        return text;
    }
    std::string operator()(const Transcript::ToolOutput& entry) const {
        return "toolOutput " + entry.toolName + "[" + segmentsText(entry.segments) + "]";
    }
};

std::vector<std::string> summarise(const Transcript& transcript) {
    std::vector<std::string> lines;
    for (const auto& entry : transcript.entries) lines.push_back(std::visit(Summary{}, entry));
    return lines;
}

const std::string kContinue = TranscriptBuilder::kContinuationPrompt;

TEST(TranscriptBuilder, BuildsInstructionsHistoryAndPrompt) {
    const struct {
        const char* name;
        std::vector<ChatMessage> messages;
        std::vector<std::string> tools;
        std::vector<std::string> entries;
        std::string prompt;
    } cases[] = {
        {"single user message", {say("user", "Hi")}, {}, {}, "Hi"},
        {"tool definitions alone make an empty instructions text",
         {say("user", "Hi")},
         {"a", "b"},
         {"instructions[] tool:a tool:b"},
         "Hi"},
        {"system and developer gathered from anywhere, joined by a blank line",
         {say("system", "A"), say("user", "Q1"), say("assistant", "R1"), say("developer", "B"), say("user", "Q2")},
         {"t"},
         {"instructions[A\n\nB] tool:t", "prompt[Q1]", "response[R1]"},
         "Q2"},
        {"system parts joined by one line feed",
         {parts("system", {{"text", "x"}, {"input_text", "y"}}), say("developer", "z"), say("user", "Q")},
         {},
         {"instructions[x\ny\n\nz]"},
         "Q"},
        {"empty system text still takes its place",
         {say("system", ""), say("system", "A"), say("user", "Q")},
         {},
         {"instructions[\n\nA]"},
         "Q"},
        {"only system messages", {say("system", "A")}, {}, {"instructions[A]"}, kContinue},
        {"conversation ending with a tool result",
         {say("user", "Weather?"), callsTools(std::nullopt, {wireCall("call_1", "get_weather", R"({"city":"Oslo"})")}),
          toolResult("call_1", "get_weather", "sunny")},
         {},
         {"prompt[Weather?]", R"(toolCalls call_1:get_weather{"city":"Oslo"})", "toolOutput get_weather[sunny]"},
         kContinue},
        {"conversation ending with the assistant",
         {say("user", "Q"), say("assistant", "R")},
         {},
         {"prompt[Q]", "response[R]"},
         kContinue},
        {"tool calls with empty text add no response",
         {callsTools(MessageContent{""}, {wireCall("c1", "f", "{}"), wireCall("c2", "g", R"({"a":true})")}),
          say("user", "Q")},
         {},
         {R"(toolCalls c1:f{} c2:g{"a":true})"},
         "Q"},
        {"tool calls with text add a response after them",
         {callsTools(MessageContent{"Checking."}, {wireCall("c1", "f", "{}")}), say("user", "Q")},
         {},
         {"toolCalls c1:f{}", "response[Checking.]"},
         "Q"},
        {"arguments that are not JSON stay a plain string",
         {callsTools(std::nullopt, {wireCall("c1", "f", "city=Oslo")}), say("user", "Q")},
         {},
         {"toolCalls c1:f\"city=Oslo\""},
         "Q"},
        {"assistant without content or calls answers the empty text",
         {bare("assistant"), callsTools(std::nullopt, {}), say("user", "Q")},
         {},
         {"response[]", "response[]"},
         "Q"},
        {"assistant with an image part answers the empty text",
         {parts("assistant", {kImage}), say("user", "Q")},
         {},
         {"response[]"},
         "Q"},
        {"tool output without name or content",
         {{"tool", std::nullopt, {}, "c1", {}}, say("user", "Q")},
         {},
         {"toolOutput tool[]"},
         "Q"},
        {"final user with an empty parts list", {parts("user", {})}, {}, {}, ""},
        {"final user with parts", {parts("user", {{"text", "a"}, {"text", "b"}})}, {}, {}, "a\nb"},
    };
    for (const auto& c : cases) {
        std::vector<Transcript::ToolDefinition> definitions;
        for (const auto& name : c.tools) definitions.push_back(tool(name));
        const auto result = TranscriptBuilder::build(c.messages, definitions);
        EXPECT_EQ(summarise(result.transcript), c.entries) << c.name;
        EXPECT_EQ(result.prompt, c.prompt) << c.name;
    }
}

bool isUUID(const std::string& id) {
    if (id.size() != 36) return false;
    for (std::size_t i = 0; i < id.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash != (id[i] == '-')) return false;
    }
    return true;
}

TEST(TranscriptBuilder, GivesFreshIdsExceptWhereTheMessageSuppliesThem) {
    const std::vector<ChatMessage> messages = {
        say("system", "A"),
        say("user", "Q"),
        callsTools(MessageContent{"Checking."}, {wireCall("call_9", "f", "{}")}),
        toolResult("call_9", "f", "done"),
        toolResult(std::nullopt, std::nullopt, "orphan"),
    };
    const auto result = TranscriptBuilder::build(messages, {});
    ASSERT_EQ(result.transcript.entries.size(), 6u);

    std::vector<std::string> fresh;
    const auto segmentIds = [&fresh](const std::vector<Transcript::TextSegment>& segments) {
        for (const auto& segment : segments) fresh.push_back(segment.id);
    };
    const auto& instructions = std::get<Transcript::Instructions>(result.transcript.entries[0]);
    fresh.push_back(instructions.id);
    segmentIds(instructions.segments);
    const auto& prompt = std::get<Transcript::Prompt>(result.transcript.entries[1]);
    fresh.push_back(prompt.id);
    segmentIds(prompt.segments);
    const auto& calls = std::get<Transcript::ToolCalls>(result.transcript.entries[2]);
    fresh.push_back(calls.id);
    EXPECT_EQ(calls.calls.at(0).id, "call_9");
    const auto& response = std::get<Transcript::Response>(result.transcript.entries[3]);
    fresh.push_back(response.id);
    segmentIds(response.segments);
    const auto& output = std::get<Transcript::ToolOutput>(result.transcript.entries[4]);
    EXPECT_EQ(output.id, "call_9");
    segmentIds(output.segments);
    const auto& orphan = std::get<Transcript::ToolOutput>(result.transcript.entries[5]);
    fresh.push_back(orphan.id);
    segmentIds(orphan.segments);

    for (const auto& id : fresh) EXPECT_TRUE(isUUID(id)) << id;
    EXPECT_EQ(std::set<std::string>(fresh.begin(), fresh.end()).size(), fresh.size()) << "ids repeat";
}

TEST(TranscriptBuilder, ReportsTheFirstFaultInStepOrderThenMessageOrder) {
    const std::string system = "system message contains non-text content";
    const std::string user =
        "user message contains unsupported content parts (images are not supported by the on-device model)";
    const std::string role = "unsupported message role: ";
    const struct {
        const char* name;
        std::vector<ChatMessage> messages;
        std::string message;
    } cases[] = {
        {"system without content", {bare("system"), say("user", "Q")}, system},
        {"developer with an image part", {parts("developer", {{"text", "a"}, kImage}), say("user", "Q")}, system},
        {"final user with an image only", {parts("user", {kImage})}, user},
        {"final user without content", {say("system", "A"), bare("user")}, user},
        {"earlier user without content", {bare("user"), say("assistant", "R"), say("user", "Q")}, user},
        {"role compared case-sensitively", {say("System", "A"), say("user", "Q")}, role + "System"},
        {"unknown role at the end", {say("user", "Q"), say("function", "x")}, role + "function"},
        {"bad system after a bad final user", {parts("user", {kImage}), bare("system")}, system},
        {"bad final user before an unknown role", {say("function", "x"), parts("user", {kImage})}, user},
        {"unknown role before a bad earlier user",
         {say("function", "x"), bare("user"), say("assistant", "R")},
         role + "function"},
        {"bad earlier user before an unknown role", {bare("user"), say("function", "x"), say("assistant", "R")}, user},
    };
    for (const auto& c : cases) {
        try {
            TranscriptBuilder::build(c.messages, {});
            ADD_FAILURE() << c.name << ": no error";
        } catch (const BuildError& error) {
            EXPECT_EQ(error.kind, BuildError::Kind::unsupportedContent) << c.name;
            EXPECT_EQ(std::string(error.what()), c.message) << c.name;
        }
    }
    try {
        TranscriptBuilder::build({}, {tool("t")});
        ADD_FAILURE() << "empty list: no error";
    } catch (const BuildError& error) {
        EXPECT_EQ(error.kind, BuildError::Kind::emptyMessages);
        EXPECT_EQ(std::string(error.what()), "messages array is empty");
    }
}

} // namespace
} // namespace brindle
