#pragma once
// The OpenAI chat-completions records: what a client sends and what the server writes back.
// Every record declares its keys in one order, used for decoding and encoding alike.

#include "BrindleBase/JSONValue.h"
#include "BrindleBase/PiecedList.h"
#include "BrindleBase/StringList.h"

#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <variant>
#include <vector>

namespace brindle {

// ---- Request records (decoded from the body of POST /v1/chat/completions) ----

struct StreamOptions {
    std::optional<bool> includeUsage;
    static StreamOptions decode(const JSONCoding::Node& node);
    static StreamOptions decode(JSONCoding::Cursor& node);
};

// A part counts by its text alone: its type must be given, but nothing here reads it, and a body of 32 MiB of
// parts kept every type too, at 9 times its size. It is written back as a text part.
struct ContentPart {
    std::optional<std::string> text;
    static ContentPart decode(const JSONCoding::Node& node);
    static ContentPart decode(JSONCoding::Cursor& node);
    void encode(JSONWriter& writer) const;
};

// A string, or a list of parts.
struct MessageContent {
    std::variant<std::string, std::vector<ContentPart>> storage;
    static MessageContent decode(const JSONCoding::Node& node);
    static MessageContent decode(JSONCoding::Cursor& node);
    void encode(JSONWriter& writer) const;
};

struct FunctionCall {
    std::string name;
    std::string arguments; // JSON text inside a JSON string
    static FunctionCall decode(const JSONCoding::Node& node);
    static FunctionCall decode(JSONCoding::Cursor& node);
    void encode(JSONWriter& writer) const;
};

struct ToolCall {
    std::string id;
    std::string type;
    FunctionCall function;
    static ToolCall decode(const JSONCoding::Node& node);
    static ToolCall decode(JSONCoding::Cursor& node);
    void encode(JSONWriter& writer) const;
};

// The members a message seldom has: a content not held in the message itself (a list of parts, or the string
// content of a message whose role has a name the server does not know), tool calls, tool_call_id and name. Only
// those present are held, one after another in one block: a block of every member cost a body of 32 MiB of
// {"role":"","name":""} 13 times its size.
class RareMembers {
public:
    enum Member : unsigned { stringContent, parts, toolCalls, toolCallId, name };
    template <Member M>
    using Type = std::tuple_element_t<
        M, std::tuple<std::string, std::vector<ContentPart>, std::vector<ToolCall>, std::string, std::string>>;

    RareMembers() = default;
    RareMembers(const RareMembers& other);
    RareMembers(RareMembers&& other) noexcept : block_(std::exchange(other.block_, nullptr)) {}
    RareMembers& operator=(RareMembers other) noexcept {
        std::swap(block_, other.block_);
        return *this;
    }
    ~RareMembers();

    // Null when absent.
    template <Member M> const Type<M>* get() const {
        const unsigned present = this->present();
        return present >> M & 1 ? std::launder(reinterpret_cast<const Type<M>*>(block_ + offset(present, M))) : nullptr;
    }
    // Absent when value is; the block is remade when a member comes or goes.
    template <Member M> void set(std::optional<Type<M>> value);
    template <Member M> std::optional<Type<M>> take();

private:
    unsigned present() const { return block_ ? block_[0] : 0; }
    static std::size_t offset(unsigned present, unsigned member);
    void remake(unsigned present, unsigned changed, void* value);

    unsigned char* block_ = nullptr; // a byte of which members are present, then each present one in order
};

// A body of 32 MiB holds millions of tiny messages, so the record is kept to 48 bytes: the role as a number,
// a string content in place, and whatever most messages leave out behind one pointer.
class ChatMessage {
public:
    std::string_view role() const;
    // The content when it is a string; nothing when it is absent or a list of parts.
    const std::string* plainContent() const;
    // The plain text: a string content unchanged; parts joined by "\n" when every part has a text;
    // absent when there is no content or a part has no text.
    std::optional<std::string> text() const;
    // Whether text() has a value, without joining the parts.
    bool hasText() const;
    // Each null when absent.
    const std::vector<ToolCall>* toolCalls() const { return rare_.get<RareMembers::toolCalls>(); }
    const std::string* toolCallId() const { return rare_.get<RareMembers::toolCallId>(); }
    const std::string* name() const { return rare_.get<RareMembers::name>(); }

