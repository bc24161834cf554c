#include "BrindleKit/OpenAIModels.h"

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

namespace brindle {
namespace {

using JSONCoding::DecodingError;
using Kind = DecodingError::Kind;

ChatCompletionRequest decodeRequest(std::string_view body) {
    return JSONCoding::decoder().decode<ChatCompletionRequest>(body);
}

std::optional<DecodingError> decodeFailure(std::string_view body) {
    try {
        decodeRequest(body);
    } catch (const DecodingError& error) {
        return error;
    }
    ADD_FAILURE() << "decoded without error: " << body;
    return std::nullopt;
}

const char* kindName(Kind kind) {
    switch (kind) {
    case Kind::keyNotFound: return "keyNotFound";
    case Kind::valueNotFound: return "valueNotFound";
    case Kind::typeMismatch: return "typeMismatch";
    case Kind::dataCorrupted: return "dataCorrupted";
    }
    return "?";
}

// A body around one message, for the cases that vary only the message.
std::string withMessages(std::string_view messages) {
    return R"({"model":"m","messages":)" + std::string(messages) + "}";
}

TEST(ChatCompletionRequest, DecodesEveryFieldAndIgnoresUndeclaredKeys) {
    const ChatCompletionRequest request = decodeRequest(R"({
        "model": "brindle-core", "user": "u-1", "n": 1, "logprobs": true,
        "messages": [
            {"role": "system", "content": "Be brief.", "ignored": [1, 2]},
            {"role": "user", "name": "ann", "content": [
                {"type": "text", "text": "What is\nthis?", "cache": {}},
                {"type": "image_url", "text": "a cat", "image_url": {"url": "https://example.invalid/c.png"}}]},
            {"role": "assistant", "content": null, "refusal": null, "tool_calls": [
                {"id": "call_1", "type": "function", "index": 0,
                 "function": {"name": "lookup", "arguments": "{\"q\":\"caf\u00e9\"}", "strict": true}}]},
            {"role": "tool", "tool_call_id": "call_1", "content": ""}
        ],
        "stream": true,
        "tools": [{"type": "function", "extra": 1, "function": {"name": "lookup", "description": "Finds things.",
                   "strict": false, "parameters": {"type": "object", "properties": {"q": {"type": "string"}}}}}],
        "temperature": 0.25,
        "tool_choice": {"type": "function", "function": {"name": "lookup"}},
        "max_tokens": 200,
        "max_completion_tokens": 50,
        "stream_options": {"include_usage": true, "other": "x"}
    })");

    EXPECT_EQ(request.model, "brindle-core");
    ASSERT_EQ(request.messages.size(), 4u);
    const ChatMessage& system = request.messages[0];
    EXPECT_EQ(system.role, "system");
    EXPECT_EQ(system.text(), "Be brief.");
    EXPECT_FALSE(system.name || system.toolCalls || system.toolCallId);

    const ChatMessage& user = request.messages[1];
    EXPECT_EQ(user.name, "ann");
    ASSERT_TRUE(user.content);
    const auto& parts = std::get<std::vector<ContentPart>>(user.content->storage);
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[0].type, "text");
    EXPECT_EQ(parts[1].type, "image_url");
    EXPECT_EQ(user.text(), "What is\nthis?\na cat");

    const ChatMessage& assistant = request.messages[2];
    EXPECT_FALSE(assistant.content);
    ASSERT_TRUE(assistant.toolCalls);
    ASSERT_EQ(assistant.toolCalls->size(), 1u);
    EXPECT_EQ((*assistant.toolCalls)[0].id, "call_1");
    EXPECT_EQ((*assistant.toolCalls)[0].type, "function");
    EXPECT_EQ((*assistant.toolCalls)[0].function.name, "lookup");
    EXPECT_EQ((*assistant.toolCalls)[0].function.arguments, "{\"q\":\"caf\u00e9\"}");

    EXPECT_EQ(request.messages[3].toolCallId, "call_1");
    EXPECT_EQ(request.messages[3].text(), "");

