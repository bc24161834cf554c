#include "BrindleKit/TranscriptBuilder.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>
#include <vector>

namespace brindle {
namespace {

using Content = std::optional<MessageContent>;

ChatMessage message(std::string role, Content content, std::optional<std::vector<ToolCall>> calls = {},
                    std::optional<std::string> id = {}, std::optional<std::string> name = {}) {
    return {std::move(role), std::move(content), std::move(calls), std::move(id), std::move(name)};
}
const auto say = [](std::string role, std::string text) { return message(role, MessageContent{text}); };
const auto parts = [](std::string role, std::vector<ContentPart> list) { return message(role, MessageContent{list}); };
const auto calls = [](Content text, std::vector<ToolCall> wire) { return message("assistant", text, wire); };
const auto call = [](std::string id, std::string arguments) { return ToolCall{id, "function", {"f", arguments}}; };
const ContentPart kImage{"image_url", std::nullopt};

// What the model reads of each entry. A fresh id (a UUID never seen before) shows as nothing, any other as #id.
struct Summary {
    std::string& line;
    std::string id(const std::string& id) const {
        static std::set<std::string> seen;
        static const std::regex uuid("[0-9a-fA-F]{8}(-[0-9a-fA-F]{4}){3}-[0-9a-fA-F]{12}");
        return std::regex_match(id, uuid) && seen.insert(id).second ? "" : "#" + id;
    }
    template <class Entry> void operator()(const Entry& e) const {
        line += id(e.id);
        if constexpr (requires { e.toolName; }) line += " " + e.toolName;
        if constexpr (requires { e.calls; })
            for (const auto& c : e.calls) line += " " + c.id + ":" + c.toolName + c.arguments.jsonString();
        if constexpr (requires { e.segments; })
            for (const auto& segment : e.segments) line += "[" + id(segment.id) + segment.content + "]";
        if constexpr (requires { e.toolDefinitions; })
            for (const auto& definition : e.toolDefinitions) line += " tool:" + definition.name;
    }
};

// The transcript on one line (entries joined by " | "), " => ", the prompt ("..." for the continuation).
std::string build(const std::vector<ChatMessage>& messages, const std::string& tool = "") {
    std::vector<model::Transcript::ToolDefinition> definitions;
    if (!tool.empty()) definitions.push_back({tool, "", {model::DynamicGenerationSchema({}), {}}});
    const auto built = TranscriptBuilder::build(messages, definitions);
    static const char* const kKinds[] = {"instructions", "prompt", "response", "toolCalls", "toolOutput"};
    std::string line;
    for (const auto& entry : built.transcript.entries)
        std::visit(Summary{line += std::string(line.empty() ? "" : " | ") + kKinds[entry.index()]}, entry);
    return line + " => " + (built.prompt == model::kContinuationPrompt ? "..." : built.prompt);
}

TEST(TranscriptBuilder, BuildsInstructionsHistoryAndPrompt) {
    const struct {
        const char* name;
        std::vector<ChatMessage> messages;
        std::string expected;
        std::string tool = "";
    } cases[] = {
        {"one user message", {say("user", "Hi")}, " => Hi"},
        {"a tool definition alone: empty instructions", {say("user", "Hi")}, "instructions[] tool:a => Hi", "a"},
        {"system and developer gathered, joined by a blank line; parts joined by a line feed",
         {parts("system", {{"text", "x"}, {"input_text", "y"}}), say("user", "Q1"), say("assistant", "R1"),
          say("developer", "B"), say("system", ""), say("user", "Q2")},
         "instructions[x\ny\n\nB\n\n] | prompt[Q1] | response[R1] => Q2"},
        {"only system messages", {say("system", "A")}, "instructions[A] tool:t => ...", "t"},
        {"ending with a tool result",
         {say("user", "Q"), calls({}, {call("c1", R"({"city":"Oslo"})")}), message("tool", {{"sun"}}, {}, "c1", "f")},
         R"(prompt[Q] | toolCalls c1:f{"city":"Oslo"} | toolOutput#c1 f[sun] => ...)"},
        {"ends with assistant", {say("user", "Q"), say("assistant", "R")}, "prompt[Q] | response[R] => ..."},
        {"tool calls: a response only after a text; arguments not JSON stay a string",
         {calls({{""}}, {call("c1", "a=1")}), calls({{"Hm."}}, {call("c2", "{}"), call("c3", "[]")}), say("user", "Q")},
         R"(toolCalls c1:f"a=1" | toolCalls c2:f{} c3:f[] | response[Hm.] => Q)"},
        {"messages without text; user parts; a tool without id or name",
         {message("assistant", {}), calls({}, {}), parts("assistant", {kImage}),
          parts("user", {{"text", "a"}, {"text", "b"}}), message("tool", {}), parts("user", {})},
         "response[] | response[] | response[] | prompt[a\nb] | toolOutput tool[] => "},
    };
    for (const auto& c : cases) EXPECT_EQ(build(c.messages, c.tool), c.expected) << c.name;
}

TEST(TranscriptBuilder, ReportsTheFirstFaultInStepOrderThenMessageOrder) {
    const std::string system = "system message contains non-text content", role = "unsupported message role: ";
    const std::string user =
        "user message contains unsupported content parts (images are not supported by the on-device model)";
    const struct {
        const char* name;
        std::vector<ChatMessage> messages;
        std::string message;
    } cases[] = {
        {"empty list", {}, "messages array is empty"},
        {"system without content", {message("system", {}), say("user", "Q")}, system},
        {"developer with an image part", {parts("developer", {{"text", "a"}, kImage}), say("user", "Q")}, system},
        {"role compared case-sensitively", {say("System", "A"), say("user", "Q")}, role + "System"},
        {"bad system after a bad final user", {parts("user", {kImage}), message("system", {})}, system},
        {"bad final user before an unknown role", {say("function", "x"), parts("user", {kImage})}, user},
        {"role before bad earlier user",
         {say("function", "x"), message("user", {}), say("user", "Q")},
         role + "function"},
        {"bad earlier user before role", {message("user", {}), say("function", "x"), say("user", "Q")}, user},
    };
    for (const auto& c : cases) {
        try {
            build(c.messages, "t");
            ADD_FAILURE() << c.name << ": no error";
        } catch (const TranscriptBuilder::BuildError& error) {
            EXPECT_EQ(std::string(error.what()), c.message) << c.name;
        }
    }
}

} // namespace
} // namespace brindle
