#include "BrindleKit/OpenAIModels.h"

#include "BrindleBase/JSONDecoding.h"

#include <algorithm>
#include <iterator>
#include <memory>
#include <new>
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
const auto kContentPartFields =
    std::tuple{JSONCoding::checkedField<ContentPart, std::string>("type"), field("text", &ContentPart::text)};
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
const auto kToolSpecFields =
    std::tuple{JSONCoding::checkedField<ToolSpec, std::string>("type"), field("function", &ToolSpec::function)};
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

// A Node's schema is checked whole before it is read, so what it lets go needs no reading; a Cursor reads it.
void letGo(const Node&) {}
void letGo(Cursor& node) {
    node.skip();
}

template <class NodeType> StringList keptStrings(NodeType& node) {
    StringList strings;
    if (!node.isArray()) {
        letGo(node);
        return strings;
    }
    JSONCoding::forEachElement(node, [&strings](auto&& element) {
        if (element.isString())
            strings.push_back(element.string());
        else
            letGo(element);
    });
    strings.shrink_to_fit();
    return strings;
}

constexpr std::pair<std::string_view, JSONSchema::Type> kSchemaTypes[] = {
    {"object", JSONSchema::Type::object},   {"string", JSONSchema::Type::string},
    {"integer", JSONSchema::Type::integer}, {"number", JSONSchema::Type::number},
    {"boolean", JSONSchema::Type::boolean}, {"array", JSONSchema::Type::array}};

JSONSchema::Type typeNamed(std::string_view name) {
    for (const auto& [typeName, type] : kSchemaTypes)
        if (name == typeName) return type;
    return JSONSchema::Type::none;
}

template <class NodeType> JSONSchema keptSchema(NodeType& node);

template <class NodeType> SchemaProperties keptProperties(NodeType& node) {
    SchemaProperties properties;
    if (!node.isObject()) {
        letGo(node);
        return properties;
    }
    properties.expect(JSONCoding::memberCount(node));
    JSONCoding::forEachMember(
        node, [&properties](std::string_view key, auto&& value) { properties.add(key, keptSchema(value)); });
    return properties;
}

template <class NodeType> JSONSchema keptSchema(NodeType& node) {
    JSONSchema schema;
    if (!node.isObject()) {
        letGo(node);
        return schema;
    }
    schema.isObject = true;
    const auto members = [&schema]() -> JSONSchema::Members& {
        if (!schema.members) schema.members = std::make_unique<JSONSchema::Members>();
        return *schema.members;
    };
    JSONCoding::forEachMember(node, [&schema, &members](std::string_view key, auto&& value) {
        if (key == "type" || key == "description") {
            std::optional<std::string> text;
            if (value.isString())
                text = value.string();
            else
                letGo(value);
            if (key == "type")
                schema.type = text ? typeNamed(*text) : JSONSchema::Type::none;
            else
                schema.description = text ? std::make_unique<std::string>(std::move(*text)) : nullptr;
        } else if (key == "enum") {
            members().choices = keptStrings(value);
        } else if (key == "required") {
            members().required = keptStrings(value);
        } else if (key == "properties") {
            members().properties = keptProperties(value);
        } else if (key == "items") {
            members().items = keptSchema(value);
        } else {
            letGo(value);
        }
    });
    return schema;
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
    return keptSchema(node);
}
JSONSchema JSONSchema::decode(Cursor& node) {
    return node.failingWhole([&node] { return keptSchema(node); });
}

JSONSchema::JSONSchema(const JSONSchema& other)
    : type(other.type), isObject(other.isObject),
      description(other.description ? std::make_unique<std::string>(*other.description) : nullptr),
      members(other.members ? std::make_unique<Members>(*other.members) : nullptr) {}

JSONSchema::~JSONSchema() = default;

void SchemaProperties::add(std::string_view name, JSONSchema schema) {
    entries_.push_back(
        {static_cast<std::uint32_t>(names_.size()), static_cast<std::uint32_t>(name.size()), std::move(schema)});
    names_.append(name);
    if (entries_.size() < sortAt_) return;
    keepLastOfEachName();
    sortAt_ = std::max(kFirstSorting, 2 * entries_.size());
}

void SchemaProperties::keepLastOfEachName() {
    keepLastOfEachKey(entries_, [this](const Entry& entry) { return name(entry); });
}