    EXPECT_EQ(request.stream, true);
    ASSERT_TRUE(request.tools);
    ASSERT_EQ(request.tools->size(), 1u);
    const ToolSpec& tool = (*request.tools)[0];
    EXPECT_EQ(tool.type, "function");
    EXPECT_EQ(tool.function.name, "lookup");
    EXPECT_EQ(tool.function.description, "Finds things.");
    EXPECT_EQ(
        tool.function.parameters,
        JSONValue(JSONValue::Object{{"type", "object"},
                                    {"properties", JSONValue::Object{{"q", JSONValue::Object{{"type", "string"}}}}}}));
    EXPECT_EQ(request.temperature, 0.25);
    EXPECT_EQ(request.toolChoice,
              JSONValue(JSONValue::Object{{"type", "function"}, {"function", JSONValue::Object{{"name", "lookup"}}}}));
    EXPECT_EQ(request.maxTokens, 200);
    EXPECT_EQ(request.maxCompletionTokens, 50);
    EXPECT_EQ(request.effectiveMaxTokens(), 50);
    ASSERT_TRUE(request.streamOptions);
    EXPECT_EQ(request.streamOptions->includeUsage, true);
}

TEST(ChatCompletionRequest, LeavesEverythingButModelAndMessagesAbsent) {
    const struct {
        std::string_view label, body;
    } cases[] = {
        {"keys missing", R"({"model":"m","messages":[]})"},
        {"keys null", R"({"model":"m","messages":[],"stream":null,"tools":null,"temperature":null,
            "tool_choice":null,"max_tokens":null,"max_completion_tokens":null,"stream_options":null})"},
    };
    for (const auto& c : cases) {
        const ChatCompletionRequest request = decodeRequest(c.body);
        EXPECT_EQ(request.model, "m") << c.label;
        EXPECT_TRUE(request.messages.empty()) << c.label;
        EXPECT_FALSE(request.stream || request.tools || request.toolChoice || request.temperature ||
                     request.maxTokens || request.maxCompletionTokens || request.streamOptions)
            << c.label;
        EXPECT_FALSE(request.effectiveMaxTokens()) << c.label;
    }

    const ChatCompletionRequest nulls = decodeRequest(withMessages(R"([{"role":"user","content":null,"name":null,
        "tool_calls":null,"tool_call_id":null}])"));
    const ChatMessage& message = nulls.messages.at(0);
    EXPECT_FALSE(message.content || message.name || message.toolCalls || message.toolCallId);
    EXPECT_FALSE(message.text());

    const ChatCompletionRequest tools = decodeRequest(R"({"model":"m","messages":[],"stream_options":{},"tools":[
        {"type":"function","function":{"name":"a"}},
        {"type":"retrieval","function":{"name":"b","description":null,"parameters":null}}]})");
    ASSERT_EQ(tools.tools->size(), 2u);
    for (const ToolSpec& tool : *tools.tools) EXPECT_FALSE(tool.function.parameters || tool.function.description);
    EXPECT_EQ((*tools.tools)[1].type, "retrieval");
    EXPECT_FALSE(tools.streamOptions->includeUsage);
}

TEST(ChatCompletionRequest, AcceptsAnyJSONAsToolChoice) {
    const struct {
        std::string_view json;
        JSONValue expected;
    } cases[] = {
        {R"("auto")", JSONValue("auto")},
        {R"({"type":"function","function":{"name":"f"}})",
         JSONValue(JSONValue::Object{{"type", "function"}, {"function", JSONValue::Object{{"name", "f"}}}})},
        {"3", JSONValue(3.0)},
        {"false", JSONValue(false)},
        {R"([null,[]])", JSONValue(JSONValue::Array{nullptr, JSONValue::Array{}})},
    };
    for (const auto& c : cases) {
        const auto request = decodeRequest(R"({"model":"m","messages":[],"tool_choice":)" + std::string(c.json) + "}");
        EXPECT_EQ(request.toolChoice, c.expected) << c.json;
    }
}

