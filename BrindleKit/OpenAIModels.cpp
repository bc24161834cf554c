#include "BrindleKit/OpenAIModels.h"

#include "BrindleBase/JSONDecoding.h"

#include <algorithm>
#include <iterator>
#include <utility>

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
const auto kChatMessageFields =
    std::tuple{field("role", &ChatMessage::setRole), field("content", &ChatMessage::setContent),
               field("name", &ChatMessage::setName), field("tool_calls", &ChatMessage::setToolCalls),
               field("tool_call_id", &ChatMessage::setToolCallId)};
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
    StopSequences stop;
    JSONCoding::forEachElement(node, [&stop](auto&& element) {
        std::string sequence = JSONCoding::decodeValue<std::string>(element);
        if (stop.sequences.size() <= StopSequences::kMaximum) stop.sequences.push_back(std::move(sequence));
    });
    return stop;
}

// Node and Cursor alike. A Node's schema is checked whole before it is read, so what it lets go needs no reading.
bool isObject(const Node& node) {
    return node.element().is_object();
}
bool isObject(Cursor& node) {
    return node.type() == simdjson::ondemand::json_type::object;
}
bool isArray(const Node& node) {
    return node.element().is_array();
}
bool isArray(Cursor& node) {
    return node.type() == simdjson::ondemand::json_type::array;
}
void letGo(const Node&) {}
void letGo(Cursor& node) {
    node.skip();
}
template <class Use> void forEachMember(const Node& node, Use&& use) {
    const simdjson::dom::object object = node.element().get_object().value_unsafe();
    for (auto member : object) {
        const JSONCoding::CodingPath path{&node.path(), member.key, 0};
        use(member.key, Node(member.value, path));
    }
}
template <class Use> void forEachMember(Cursor& node, Use&& use) {
    node.forEachMember(std::forward<Use>(use));
}

template <class NodeType> JSONValue keptStrings(NodeType& node) {
    JSONValue::Array strings;
    strings.reserve(JSONCoding::elementCount(node));
    JSONCoding::forEachElement(node, [&strings](auto&& element) {
        if (element.isString())
            strings.emplace_back(element.string());
        else
            letGo(element);
    });
    return JSONValue(std::move(strings));
}

template <class NodeType> JSONValue keptSchema(NodeType& node);

template <class NodeType> JSONValue keptProperties(NodeType& node) {
    std::vector<JSONValue::Object::value_type> members;
    forEachMember(node, [&members](std::string_view key, auto&& value) {
        members.emplace_back(std::string(key), keptSchema(value));
    });
    return JSONValue(JSONValue::Object(std::move(members)));
}

