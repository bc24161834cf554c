#pragma once
// The language-model interface the server is written against. Its names follow the platform framework's
// own (SystemLanguageModel, LanguageModelSession, Transcript, GenerationSchema, ...), so that a backend over
// the platform model and our built-in model stand behind the same operations. Nothing here knows about
// HTTP or OpenAI records.

#include "BrindleBase/JSONValue.h"
#include "BrindleBase/StringList.h"

#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace brindle::model {

// ---- Generation schemas ----

// A schema tree as a tool describes its arguments: plain values, objects with optional properties,
// string choices and arrays. Immutable; children are shared, so copies are cheap.
class DynamicGenerationSchema {
public:
    enum class Kind { string, integer, number, boolean, object, anyOf, array };
    enum class ValueType { string, integer, number, boolean };

    struct Property {
        std::string name;
        // Null when there is none: an optional string took 40 bytes of each property, and a schema may hold millions
        // of properties without a description.
        std::unique_ptr<const std::string> description;
        std::shared_ptr<const DynamicGenerationSchema> schema;
        bool isOptional = false;
    };

    // init(type:guides:) with no guides
    explicit DynamicGenerationSchema(ValueType type);
    // init(name:description:properties:)
    DynamicGenerationSchema(std::string name, std::optional<std::string> description, std::vector<Property> properties);
    // init(name:description:anyOf:) with string choices
    DynamicGenerationSchema(std::string name, std::optional<std::string> description, StringList anyOf);
    // init(arrayOf:minimumElements:maximumElements:)
    static DynamicGenerationSchema arrayOf(DynamicGenerationSchema item,
                                           std::optional<std::int64_t> minimumElements = std::nullopt,
                                           std::optional<std::int64_t> maximumElements = std::nullopt);
    // The schema as a child to share. A plain value's schema is its kind alone, so each kind has one instance
    // that every reference shares: a request of a hundred thousand tools has as many string properties.
    static std::shared_ptr<const DynamicGenerationSchema> shared(DynamicGenerationSchema schema);

    Kind kind() const { return kind_; }
    const std::string& name() const { return name_; } // objects and choices only
    const std::optional<std::string>& description() const { return description_; }
    const std::vector<Property>& properties() const { return properties_; }
    const StringList& choices() const { return choices_; }
    const DynamicGenerationSchema* item() const { return item_.get(); } // arrays only
    std::optional<std::int64_t> minimumElements() const { return minimumElements_; }
    std::optional<std::int64_t> maximumElements() const { return maximumElements_; }

private:
    DynamicGenerationSchema() = default;
    Kind kind_ = Kind::string;
    std::string name_;
    std::optional<std::string> description_;
    std::vector<Property> properties_;
    StringList choices_;
    std::shared_ptr<const DynamicGenerationSchema> item_;
    std::optional<std::int64_t> minimumElements_, maximumElements_;
};

// A finished schema, checked the way the platform checks one: two object or choice schemas that share
// a name, or an object that names a property twice, are rejected.
class GenerationSchema {
public:
    class SchemaError : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };
    // Throws SchemaError.
    GenerationSchema(DynamicGenerationSchema root, std::vector<DynamicGenerationSchema> dependencies);
    const DynamicGenerationSchema& root() const { return *root_; }

private:
    std::shared_ptr<const DynamicGenerationSchema> root_;
};

// ---- Generated content ----

// Structured content (a JSON value) or a plain string.
class GeneratedContent {
public:
    class InvalidJSON : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };
    // GeneratedContent(json:): throws InvalidJSON when the text is not JSON.
    static GeneratedContent fromJSON(std::string_view json);
    // The platform's own JSON text: parsed as by fromJSON, and kept, so that jsonString() gives the text back
    // as the platform wrote it (its spacing and key order) rather than ours.
    static GeneratedContent fromPlatformJSON(std::string_view json);
    // GeneratedContent(_:): wraps a plain string.
    explicit GeneratedContent(std::string plain) : value_(std::move(plain)) {}
    explicit GeneratedContent(JSONValue value) : value_(std::move(value)) {}

    const JSONValue& value() const { return value_; }
    // The JSON text of the content; a plain string is written as a JSON string.
    std::string jsonString() const;

private:
    JSONValue value_;
    std::optional<std::string> platformText_;
};

// ---- Options ----

// Ends a prompt (after a blank line) that asks for one JSON object and nothing else. The platform's model can be
// held to a schema but not to "any JSON object", so it is asked in words and its answer is checked; the built-in
// model knows the sentence.
inline constexpr std::string_view kJSONObjectInstruction = "Answer with one JSON object and nothing else.";

// The prompt of a conversation that does not end with a user message: it goes on after tool output. The
// built-in model answers it from that output.
inline constexpr std::string_view kContinuationPrompt =
    "Use the tool results above to continue. Respond to the user's request.";

struct GenerationOptions {
    std::optional<double> temperature;
    std::optional<std::int64_t> maximumResponseTokens;
};

// ---- Transcript ----