TEST(ChatCompletionRequest, ReportsTheFirstFaultInKeyOrderWithItsKindAndPath) {
    const struct {
        std::string_view label;
        std::string body;
        Kind kind;
        std::string_view path;
    } cases[] = {
        {"model missing", R"({"messages":[]})", Kind::keyNotFound, ""},
        {"model null", R"({"model":null,"messages":[]})", Kind::valueNotFound, "model"},
        {"model a number", R"({"model":7,"messages":[]})", Kind::typeMismatch, "model"},
        {"messages missing", R"({"model":"m"})", Kind::keyNotFound, ""},
        {"messages an object", R"({"model":"m","messages":{}})", Kind::typeMismatch, "messages"},
        {"body an array", "[]", Kind::typeMismatch, ""},
        {"body null", "null", Kind::valueNotFound, ""},
        {"stream a string", R"({"model":"m","messages":[],"stream":"yes"})", Kind::typeMismatch, "stream"},
        {"stream a number", R"({"model":"m","messages":[],"stream":1})", Kind::typeMismatch, "stream"},
        {"role missing", withMessages(R"([{"role":"user"},{"content":"hi"}])"), Kind::keyNotFound, "messages[1]"},
        {"message not an object", withMessages(R"([{"role":"user"},"hi"])"), Kind::typeMismatch, "messages[1]"},
        {"content a number", withMessages(R"([{"role":"user","content":42}])"), Kind::typeMismatch,
         "messages[0].content"},
        {"content an object", withMessages(R"([{"role":"user","content":{"type":"text","text":"a"}}])"),
         Kind::typeMismatch, "messages[0].content"},
        {"part without type", withMessages(R"([{"role":"user","content":[{"type":"text"},{"text":"a"}]}])"),
         Kind::keyNotFound, "messages[0].content[1]"},
        {"part a string", withMessages(R"([{"role":"user","content":["a"]}])"), Kind::typeMismatch,
         "messages[0].content[0]"},
        {"part text a number", withMessages(R"([{"role":"user","content":[{"type":"text","text":1}]}])"),
         Kind::typeMismatch, "messages[0].content[0].text"},
        {"tool call without type",
         withMessages(R"([{"role":"assistant","tool_calls":[{"id":"c","function":{"name":"f","arguments":"{}"}}]}])"),
         Kind::keyNotFound, "messages[0].tool_calls[0]"},
        {"arguments an object", withMessages(R"([{"role":"assistant","tool_calls":[{"id":"c","type":"function",
            "function":{"name":"f","arguments":{"q":1}}}]}])"),
         Kind::typeMismatch, "messages[0].tool_calls[0].function.arguments"},
        {"tool without function", R"({"model":"m","messages":[],"tools":[{"type":"function"}]})", Kind::keyNotFound,
         "tools[0]"},
        {"function without name", R"({"model":"m","messages":[],"tools":[{"type":"function","function":{}}]})",
         Kind::keyNotFound, "tools[0].function"},
        {"temperature a string", R"({"model":"m","messages":[],"temperature":"hot"})", Kind::typeMismatch,
         "temperature"},
        {"max_tokens 1.5", R"({"model":"m","messages":[],"max_tokens":1.5})", Kind::typeMismatch, "max_tokens"},
        {"max_tokens 1e30", R"({"model":"m","messages":[],"max_tokens":1e30})", Kind::typeMismatch, "max_tokens"},
        {"max_tokens 2^63", R"({"model":"m","messages":[],"max_tokens":9223372036854775808})", Kind::typeMismatch,
         "max_tokens"},
        {"max_completion_tokens a string", R"({"model":"m","messages":[],"max_completion_tokens":"50"})",
         Kind::typeMismatch, "max_completion_tokens"},
        {"include_usage a number", R"({"model":"m","messages":[],"stream_options":{"include_usage":1}})",
         Kind::typeMismatch, "stream_options.include_usage"},
        {"stream_options a string", R"({"model":"m","messages":[],"stream_options":"yes"})", Kind::typeMismatch,
         "stream_options"},
        // Two faults: key order decides, not the order in the text.
        {"model before messages", R"({"messages":[{"content":1}]})", Kind::keyNotFound, ""},
        {"stream before tools", R"({"tools":7,"stream":"yes","model":"m","messages":[]})", Kind::typeMismatch,
         "stream"},
        {"temperature before max_tokens", R"({"max_tokens":0.5,"temperature":"x","model":"m","messages":[]})",
         Kind::typeMismatch, "temperature"},
        {"max_tokens before max_completion_tokens",
         R"({"max_completion_tokens":0.5,"max_tokens":"x","model":"m","messages":[]})", Kind::typeMismatch,
         "max_tokens"},
        {"name before tool_calls", withMessages(R"([{"tool_call_id":1,"tool_calls":2,"name":3,"role":"user"}])"),
         Kind::typeMismatch, "messages[0].name"},
        {"earlier message first", withMessages(R"([{"role":"user"},{"role":1},{"role":2}])"), Kind::typeMismatch,
         "messages[1].role"},
        {"depth first", R"({"model":"m","messages":[{"role":"user","content":[{"text":"a"}]}],"stream":0})",
         Kind::keyNotFound, "messages[0].content[0]"},
    };
    for (const auto& c : cases) {
        const auto error = decodeFailure(c.body);
        if (!error) continue;
        EXPECT_EQ(kindName(error->kind), std::string_view(kindName(c.kind))) << c.label << ": " << error->what();
        EXPECT_EQ(error->path, c.path) << c.label << ": " << error->what();
        if (!c.path.empty()) {
            EXPECT_NE(std::string_view(error->what()).find(c.path), std::string_view::npos)
                << c.label << ": " << error->what();
        }
    }
    const auto missingModel = decodeFailure(R"({"messages":[]})");
    ASSERT_TRUE(missingModel);
    EXPECT_NE(std::string_view(missingModel->what()).find("\"model\""), std::string_view::npos) << missingModel->what();
}