    void setRole(std::string role);
    void setContent(std::optional<MessageContent> content);
    void setToolCalls(std::optional<std::vector<ToolCall>> toolCalls);
    void setToolCallId(std::optional<std::string> toolCallId);
    void setName(std::optional<std::string> name);

    static ChatMessage decode(const JSONCoding::Node& node);
    static ChatMessage decode(JSONCoding::Cursor& node);
    void encode(JSONWriter& writer) const;

private:
    // In the order of their names in kRoleNames; other last.
    enum class Role : std::uint8_t { system, developer, user, assistant, tool, other };

    std::optional<MessageContent> takeContent();

    // The string content; for a role of a name the server does not know, that name, and the content goes
    // behind the pointer: such a message is only ever checked and written back, and a body of {"role":""}
    // must not cost an allocation for each.
    std::string inPlace_;
    RareMembers rare_;
    Role role_ = Role::other;
    bool contentInPlace_ = false;
};

// A JSON Schema holding only what the model's schema is made of (SchemaTranslator): at every level the type, the
// description, the strings of enum and required, the properties and the items. Every other member, and a member of
// those names holding another kind of value, is read, checked like any JSON and let go; of members sharing a name the
// last one counts. Kept as JSON values, a 32 MiB schema of small values cost 45 times its text, and one of short
// strings 30 times; what only some schemas have is behind a pointer, since most are a property's type alone.
struct JSONSchema {
    // none: absent, not a string, or a name the translation does not know.
    enum class Type : std::uint8_t { none, object, string, integer, number, boolean, array };
    // What only a schema of choices, an object or an array has.
    struct Members;

    JSONSchema() = default;
    JSONSchema(const JSONSchema& other);
    JSONSchema(JSONSchema&& other) noexcept = default;
    JSONSchema& operator=(const JSONSchema& other) { return *this = JSONSchema(other); }
    JSONSchema& operator=(JSONSchema&& other) noexcept = default;
    ~JSONSchema();

    static JSONSchema decode(const JSONCoding::Node& node);
    static JSONSchema decode(JSONCoding::Cursor& node);
    // What is kept, as a schema.
    void encode(JSONWriter& writer) const;

    Type type = Type::none;
    bool isObject = false;                    // false for a schema of another kind of JSON value
    std::unique_ptr<std::string> description; // null when absent
    std::unique_ptr<Members> members;         // null when none of them is present
};

// A schema's properties: their names back to back in one block, and in pieces (PiecedList) an entry for each, the
// place of its name and its schema, 32 bytes where a name of its own beside the schema took 56. Of properties that
// share a name the last counts: the others are let go each time the list has doubled, so that a name given millions of
// times is held a few thousand times at most, and the translation sorts out the rest when it takes them.
class SchemaProperties {
public:
    struct Entry {
        std::uint32_t offset = 0, length = 0; // a body's names take far fewer than 2^32 bytes
        JSONSchema schema;
    };

    void expect(std::size_t count) { entries_.expect(count); }
    void add(std::string_view name, JSONSchema schema);
    std::size_t size() const { return entries_.size(); }
    std::string_view name(const Entry& entry) const {
        return std::string_view(names_).substr(entry.offset, entry.length);
    }
    std::string_view name(std::size_t index) const { return name(entries_[index]); }
    // Each name once, in byte order, with the schema given last for it.
    void keepLastOfEachName();