struct Transcript {
    struct TextSegment {
        std::string id;
        std::string content;
    };
    struct ToolDefinition {
        std::string name;
        std::string description;
        GenerationSchema parameters;
    };
    struct Instructions {
        std::string id;
        std::vector<TextSegment> segments;
        std::vector<ToolDefinition> toolDefinitions;
    };
    struct Prompt {
        std::string id;
        std::vector<TextSegment> segments;
        GenerationOptions options; // nothing set
    };
    struct Response {
        std::string id;
        std::vector<std::string> assetIDs;
        std::vector<TextSegment> segments;
    };
    struct ToolCall {
        std::string id; // empty for a call the model gave no id
        std::string toolName;
        GeneratedContent arguments;
    };
    struct ToolCalls {
        std::string id;
        std::vector<ToolCall> calls;
    };
    struct ToolOutput {
        std::string id;
        std::string toolName;
        std::vector<TextSegment> segments;
    };
    using Entry = std::variant<Instructions, Prompt, Response, ToolCalls, ToolOutput>;

    std::vector<Entry> entries;
};

// ---- Tools ----

// A tool the model may call, from the threads the session generates on (the platform's, possibly several at
// once). Whatever call() throws ends the generation and reaches the caller wrapped in ToolCallError.
class Tool {
public:
    virtual ~Tool() = default;
    virtual std::string name() const = 0;
    virtual std::string description() const = 0;
    virtual const GenerationSchema& parameters() const = 0;
    // The output the model reads and goes on from; or nothing for a tool that runs elsewhere (a client's):
    // the generation then ends, and the session hands the call back to its caller (Response::toolCalls).
    virtual std::optional<std::string> call(const GeneratedContent& arguments) = 0;
};

// ---- Errors ----

class GenerationError : public std::runtime_error {
public:
    enum class Case {
        exceededContextWindowSize,
        assetsUnavailable,
        guardrailViolation,
        unsupportedGuide,
        unsupportedLanguageOrLocale,
        decodingFailure,
        rateLimited,
        concurrentRequests,
        refusal,
    };
    GenerationError(Case errorCase, const std::string& description)
        : std::runtime_error(description), errorCase(errorCase) {}
    Case errorCase;
};

// A tool's own error, carried unchanged as underlyingError.
class ToolCallError : public std::runtime_error {
public:
    ToolCallError(std::string toolName, std::exception_ptr underlyingError);
    std::string toolName;
    std::exception_ptr underlyingError;
};

// ---- Model and session ----

struct Snapshot {
    std::string content; // the whole text generated so far
};

// Pull-style stream of snapshots. next() blocks until the next snapshot, returns nothing at the end, and
// throws GenerationError or ToolCallError on failure.
class ResponseStream {
public:
    virtual ~ResponseStream() = default;
    virtual std::optional<Snapshot> next() = 0;
    // Once next() has returned nothing: the calls that ended the generation, as Response::toolCalls.
    virtual std::vector<Transcript::ToolCall> toolCalls() const = 0;
};

// What ended a generation: the model itself, with its whole answer; or calls of tools that run elsewhere,
// handed back in the order made in place of an answer (content then empty).
struct Response {
    std::string content;
    std::vector<Transcript::ToolCall> toolCalls;
};

// What guided generation answers: content that fits the schema it was asked for.
struct GeneratedResponse {
    GeneratedContent content;
    std::vector<Transcript::ToolCall> toolCalls; // as Response::toolCalls
};

class LanguageModelSession {
public:
    virtual ~LanguageModelSession() = default;
    // Throws GenerationError or ToolCallError.
    virtual Response respond(const std::string& prompt, const GenerationOptions& options) = 0;
    virtual std::unique_ptr<ResponseStream> streamResponse(const std::string& prompt,
                                                           const GenerationOptions& options) = 0;
    // Guided generation, respond(to:schema:includeSchemaInPrompt:options:): the content fits the schema;
    // includeSchemaInPrompt also shows the model the schema. A tool call still ends it. Throws as respond
    // does.
    virtual GeneratedResponse respond(const std::string& prompt, const GenerationSchema& schema,
                                      bool includeSchemaInPrompt, const GenerationOptions& options) = 0;
    // streamResponse(to:schema:includeSchemaInPrompt:options:): each snapshot is the JSON text of the content
    // generated so far, and the last one the whole content's.
    virtual std::unique_ptr<ResponseStream> streamResponse(const std::string& prompt, const GenerationSchema& schema,
                                                           bool includeSchemaInPrompt,
                                                           const GenerationOptions& options) = 0;
    // The transcript as it stands now, including what the last generation added.
    virtual Transcript transcript() const = 0;
};

// Counts a conversation against a model's context window while it is put together, so that one far beyond the
// window is not put together whole: a session refuses such a conversation before it generates anything.
class ContextMeter {
public:
    virtual ~ContextMeter() = default;
    // Counts one more entry of the transcript; true once the entries so far certainly exceed the window,
    // whatever the prompt and tools.
    virtual bool exceededAfter(const Transcript::Entry& entry) = 0;
};

class SystemLanguageModel {
public:
    enum class UnavailableReason { deviceNotEligible, appleIntelligenceNotEnabled, modelNotReady, other };
    struct Availability {
        std::optional<UnavailableReason> unavailableReason; // absent: available
        bool isAvailable() const { return !unavailableReason; }
    };

    virtual ~SystemLanguageModel() = default;
    virtual Availability availability() const = 0;
    // LanguageModelSession(model:tools:transcript:): the session's history is the given transcript.
    virtual std::shared_ptr<LanguageModelSession> makeSession(std::vector<std::shared_ptr<Tool>> tools,
                                                              Transcript transcript) const = 0;
    // A meter for one conversation, for a model that counts its window the way its sessions will; nothing for
    // one that can tell only once asked to respond (the platform's counts with its own tokenizer).
    virtual std::unique_ptr<ContextMeter> contextMeter() const { return nullptr; }
};

} // namespace brindle::model