TEST(ChatCompletionRequest, AcceptsIntegralNumbersForIntegerFields) {
    const struct {
        std::string_view json;
        std::int64_t expected;
    } cases[] = {
        {"3.0", 3},
        {"3e0", 3},
        {"30e-1", 3},
        {"-0.0", 0},
        {"-5", -5},
        {"9223372036854775807", std::numeric_limits<std::int64_t>::max()},
        {"-9223372036854775808", std::numeric_limits<std::int64_t>::min()},
        {"9007199254740993", 9007199254740993},
    };
    for (const auto& c : cases) {
        const auto request = decodeRequest(R"({"model":"m","messages":[],"max_tokens":)" + std::string(c.json) + "}");
        EXPECT_EQ(request.maxTokens, c.expected) << c.json;
    }
}

TEST(ChatCompletionRequest, EffectiveMaxTokensPrefersMaxCompletionTokens) {
    const struct {
        std::string_view keys;
        std::optional<std::int64_t> expected;
    } cases[] = {
        {R"("max_completion_tokens":50,"max_tokens":200)", 50},
        {R"("max_completion_tokens":500,"max_tokens":2)", 500},
        {R"("max_completion_tokens":0,"max_tokens":200)", 0},
        {R"("max_tokens":200)", 200},
        {R"("max_completion_tokens":-1)", -1},
        {R"("max_completion_tokens":null,"max_tokens":7)", 7},
        {R"("max_tokens":null)", std::nullopt},
    };
    for (const auto& c : cases) {
        const auto request = decodeRequest(R"({"model":"m","messages":[],)" + std::string(c.keys) + "}");
        EXPECT_EQ(request.effectiveMaxTokens(), c.expected) << c.keys;
    }
}

TEST(ChatMessage, TextJoinsPartsOnlyWhenEveryPartHasText) {
    const struct {
        std::string_view label, content;
        std::optional<std::string> expected;
    } cases[] = {
        {"string", R"("hi there")", "hi there"},
        {"empty string", R"("")", ""},
        {"no content", "null", std::nullopt},
        {"two text parts", R"([{"type":"text","text":"a"},{"type":"text","text":"b"}])", "a\nb"},
        {"empty parts", "[]", ""},
        {"empty texts", R"([{"type":"text","text":""},{"type":"text","text":""}])", "\n"},
        {"any type with text", R"([{"type":"image_url","text":"x"}])", "x"},
        {"a part without text", R"([{"type":"text","text":"a"},{"type":"image_url","image_url":{"url":"u"}}])",
         std::nullopt},
        {"a part with null text", R"([{"type":"text","text":null}])", std::nullopt},
    };
    for (const auto& c : cases) {
        const auto request =
            decodeRequest(withMessages(R"([{"role":"user","content":)" + std::string(c.content) + "}]"));
        EXPECT_EQ(request.messages.at(0).text(), c.expected) << c.label;
    }
}