    // Calls use(name, schema) for each property in order.
    template <class Use> void forEach(Use&& use) const {
        entries_.forEach([&](const Entry& entry) { use(name(entry), entry.schema); });
    }
    // Hands each name and schema (to move from) to take in order, letting each piece go once taken; empty after.
    template <class Take> void takeEach(Take&& take) {
        entries_.takeEach([&](Entry& entry) { take(name(entry), entry.schema); });
        std::string().swap(names_);
    }

private:
    static constexpr std::size_t kFirstSorting = 4096;
    std::string names_;
    PiecedList<Entry> entries_;
    std::size_t sortAt_ = kFirstSorting;
};

struct JSONSchema::Members {
    StringList choices; // the strings of enum
    StringList required;
    SchemaProperties properties;
    JSONSchema items;
};

struct FunctionSpec {
    std::string name;
    std::optional<std::string> description;
    std::optional<JSONSchema> parameters; // absent when missing or null
    static FunctionSpec decode(const JSONCoding::Node& node);
    static FunctionSpec decode(JSONCoding::Cursor& node);
};

// A tool counts by its function alone: its type must be given, but nothing here reads it.
struct ToolSpec {
    FunctionSpec function;
    static ToolSpec decode(const JSONCoding::Node& node);
    static ToolSpec decode(JSONCoding::Cursor& node);
};

// response_format's json_schema member.
struct JSONSchemaFormat {
    std::string name;
    std::optional<std::string> description;
    std::optional<JSONSchema> schema; // absent when missing or null
    std::optional<bool> strict;
    static JSONSchemaFormat decode(const JSONCoding::Node& node);
    static JSONSchemaFormat decode(JSONCoding::Cursor& node);
};

// response_format: "text", "json_object" or "json_schema" with its schema. Which types and members make
// sense together is the engine's to judge.
struct ResponseFormat {
    std::string type;
    std::optional<JSONSchemaFormat> jsonSchema;
    static ResponseFormat decode(const JSONCoding::Node& node);
    static ResponseFormat decode(JSONCoding::Cursor& node);
};

// stop: one string or an array of strings, held as the list either way. A request may give at most kMaximum;
// of a longer list only the first kMaximum + 1 entries are kept, enough to refuse it, and every entry is read
// and checked.
struct StopSequences {
    static constexpr std::size_t kMaximum = 4;
    std::vector<std::string> sequences;
    static StopSequences decode(const JSONCoding::Node& node);
    static StopSequences decode(JSONCoding::Cursor& node);
};

// A member that is read and checked like any other but not kept: tool_choice, which the model's own choice
// of tools makes moot. Kept as a tree, a large one cost dozens of times its text.
struct CheckedValue {
    static CheckedValue decode(const JSONCoding::Node& node);
    static CheckedValue decode(JSONCoding::Cursor& node);
};

struct ChatCompletionRequest {
    std::string model;
    std::vector<ChatMessage> messages;
    std::optional<bool> stream;
    std::optional<std::vector<ToolSpec>> tools;
    std::optional<CheckedValue> toolChoice; // present when sent and not null
    std::optional<double> temperature;
    std::optional<std::int64_t> maxTokens;
    std::optional<std::int64_t> maxCompletionTokens;
    std::optional<StreamOptions> streamOptions;
    std::optional<ResponseFormat> responseFormat;
    std::optional<StopSequences> stop;

    // max_completion_tokens when present, otherwise max_tokens.
    std::optional<std::int64_t> effectiveMaxTokens() const {
        return maxCompletionTokens ? maxCompletionTokens : maxTokens;
    }

    static ChatCompletionRequest decode(const JSONCoding::Node& node);
    static ChatCompletionRequest decode(JSONCoding::Cursor& node);
};

// ---- Response records (encoded only) ----

struct Usage {
    Usage(std::int64_t promptTokens, std::int64_t completionTokens)
        : promptTokens(promptTokens), completionTokens(completionTokens), totalTokens(promptTokens + completionTokens) {
    }
    std::int64_t promptTokens;
    std::int64_t completionTokens;
    std::int64_t totalTokens;
    void encode(JSONWriter& writer) const;
};

struct ResponseMessage {
    std::string role = "assistant";
    std::optional<std::string> content;
    std::optional<std::vector<ToolCall>> toolCalls;
    void encode(JSONWriter& writer) const;
};

struct Choice {
    std::int64_t index = 0;
    ResponseMessage message;
    std::string finishReason;
    void encode(JSONWriter& writer) const;
};

struct ChatCompletionResponse {
    std::string id;
    std::string object = "chat.completion";
    std::int64_t created = 0;
    std::string model;
    std::vector<Choice> choices;
    Usage usage{0, 0};
    void encode(JSONWriter& writer) const;
};

struct ErrorBody {
    struct Detail {
        std::string message;
        std::string type;
        std::optional<std::string> code;
        void encode(JSONWriter& writer) const;
    };
    ErrorBody(std::string message, std::string type, std::optional<std::string> code = std::nullopt)
        : error{std::move(message), std::move(type), std::move(code)} {}
    Detail error;
    void encode(JSONWriter& writer) const;
};

} // namespace brindle
