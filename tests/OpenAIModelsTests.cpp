#include "BrindleKit/OpenAIModels.h"

#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include <gtest/gtest.h>

namespace brindle {
namespace {

using Kind = JSONCoding::DecodingError::Kind;

ChatCompletionRequest decode(std::string_view body) {
    return JSONCoding::decoder().decode<ChatCompletionRequest>(body);
}
std::string withMessages(std::string_view messages) {
    return R"({"model":"m","messages":)" + std::string(messages) + "}";
}
std::string withKeys(std::string_view keys) { return R"({"model":"m","messages":[])" + std::string(keys) + "}"; }

TEST(ChatCompletionRequest, DecodesEveryFieldAndIgnoresUndeclaredKeys) {
    const ChatCompletionRequest request = decode(R"({"model": "brindle-core", "user": "u-1", "n": 1,
        "messages": [
            {"role": "user", "name": "ann", "content": [{"type": "text", "text": "What?", "cache": {}},
                {"type": "image_url", "text": "a cat", "image_url": {"url": "https://example.invalid/c.png"}}]},
            {"role": "assistant", "content": null, "refusal": null, "tool_calls": [{"id": "call_1", "type": "function",
                "index": 0, "function": {"name": "lookup", "arguments": "{\"q\":1}", "strict": true}}]},
            {"role": "tool", "tool_call_id": "call_1", "content": ""}],
        "stream": true, "temperature": 0.25, "max_tokens": 200, "stream_options": {"include_usage": true, "x": 1},
        "tools": [{"type": "function", "extra": 1, "function": {"name": "lookup", "description": "Finds things.",
                   "parameters": {"type": "object"}}}],
        "tool_choice": {"type": "function", "function": {"name": "lookup"}}})");
    ASSERT_EQ(request.messages.size(), 3u);
    EXPECT_EQ(request.messages[0].name, "ann");
    EXPECT_EQ(request.messages[0].text(), "What?\na cat");
    const ChatMessage& assistant = request.messages[1];
    ASSERT_TRUE(!assistant.content && assistant.toolCalls && assistant.toolCalls->size() == 1);
    const ToolCall& call = assistant.toolCalls->front();
    EXPECT_EQ(call.id + call.type + call.function.name + call.function.arguments, "call_1functionlookup{\"q\":1}");
    EXPECT_EQ(request.messages[2].toolCallId, "call_1");
    EXPECT_TRUE(request.stream == true && request.temperature == 0.25 && request.maxTokens == 200);
    EXPECT_TRUE(request.streamOptions && request.streamOptions->includeUsage == true);
    ASSERT_TRUE(request.tools && request.tools->size() == 1);
    const FunctionSpec& function = request.tools->front().function;
    EXPECT_EQ(function.name + "|" + function.description.value_or("-"), "lookup|Finds things.");
    EXPECT_EQ(function.parameters, JSONValue(JSONValue::Object{{"type", "object"}}));
    EXPECT_TRUE(request.toolChoice);
}

// Missing and null optional keys both leave the field absent; nothing gets a default.
TEST(ChatCompletionRequest, LeavesAbsentWhatIsMissingOrNull) {
    for (const std::string_view keys : {"", R"(,"stream":null,"tools":null,"temperature":null,"tool_choice":null,)"
                                            R"("max_tokens":null,"max_completion_tokens":null,)"
                                            R"("stream_options":null)"}) {
        const ChatCompletionRequest request = decode(withKeys(keys));
        EXPECT_FALSE(request.stream || request.tools || request.toolChoice || request.temperature ||
                     request.maxTokens || request.maxCompletionTokens || request.streamOptions)
            << keys;
    }
    const ChatMessage message = decode(withMessages(
        R"([{"role":"user","content":null,"name":null,"tool_calls":null,"tool_call_id":null}])")).messages.at(0);
    EXPECT_FALSE(message.content || message.name || message.toolCalls || message.toolCallId);
    const auto tools = *decode(withKeys(R"(,"tools":[{"type":"retrieval","function":{"name":"b",)"
                                        R"("description":null,"parameters":null}}])")).tools;
    EXPECT_FALSE(tools.at(0).function.parameters || tools.at(0).function.description);
}

// The first fault in key order (depth first) is reported, whatever the order of the text.
TEST(ChatCompletionRequest, ReportsTheFirstFaultWithItsKindAndPath) {
    const struct {
        std::string body;
        Kind kind;
        std::string_view path;
    } cases[] = {
        {R"({"messages":[]})", Kind::keyNotFound, ""},
        {R"({"model":null,"messages":[]})", Kind::valueNotFound, "model"},
        {withMessages(R"([{"role":"user"},{"content":"hi"}])"), Kind::keyNotFound, "messages[1]"},
        {withMessages(R"([{"role":"user","content":42}])"), Kind::typeMismatch, "messages[0].content"},
        {withMessages(R"([{"role":"user","content":[{"type":"text"},{"text":"a"}]}])"), Kind::keyNotFound,
         "messages[0].content[1]"},
        {withMessages(R"([{"role":"assistant","tool_calls":[{"id":"c","function":{"name":"f","arguments":""}}]}])"),
         Kind::keyNotFound, "messages[0].tool_calls[0]"},
        {withMessages(R"([{"role":"a","tool_calls":[{"id":"c","type":"f","function":{"name":"f","arguments":{}}}]}])"),
         Kind::typeMismatch, "messages[0].tool_calls[0].function.arguments"},
        {withKeys(R"(,"tools":[{"type":"function","function":{}}])"), Kind::keyNotFound, "tools[0].function"},
        {withKeys(R"(,"max_tokens":1.5)"), Kind::typeMismatch, "max_tokens"},
        {withKeys(R"(,"max_tokens":9223372036854775808)"), Kind::typeMismatch, "max_tokens"},
        {R"({"tools":7,"stream":"yes","model":"m","messages":[]})", Kind::typeMismatch, "stream"},
        {R"({"max_tokens":0.5,"temperature":"x","model":"m","messages":[]})", Kind::typeMismatch, "temperature"},
        {R"({"model":"m","messages":[{"role":"user","content":[{"text":"a"}]}],"stream":0})", Kind::keyNotFound,
         "messages[0].content[0]"},
        {withKeys(",") + "}", Kind::dataCorrupted, ""},
        {R"({"model":"m","messages":null})", Kind::valueNotFound, "messages"},
        {withKeys(R"(,"temperature":1e999)"), Kind::dataCorrupted, "temperature"},
        {withKeys(R"(,"max_tokens":-)" + std::string(400, '9')), Kind::dataCorrupted, "max_tokens"},
        {withKeys(R"(,"tools":[{"type":"function","function":{"name":"f","parameters":{"maximum":[2e400]}}}])"),
         Kind::dataCorrupted, "tools[0].function.parameters"},
        {withKeys(R"(,"temperature":1e999,"max_tokens":01)"), Kind::dataCorrupted, ""}, // 01 is not JSON
        {"{\"model\":\"\xff\",\"messages\":[]}", Kind::dataCorrupted, ""},
    };
    for (const auto& c : cases) {
        try {
            decode(c.body);
            ADD_FAILURE() << "decoded: " << c.body;
        } catch (const JSONCoding::DecodingError& error) {
            EXPECT_EQ(static_cast<int>(error.kind), static_cast<int>(c.kind)) << c.body << ": " << error.what();
            EXPECT_EQ(error.path, c.path) << c.body << ": " << error.what();
        }
    }
}

// Every number a finite double holds decodes, whatever its spelling; only one beyond a double's range fails,
// at its own position and only when a declared field holds it.
TEST(ChatCompletionRequest, DecodesEveryNumberADoubleHolds) {
    const struct {
        std::string keys;
        double temperature;
    } cases[] = {
        {R"(,"temperature":18446744073709551616)", 18446744073709551616.0},
        {R"(,"temperature":-9223372036854775809)", -9223372036854775808.0},
        {R"(,"temperature":1)" + std::string(308, '0'), 1e308},
        {R"(,"temperature":1e00000000000000000000000001)", 10.0},
        {R"(,"temperature":0.)" + std::string(30, '0') + "125e31", 1.25},
        {R"(,"temperature":1e-400,"seed":1e999,"x":[18446744073709551616])", 0.0},
        {R"(,"temperature":-1.7976931348623157e308)", -1.7976931348623157e308},
        // The largest unsigned 64-bit integer, beside a number that makes the decoder respell the body.
        {R"(,"temperature":18446744073709551615,"x":1e999)", 18446744073709551615.0},
    };
    for (const auto& c : cases) {
        const ChatCompletionRequest request = decode(withKeys(c.keys));
        EXPECT_EQ(request.temperature, c.temperature) << c.keys;
    }
    const auto tools = decode(withKeys(R"(,"tools":[{"type":"function","function":{"name":"f","parameters":)"
                                       R"({"maximum":100000000000000000000000,"minimum":-1e-999}}}])")).tools;
    EXPECT_EQ(tools->at(0).function.parameters,
              JSONValue(JSONValue::Object{{"maximum", 1e23}, {"minimum", 0.0}}));
}

TEST(ChatCompletionRequest, EffectiveMaxTokensPrefersMaxCompletionTokens) {
    const struct {
        std::string_view keys;
        std::optional<std::int64_t> expected;
    } cases[] = {
        {R"(,"max_completion_tokens":50,"max_tokens":200)", 50}, {R"(,"max_completion_tokens":0,"max_tokens":200)", 0},
        {R"(,"max_tokens":200)", 200}, {R"(,"max_completion_tokens":null,"max_tokens":7)", 7}, {"", std::nullopt},
        // Integral numbers in any spelling are integers, up to the limits of 64 bits.
        {R"(,"max_tokens":3e0)", 3}, {R"(,"max_tokens":30e-1)", 3},
        {R"(,"max_tokens":9007199254740993)", 9007199254740993},
        {R"(,"max_tokens":-9223372036854775808)", std::numeric_limits<std::int64_t>::min()},
    };
    for (const auto& c : cases) EXPECT_EQ(decode(withKeys(c.keys)).effectiveMaxTokens(), c.expected) << c.keys;
}

TEST(ChatMessage, TextJoinsPartsOnlyWhenEveryPartHasText) {
    const struct {
        std::string_view content;
        std::optional<std::string> expected;
    } cases[] = {
        {R"("")", ""}, {"null", std::nullopt}, {"[]", ""},
        {R"([{"type":"text","text":"a"},{"type":"text","text":""},{"type":"image_url","text":"b"}])", "a\n\nb"},
        {R"([{"type":"text","text":"a"},{"type":"image_url","image_url":{"url":"u"}}])", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(decode(withMessages(R"([{"role":"user","content":)" + std::string(c.content) + "}]"))
                      .messages.at(0).text(), c.expected) << c.content;
}

// Whole answers are compared byte for byte in the engine's tests; these are the shapes it never produces.
TEST(ResponseRecords, LeaveOutOnlyAbsentMembers) {
    EXPECT_EQ(JSONCoding::encodeString(ResponseMessage{}), R"({"role":"assistant"})");
    EXPECT_EQ(JSONCoding::encodeString(ResponseMessage{.content = "", .toolCalls = std::vector<ToolCall>{}}),
              R"({"role":"assistant","content":"","tool_calls":[]})");
}

} // namespace
} // namespace brindle