TEST(ChatCompletionRequest, RejectsBodiesThatAreNotJSONAsDataCorrupted) {
    const std::string_view bodies[] = {
        "",
        " ",
        R"({"model":"m","messages":[])",
        R"({"model":"m","messages":[],})",
        R"({"model":"m","messages":[]} {})",
        "{\"model\":\"\xff\",\"messages\":[]}",
        "model=m&messages=",
    };
    for (const std::string_view body : bodies) {
        const auto error = decodeFailure(body);
        if (!error) continue;
        EXPECT_EQ(kindName(error->kind), std::string_view("dataCorrupted")) << body;
        EXPECT_EQ(error->path, "") << body;
    }
}

// Bodies larger than the parser's first buffers, and a small one after a large one on the same thread.
TEST(ChatCompletionRequest, DecodesLargeBodies) {
    for (const std::size_t length : {300u, 70'000u, 3'000'000u, 100u}) {
        const std::string content(length, 'x');
        const auto request = decodeRequest(withMessages(R"([{"role":"user","content":")" + content + "\"}]"));
        EXPECT_EQ(request.messages.at(0).text(), content) << length;
    }
}

ChatCompletionResponse response(ResponseMessage message, std::string finishReason, Usage usage) {
    ChatCompletionResponse built;
    built.id = "chatcmpl-1";
    built.created = 1700000000;
    built.model = "brindle-core";
    Choice choice;
    choice.message = std::move(message);
    choice.finishReason = std::move(finishReason);
    built.choices.push_back(std::move(choice));
    built.usage = usage;
    return built;
}

ResponseMessage answer(std::optional<std::string> content, std::optional<std::vector<ToolCall>> toolCalls) {
    ResponseMessage message;
    message.content = std::move(content);
    message.toolCalls = std::move(toolCalls);
    return message;
}

TEST(ResponseRecords, WriteTheirExactJSON) {
    const std::string head =
        R"({"id":"chatcmpl-1","object":"chat.completion","created":1700000000,"model":"brindle-core",)";
    const ToolCall call{"call_9", "function", {"lookup", R"({"q":"a/b","n":[1]})"}};
    const struct {
        std::string_view label;
        std::string written, expected;
    } cases[] = {
        {"plain answer",
         JSONCoding::encodeString(response(answer("Hello \"you\"\n/\u00e9", std::nullopt), "stop", Usage(12, 2))),
         head + R"("choices":[{"index":0,"message":{"role":"assistant","content":"Hello \"you\"\n/)"
                "\u00e9\"},\"finish_reason\":\"stop\"}],"
                R"("usage":{"prompt_tokens":12,"completion_tokens":2,"total_tokens":14}})"},
        {"tool-call answer",
         JSONCoding::encodeString(
             response(answer(std::nullopt, std::vector<ToolCall>{call}), "tool_calls", Usage(5, 4))),
         head + R"("choices":[{"index":0,"message":{"role":"assistant","tool_calls":[{"id":"call_9","type":"function",)"
                R"("function":{"name":"lookup","arguments":"{\"q\":\"a/b\",\"n\":[1]}"}}]},)"
                R"("finish_reason":"tool_calls"}],)"
                R"("usage":{"prompt_tokens":5,"completion_tokens":4,"total_tokens":9}})"},
        {"empty content, zero usage", JSONCoding::encodeString(response(answer("", std::nullopt), "stop", Usage(0, 0))),
         head + R"("choices":[{"index":0,"message":{"role":"assistant","content":""},"finish_reason":"stop"}],)"
                R"("usage":{"prompt_tokens":0,"completion_tokens":0,"total_tokens":0}})"},
        {"empty tool calls", JSONCoding::encodeString(answer(std::nullopt, std::vector<ToolCall>{})),
         R"({"role":"assistant","tool_calls":[]})"},
        {"neither content nor tool calls", JSONCoding::encodeString(answer(std::nullopt, std::nullopt)),
         R"({"role":"assistant"})"},
        {"error without code", JSONCoding::encodeString(ErrorBody("bad \"x\"", "invalid_request_error")),
         R"({"error":{"message":"bad \"x\"","type":"invalid_request_error"}})"},
        {"error with code",
         JSONCoding::encodeString(ErrorBody("unavailable", "service_unavailable", "model_not_ready")),
         R"({"error":{"message":"unavailable","type":"service_unavailable","code":"model_not_ready"}})"},
        {"usage total", JSONCoding::encodeString(Usage(12, 2)),
         R"({"prompt_tokens":12,"completion_tokens":2,"total_tokens":14})"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.written, c.expected) << c.label;
}

} // namespace
} // namespace brindle