// A member of a key the translation reads is kept even when its value is not of the kind it reads, as null:
// of members sharing a key the last one counts.
template <class NodeType> JSONValue keptSchema(NodeType& node) {
    if (!isObject(node)) {
        letGo(node);
        return JSONValue(nullptr);
    }
    std::vector<JSONValue::Object::value_type> members;
    forEachMember(node, [&members](std::string_view key, auto&& value) {
        JSONValue kept;
        if (key == "type" || key == "description") {
            if (value.isString())
                kept = JSONValue(value.string());
            else
                letGo(value);
        } else if (key == "enum" || key == "required") {
            if (isArray(value))
                kept = keptStrings(value);
            else
                letGo(value);
        } else if (key == "properties") {
            if (isObject(value))
                kept = keptProperties(value);
            else
                letGo(value);
        } else if (key == "items") {
            kept = keptSchema(value);
        } else {
            return letGo(value);
        }
        members.emplace_back(std::string(key), std::move(kept));
    });
    return JSONValue(JSONValue::Object(std::move(members)));
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

// The fault a whole value reports: a number beyond a double's range, at the schema's own position.
JSONSchema JSONSchema::decode(const Node& node) {
    node.refuseOutOfRangeWithin();
    return JSONSchema(keptSchema(node));
}
JSONSchema JSONSchema::decode(Cursor& node) {
    return JSONSchema(keptSchema(node));
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

static_assert(sizeof(ChatMessage) <= 48, "a body of tiny messages holds millions of these");

namespace {

constexpr std::string_view kRoleNames[] = {"system", "developer", "user", "assistant", "tool"};

} // namespace

ChatMessage::ChatMessage(const ChatMessage& other)
    : inPlace_(other.inPlace_), rare_(other.rare_ ? std::make_unique<Rare>(*other.rare_) : nullptr), role_(other.role_),
      contentInPlace_(other.contentInPlace_) {}

ChatMessage& ChatMessage::operator=(const ChatMessage& other) {
    if (this != &other) *this = ChatMessage(other);
    return *this;
}

std::string_view ChatMessage::role() const {
    return role_ == Role::other ? std::string_view(inPlace_) : kRoleNames[static_cast<std::size_t>(role_)];
}

const std::string* ChatMessage::plainContent() const {
    if (contentInPlace_) return &inPlace_;
    return rare_ && rare_->content ? std::get_if<std::string>(&rare_->content->storage) : nullptr;
}

const std::vector<ContentPart>* ChatMessage::contentParts() const {
    return rare_ && rare_->content ? std::get_if<std::vector<ContentPart>>(&rare_->content->storage) : nullptr;
}

std::optional<std::string> ChatMessage::text() const {
    if (const std::string* plain = plainContent()) return *plain;
    const std::vector<ContentPart>* parts = contentParts();
    if (!parts) return std::nullopt;
    std::string joined;
    bool first = true;
    for (const ContentPart& part : *parts) {
        if (!part.text) return std::nullopt;
        if (!first) joined += '\n';
        joined += *part.text;
        first = false;
    }
    return joined;
}

bool ChatMessage::hasText() const {
    if (plainContent()) return true;
    const std::vector<ContentPart>* parts = contentParts();
    return parts && std::ranges::all_of(*parts, [](const ContentPart& part) { return part.text.has_value(); });
}

const std::optional<std::vector<ToolCall>>& ChatMessage::toolCalls() const {
    static const std::optional<std::vector<ToolCall>> none;
    return rare_ ? rare_->toolCalls : none;
}

const std::optional<std::string>& ChatMessage::toolCallId() const {
    static const std::optional<std::string> none;
    return rare_ ? rare_->toolCallId : none;
}

const std::optional<std::string>& ChatMessage::name() const {
    static const std::optional<std::string> none;
    return rare_ ? rare_->name : none;
}

ChatMessage::Rare& ChatMessage::rare() {
    if (!rare_) rare_ = std::make_unique<Rare>();
    return *rare_;
}

std::optional<MessageContent> ChatMessage::takeContent() {
    if (contentInPlace_) {
        contentInPlace_ = false;
        return MessageContent{std::exchange(inPlace_, {})};
    }
    return rare_ ? std::exchange(rare_->content, std::nullopt) : std::nullopt;
}

// Either order of role and content ends in the same record. A string content that came first waited behind
// the pointer, since the role was not yet known: the pointer is let go again when that was all it held.
void ChatMessage::setRole(std::string role) {
    std::optional<MessageContent> content = takeContent();
    const auto known = std::find(std::begin(kRoleNames), std::end(kRoleNames), role);
    role_ = static_cast<Role>(known - std::begin(kRoleNames));
    inPlace_ = role_ == Role::other ? std::move(role) : std::string();
    setContent(std::move(content));
    if (rare_ && !rare_->content && !rare_->toolCalls && !rare_->toolCallId && !rare_->name) rare_.reset();
}

void ChatMessage::setContent(std::optional<MessageContent> content) {
    takeContent();
    std::string* plain = content ? std::get_if<std::string>(&content->storage) : nullptr;
    if (plain && role_ != Role::other) {
        inPlace_ = std::move(*plain);
        contentInPlace_ = true;
    } else if (content) {
        rare().content = std::move(content);
    }
}

void ChatMessage::setToolCalls(std::optional<std::vector<ToolCall>> toolCalls) {
    if (toolCalls || rare_) rare().toolCalls = std::move(toolCalls);
}

void ChatMessage::setToolCallId(std::optional<std::string> toolCallId) {
    if (toolCallId || rare_) rare().toolCallId = std::move(toolCallId);
}

void ChatMessage::setName(std::optional<std::string> name) {
    if (name || rare_) rare().name = std::move(name);
}

void ChatMessage::encode(JSONWriter& writer) const {
    writer.beginObject();
    writer.field("role", role());
    if (const std::string* plain = plainContent())
        writer.field("content", *plain);
    else if (const std::vector<ContentPart>* parts = contentParts())
        writer.field("content", *parts);
    writer.field("name", name());
    writer.field("tool_calls", toolCalls());
    writer.field("tool_call_id", toolCallId());
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
