#include "BrindleKit/OpenAIModels.h"

#include "BrindleBase/JSONDecoding.h"

namespace brindle {

using JSONCoding::KeyedContainer;
using JSONCoding::Node;

// Fields are read into locals in key order, which is not always declaration order: the first fault met in
// key order is the one reported.

StreamOptions StreamOptions::decode(const Node& node) {
    const KeyedContainer container(node);
    return {container.optional<bool>("include_usage")};
}

ContentPart ContentPart::decode(const Node& node) {
    const KeyedContainer container(node);
    auto type = container.required<std::string>("type");
    auto text = container.optional<std::string>("text");
    return {std::move(type), std::move(text)};
}

void ContentPart::encode(JSONWriter& writer) const {
    writer.beginObject();
    writer.field("type", type);
    writer.field("text", text);
    writer.endObject();
}

// A string, else a list of parts; anything else reports the list's fault.
MessageContent MessageContent::decode(const Node& node) {
    std::string_view text;
    if (node.element().get_string().get(text) == simdjson::SUCCESS) return {std::string(text)};
    return {JSONCoding::decodeValue<std::vector<ContentPart>>(node)};
}

void MessageContent::encode(JSONWriter& writer) const {
    std::visit([&writer](const auto& payload) { writer.value(payload); }, storage);
}

FunctionCall FunctionCall::decode(const Node& node) {
    const KeyedContainer container(node);
    auto name = container.required<std::string>("name");
    auto arguments = container.required<std::string>("arguments");
    return {std::move(name), std::move(arguments)};
}

void FunctionCall::encode(JSONWriter& writer) const {
    writer.beginObject();
    writer.field("name", name);
    writer.field("arguments", arguments);
    writer.endObject();
}

ToolCall ToolCall::decode(const Node& node) {
    const KeyedContainer container(node);
    auto id = container.required<std::string>("id");
    auto type = container.required<std::string>("type");
    auto function = container.required<FunctionCall>("function");
    return {std::move(id), std::move(type), std::move(function)};
}

void ToolCall::encode(JSONWriter& writer) const {
    writer.beginObject();
    writer.field("id", id);
    writer.field("type", type);
    writer.field("function", function);
    writer.endObject();
}

std::optional<std::string> ChatMessage::text() const {
    if (!content) return std::nullopt;
    if (const auto* plain = std::get_if<std::string>(&content->storage)) return *plain;
    std::string joined;
    bool first = true;
    for (const ContentPart& part : std::get<std::vector<ContentPart>>(content->storage)) {
        if (!part.text) return std::nullopt;
        if (!first) joined += '\n';
        joined += *part.text;
        first = false;
    }
    return joined;
}

ChatMessage ChatMessage::decode(const Node& node) {
    const KeyedContainer container(node);
    auto role = container.required<std::string>("role");
    auto content = container.optional<MessageContent>("content");
    auto name = container.optional<std::string>("name");
    auto toolCalls = container.optional<std::vector<ToolCall>>("tool_calls");
    auto toolCallId = container.optional<std::string>("tool_call_id");
    return {std::move(role), std::move(content), std::move(toolCalls), std::move(toolCallId), std::move(name)};
}

void ChatMessage::encode(JSONWriter& writer) const {
    writer.beginObject();
    writer.field("role", role);
    writer.field("content", content);
    writer.field("name", name);
    writer.field("tool_calls", toolCalls);
    writer.field("tool_call_id", toolCallId);
    writer.endObject();
}

FunctionSpec FunctionSpec::decode(const Node& node) {
    const KeyedContainer container(node);
    auto name = container.required<std::string>("name");
    auto description = container.optional<std::string>("description");
    auto parameters = container.optional<JSONValue>("parameters");
    return {std::move(name), std::move(description), std::move(parameters)};
}

ToolSpec ToolSpec::decode(const Node& node) {
    const KeyedContainer container(node);
    auto type = container.required<std::string>("type");
    auto function = container.required<FunctionSpec>("function");
    return {std::move(type), std::move(function)};
}

JSONSchemaFormat JSONSchemaFormat::decode(const Node& node) {
    const KeyedContainer container(node);
    auto name = container.required<std::string>("name");
    auto description = container.optional<std::string>("description");
    auto schema = container.optional<JSONValue>("schema");
    auto strict = container.optional<bool>("strict");
    return {std::move(name), std::move(description), std::move(schema), strict};
}

ResponseFormat ResponseFormat::decode(const Node& node) {
    const KeyedContainer container(node);
    auto type = container.required<std::string>("type");
    auto jsonSchema = container.optional<JSONSchemaFormat>("json_schema");
    return {std::move(type), std::move(jsonSchema)};
}

// A string, else a list of strings; anything else reports the list's fault.
StopSequences StopSequences::decode(const Node& node) {
    std::string_view text;
    if (node.element().get_string().get(text) == simdjson::SUCCESS) return {{std::string(text)}};
    return {JSONCoding::decodeValue<std::vector<std::string>>(node)};
}

ChatCompletionRequest ChatCompletionRequest::decode(const Node& node) {
    const KeyedContainer container(node);
    auto model = container.required<std::string>("model");
    auto messages = container.required<std::vector<ChatMessage>>("messages");
    auto stream = container.optional<bool>("stream");
    auto tools = container.optional<std::vector<ToolSpec>>("tools");
    auto temperature = container.optional<double>("temperature");
    auto toolChoice = container.optional<JSONValue>("tool_choice");
    auto maxTokens = container.optional<std::int64_t>("max_tokens");
    auto maxCompletionTokens = container.optional<std::int64_t>("max_completion_tokens");
    auto streamOptions = container.optional<StreamOptions>("stream_options");
    auto responseFormat = container.optional<ResponseFormat>("response_format");
    auto stop = container.optional<StopSequences>("stop");
    return {std::move(model),
            std::move(messages),
            stream,
            std::move(tools),
            std::move(toolChoice),
            temperature,
            maxTokens,
            maxCompletionTokens,
            streamOptions,
            std::move(responseFormat),
            std::move(stop)};
}

// ---- Response records ----

void Usage::encode(JSONWriter& writer) const {
    writer.beginObject();
    writer.field("prompt_tokens", promptTokens);
    writer.field("completion_tokens", completionTokens);
    writer.field("total_tokens", totalTokens);
    writer.endObject();
}

void ResponseMessage::encode(JSONWriter& writer) const {
    writer.beginObject();
    writer.field("role", role);
    writer.field("content", content);
    writer.field("tool_calls", toolCalls);
    writer.endObject();
}

void Choice::encode(JSONWriter& writer) const {
    writer.beginObject();
    writer.field("index", index);
    writer.field("message", message);
    writer.field("finish_reason", finishReason);
    writer.endObject();
}

void ChatCompletionResponse::encode(JSONWriter& writer) const {
    writer.beginObject();
    writer.field("id", id);
    writer.field("object", object);
    writer.field("created", created);
    writer.field("model", model);
    writer.field("choices", choices);
    writer.field("usage", usage);
    writer.endObject();
}

void ErrorBody::Detail::encode(JSONWriter& writer) const {
    writer.beginObject();
    writer.field("message", message);
    writer.field("type", type);
    writer.field("code", code);
    writer.endObject();
}

void ErrorBody::encode(JSONWriter& writer) const {
    writer.beginObject();
    writer.field("error", error);
    writer.endObject();
}

} // namespace brindle
