#include "BrindleKit/OpenAIModels.h"

#include "BrindleBase/JSONDecoding.h"

#include <algorithm>

namespace brindle {

using JSONCoding::Cursor;
using JSONCoding::decodeRecord;
using JSONCoding::field;
using JSONCoding::Node;

// Each record's fields in key order, which is not always declaration order: the first fault met in key order
// is the one reported.

namespace {

const auto kStreamOptionsFields = std::tuple{field("include_usage", &StreamOptions::includeUsage)};
const auto kContentPartFields = std::tuple{field("type", &ContentPart::type), field("text", &ContentPart::text)};
const auto kFunctionCallFields =
    std::tuple{field("name", &FunctionCall::name), field("arguments", &FunctionCall::arguments)};
const auto kToolCallFields =
    std::tuple{field("id", &ToolCall::id), field("type", &ToolCall::type), field("function", &ToolCall::function)};
const auto kChatMessageFields = std::tuple{
    field("role", &ChatMessage::role), field("content", &ChatMessage::content), field("name", &ChatMessage::name),
    field("tool_calls", &ChatMessage::toolCalls), field("tool_call_id", &ChatMessage::toolCallId)};
const auto kFunctionSpecFields =
    std::tuple{field("name", &FunctionSpec::name), field("description", &FunctionSpec::description),
               field("parameters", &FunctionSpec::parameters)};
const auto kToolSpecFields = std::tuple{field("type", &ToolSpec::type), field("function", &ToolSpec::function)};
const auto kJSONSchemaFormatFields =
    std::tuple{field("name", &JSONSchemaFormat::name), field("description", &JSONSchemaFormat::description),
               field("schema", &JSONSchemaFormat::schema), field("strict", &JSONSchemaFormat::strict)};
const auto kResponseFormatFields =
    std::tuple{field("type", &ResponseFormat::type), field("json_schema", &ResponseFormat::jsonSchema)};
const auto kRequestFields = std::tuple{field("model", &ChatCompletionRequest::model),
                                       field("messages", &ChatCompletionRequest::messages),
                                       field("stream", &ChatCompletionRequest::stream),
                                       field("tools", &ChatCompletionRequest::tools),
                                       field("temperature", &ChatCompletionRequest::temperature),
                                       field("tool_choice", &ChatCompletionRequest::toolChoice),
                                       field("max_tokens", &ChatCompletionRequest::maxTokens),
                                       field("max_completion_tokens", &ChatCompletionRequest::maxCompletionTokens),
                                       field("stream_options", &ChatCompletionRequest::streamOptions),
                                       field("response_format", &ChatCompletionRequest::responseFormat),
                                       field("stop", &ChatCompletionRequest::stop)};

// A string, else a list of parts; anything else reports the list's fault.
template <class NodeType> MessageContent decodeContent(NodeType& node) {
    if (node.isString()) return {node.string()};
    return {JSONCoding::decodeValue<std::vector<ContentPart>>(node)};
}

// A string, else a list of strings; anything else reports the list's fault.
template <class NodeType> StopSequences decodeStop(NodeType& node) {
    if (node.isString()) return {{node.string()}};
    return {JSONCoding::decodeValue<std::vector<std::string>>(node)};
}

} // namespace

// One definition for each way in.
#define BRINDLE_DECODE_FROM_FIELDS(Record, fields)                                                                     \
    Record Record::decode(const Node& node) {                                                                          \
        return decodeRecord<Record>(node, fields);                                                                     \
    }                                                                                                                  \
    Record Record::decode(Cursor& node) {                                                                              \
        return decodeRecord<Record>(node, fields);                                                                     \
    }

BRINDLE_DECODE_FROM_FIELDS(StreamOptions, kStreamOptionsFields)
BRINDLE_DECODE_FROM_FIELDS(ContentPart, kContentPartFields)
BRINDLE_DECODE_FROM_FIELDS(FunctionCall, kFunctionCallFields)
BRINDLE_DECODE_FROM_FIELDS(ToolCall, kToolCallFields)
BRINDLE_DECODE_FROM_FIELDS(ChatMessage, kChatMessageFields)
BRINDLE_DECODE_FROM_FIELDS(FunctionSpec, kFunctionSpecFields)
BRINDLE_DECODE_FROM_FIELDS(ToolSpec, kToolSpecFields)
BRINDLE_DECODE_FROM_FIELDS(JSONSchemaFormat, kJSONSchemaFormatFields)
BRINDLE_DECODE_FROM_FIELDS(ResponseFormat, kResponseFormatFields)
BRINDLE_DECODE_FROM_FIELDS(ChatCompletionRequest, kRequestFields)

#undef BRINDLE_DECODE_FROM_FIELDS

MessageContent MessageContent::decode(const Node& node) {
    return decodeContent(node);
}
MessageContent MessageContent::decode(Cursor& node) {
    return decodeContent(node);
}

StopSequences StopSequences::decode(const Node& node) {
    return decodeStop(node);
}
StopSequences StopSequences::decode(Cursor& node) {
    return decodeStop(node);
}

CheckedValue CheckedValue::decode(const Node& node) {
    node.refuseOutOfRangeWithin();
    return {};
}

CheckedValue CheckedValue::decode(Cursor& node) {
    node.skip();
    return {};
}

void ContentPart::encode(JSONWriter& writer) const {
    writer.beginObject();
    writer.field("type", type);
    writer.field("text", text);
    writer.endObject();
}

void MessageContent::encode(JSONWriter& writer) const {
    std::visit([&writer](const auto& payload) { writer.value(payload); }, storage);
}

void FunctionCall::encode(JSONWriter& writer) const {
    writer.beginObject();
    writer.field("name", name);
    writer.field("arguments", arguments);
    writer.endObject();
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

bool ChatMessage::hasText() const {
    if (!content) return false;
    if (const auto* parts = std::get_if<std::vector<ContentPart>>(&content->storage))
        return std::ranges::all_of(*parts, [](const ContentPart& part) { return part.text.has_value(); });
    return true;
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