CheckedValue CheckedValue::decode(const Node& node) {
    node.refuseOutOfRangeWithin();
    return {};
}

CheckedValue CheckedValue::decode(Cursor& node) {
    node.failingWhole([&node] { node.skip(); });
    return {};
}

void JSONSchema::encode(JSONWriter& writer) const {
    if (!isObject) return writer.null();
    writer.beginObject();
    for (const auto& [typeName, named] : kSchemaTypes)
        if (type == named) writer.field("type", typeName);
    if (description) writer.field("description", *description);
    if (members) {
        writer.field("enum", members->choices);
        writer.field("required", members->required);
        writer.key("properties");
        writer.beginObject();
        members->properties.forEach(
            [&writer](std::string_view name, const JSONSchema& schema) { writer.field(name, schema); });
        writer.endObject();
        writer.field("items", members->items);
    }
    writer.endObject();
}

void ContentPart::encode(JSONWriter& writer) const {
    writer.beginObject();
    writer.field("type", std::string_view("text"));
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

// ---- The members a message seldom has ----

namespace {

// The one byte of which members are present is followed by the members, each aligned as a pointer is.
constexpr std::size_t kPresenceBytes = 8;
constexpr std::size_t kMemberSizes[] = {
    sizeof(RareMembers::Type<RareMembers::stringContent>), sizeof(RareMembers::Type<RareMembers::parts>),
    sizeof(RareMembers::Type<RareMembers::toolCalls>), sizeof(RareMembers::Type<RareMembers::toolCallId>),
    sizeof(RareMembers::Type<RareMembers::name>)};
static_assert(std::ranges::all_of(kMemberSizes, [](std::size_t size) { return size % kPresenceBytes == 0; }));

// Calls use with a pointer of the member's own type at `at`.
template <class Use> void withMember(unsigned member, void* at, Use&& use) {
    switch (member) {
    case RareMembers::parts: return use(static_cast<RareMembers::Type<RareMembers::parts>*>(at));
    case RareMembers::toolCalls: return use(static_cast<RareMembers::Type<RareMembers::toolCalls>*>(at));
    default: return use(static_cast<std::string*>(at));
    }
}

template <class Use> void forEachPresent(unsigned present, Use&& use) {
    for (unsigned member = 0; member < std::size(kMemberSizes); ++member)
        if (present >> member & 1) use(member);
}

} // namespace

std::size_t RareMembers::offset(unsigned present, unsigned member) {
    std::size_t at = kPresenceBytes;
    for (unsigned before = 0; before < member; ++before)
        if (present >> before & 1) at += kMemberSizes[before];
    return at;
}

RareMembers::RareMembers(const RareMembers& other) {
    const unsigned present = other.present();
    if (!present) return;
    block_ = static_cast<unsigned char*>(::operator new(offset(present, std::size(kMemberSizes))));
    block_[0] = static_cast<unsigned char>(present);
    forEachPresent(present, [&](unsigned member) {
        const std::size_t at = offset(present, member);
        withMember(member, block_ + at, [&](auto* copy) {
            using T = std::remove_pointer_t<decltype(copy)>;
            std::construct_at(copy, *std::launder(reinterpret_cast<const T*>(other.block_ + at)));
        });
    });
}

RareMembers::~RareMembers() {
    const unsigned present = this->present();
    forEachPresent(present, [&](unsigned member) {
        withMember(member, block_ + offset(present, member), [](auto* held) { std::destroy_at(std::launder(held)); });
    });
    ::operator delete(block_);
}

// The members that stay are moved into a block made for what is now present; `value`, when given, is moved in
// as the changed member.
void RareMembers::remake(unsigned present, unsigned changed, void* value) {
    unsigned char* const old = block_;
    const unsigned had = this->present();
    block_ = present ? static_cast<unsigned char*>(::operator new(offset(present, std::size(kMemberSizes)))) : nullptr;
    if (block_) block_[0] = static_cast<unsigned char>(present);
    forEachPresent(had | present, [&](unsigned member) {
        void* const to = present >> member & 1 ? block_ + offset(present, member) : nullptr;
        void* const from = had >> member & 1 ? old + offset(had, member) : nullptr;
        withMember(member, to, [&](auto* moved) {
            using T = std::remove_pointer_t<decltype(moved)>;
            T* const source = member == changed ? static_cast<T*>(value) : std::launder(static_cast<T*>(from));
            if (moved) std::construct_at(moved, std::move(*source));
            if (from) std::destroy_at(std::launder(static_cast<T*>(from)));
        });
    });
    ::operator delete(old);
}

template <RareMembers::Member M> void RareMembers::set(std::optional<Type<M>> value) {
    const unsigned present = this->present();
    if (value && (present >> M & 1))
        *const_cast<Type<M>*>(get<M>()) = std::move(*value);
    else if (value)
        remake(present | 1u << M, M, &*value);
    else if (present >> M & 1)
        remake(present & ~(1u << M), M, nullptr);
}

template <RareMembers::Member M> std::optional<RareMembers::Type<M>> RareMembers::take() {
    const Type<M>* held = get<M>();
    if (!held) return std::nullopt;
    std::optional<Type<M>> taken(std::move(*const_cast<Type<M>*>(held)));
    set<M>(std::nullopt);
    return taken;
}

// ---- Chat messages ----

static_assert(sizeof(ChatMessage) <= 48, "a body of tiny messages holds millions of these");

namespace {

constexpr std::string_view kRoleNames[] = {"system", "developer", "user", "assistant", "tool"};

} // namespace

std::string_view ChatMessage::role() const {
    return role_ == Role::other ? std::string_view(inPlace_) : kRoleNames[static_cast<std::size_t>(role_)];
}

const std::string* ChatMessage::plainContent() const {
    return contentInPlace_ ? &inPlace_ : rare_.get<RareMembers::stringContent>();
}

std::optional<std::string> ChatMessage::text() const {
    if (const std::string* plain = plainContent()) return *plain;
    const std::vector<ContentPart>* parts = rare_.get<RareMembers::parts>();
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
    const std::vector<ContentPart>* parts = rare_.get<RareMembers::parts>();
    return parts && std::ranges::all_of(*parts, [](const ContentPart& part) { return part.text.has_value(); });
}

std::optional<MessageContent> ChatMessage::takeContent() {
    if (contentInPlace_) {
        contentInPlace_ = false;
        return MessageContent{std::exchange(inPlace_, {})};
    }
    if (auto plain = rare_.take<RareMembers::stringContent>()) return MessageContent{std::move(*plain)};
    if (auto parts = rare_.take<RareMembers::parts>()) return MessageContent{std::move(*parts)};
    return std::nullopt;
}

// Either order of role and content ends in the same record: a string content that came first waited behind
// the pointer, since the role was not yet known.
void ChatMessage::setRole(std::string role) {
    std::optional<MessageContent> content = takeContent();
    const auto known = std::find(std::begin(kRoleNames), std::end(kRoleNames), role);
    role_ = static_cast<Role>(known - std::begin(kRoleNames));
    inPlace_ = role_ == Role::other ? std::move(role) : std::string();
    setContent(std::move(content));
}

void ChatMessage::setContent(std::optional<MessageContent> content) {
    takeContent();
    if (!content) return;
    if (std::string* plain = std::get_if<std::string>(&content->storage)) {
        if (role_ == Role::other) return rare_.set<RareMembers::stringContent>(std::move(*plain));
        inPlace_ = std::move(*plain);
        contentInPlace_ = true;
    } else {
        rare_.set<RareMembers::parts>(std::get<std::vector<ContentPart>>(std::move(content->storage)));
    }
}

void ChatMessage::setToolCalls(std::optional<std::vector<ToolCall>> toolCalls) {
    rare_.set<RareMembers::toolCalls>(std::move(toolCalls));
}

void ChatMessage::setToolCallId(std::optional<std::string> toolCallId) {
    rare_.set<RareMembers::toolCallId>(std::move(toolCallId));
}

void ChatMessage::setName(std::optional<std::string> name) {
    rare_.set<RareMembers::name>(std::move(name));
}

void ChatMessage::encode(JSONWriter& writer) const {
    writer.beginObject();
    writer.field("role", role());
    if (const std::string* plain = plainContent())
        writer.field("content", *plain);
    else if (const std::vector<ContentPart>* parts = rare_.get<RareMembers::parts>())
        writer.field("content", *parts);
    if (const std::string* given = name()) writer.field("name", *given);
    if (const std::vector<ToolCall>* calls = toolCalls()) writer.field("tool_calls", *calls);
    if (const std::string* id = toolCallId()) writer.field("tool_call_id", *id);
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
