#include "BrindleModel/platform/PlatformModel.h"

#include "BrindleBase/JSONValue.h"
#include "BrindleBase/Unicode.h"
#include "BrindleModel/platform/PlatformBridge.h"

#include <algorithm>
#include <mutex>
#include <string_view>
#include <utility>

namespace brindle::model {

using PlatformDescription::schemaNode;

// ---- The session description ----
//
// {"tools":[TOOL],"entries":[ENTRY]}
// TOOL    := {"name":S,"description":S,"parameters":NODE}
// NODE    := {"type":"string"|"integer"|"number"|"boolean"}
//          | {"type":"object","name":S,"description":S?,
//             "properties":[{"name":S,"description":S?,"isOptional":B,"schema":NODE}]}
//          | {"type":"anyOf","name":S,"description":S?,"choices":[S]}
//          | {"type":"array","items":NODE,"minimumElements":I?,"maximumElements":I?}
// SEGMENT := {"id":S,"content":S}
// ENTRY   := {"kind":"instructions","id":S,"segments":[SEGMENT],"toolDefinitions":[TOOL]}
//          | {"kind":"prompt","id":S,"segments":[SEGMENT],"options":{"temperature":D?,"maximumResponseTokens":I?}}
//          | {"kind":"response","id":S,"assetIDs":[S],"segments":[SEGMENT]}
//          | {"kind":"toolCalls","id":S,"calls":[{"id":S,"toolName":S,"arguments":S}]}
//          | {"kind":"toolOutput","id":S,"toolName":S,"segments":[SEGMENT]}
// A member marked ? is left out when absent. A call's arguments are the JSON text of the generated content.

namespace {

const char* typeName(DynamicGenerationSchema::Kind kind) {
    using Kind = DynamicGenerationSchema::Kind;
    switch (kind) {
    case Kind::string: return "string";
    case Kind::integer: return "integer";
    case Kind::number: return "number";
    case Kind::boolean: return "boolean";
    case Kind::object: return "object";
    case Kind::anyOf: return "anyOf";
    case Kind::array: return "array";
    }
    return "string";
}

void writeSchema(JSONWriter& out, const DynamicGenerationSchema& schema) {
    using Kind = DynamicGenerationSchema::Kind;
    out.beginObject();
    out.field("type", typeName(schema.kind()));
    if (schema.kind() == Kind::object || schema.kind() == Kind::anyOf) {
        out.field("name", schema.name());
        out.field("description", schema.description());
    }
    if (schema.kind() == Kind::object) {
        out.key("properties");
        out.beginArray();
        for (const auto& property : schema.properties()) {
            out.beginObject();
            out.field("name", property.name);
            if (property.description) out.field("description", *property.description);
            out.field("isOptional", property.isOptional);
            out.key("schema");
            writeSchema(out, *property.schema);
            out.endObject();
        }
        out.endArray();
    }
    if (schema.kind() == Kind::anyOf) out.field("choices", schema.choices());
    if (schema.kind() == Kind::array) {
        out.key("items");
        writeSchema(out, *schema.item());
        out.field("minimumElements", schema.minimumElements());
        out.field("maximumElements", schema.maximumElements());
    }
    out.endObject();
}

void writeTool(JSONWriter& out, const std::string& name, const std::string& description,
               const GenerationSchema& parameters) {
    out.beginObject();
    out.field("name", name);
    out.field("description", description);
    out.key("parameters");
    writeSchema(out, parameters.root());
    out.endObject();
}

void writeSegments(JSONWriter& out, const std::vector<Transcript::TextSegment>& segments) {
    out.key("segments");
    out.beginArray();
    for (const auto& segment : segments) {
        out.beginObject();
        out.field("id", segment.id);
        out.field("content", segment.content);
        out.endObject();
    }
    out.endArray();
}

void writeBody(JSONWriter& out, const Transcript::Instructions& entry) {
    out.field("kind", "instructions");
    out.field("id", entry.id);
    writeSegments(out, entry.segments);
    out.key("toolDefinitions");
    out.beginArray();
    for (const auto& definition : entry.toolDefinitions)
        writeTool(out, definition.name, definition.description, definition.parameters);
    out.endArray();
}

void writeBody(JSONWriter& out, const Transcript::Prompt& entry) {
    out.field("kind", "prompt");
    out.field("id", entry.id);
    writeSegments(out, entry.segments);
    out.key("options");
    out.beginObject();
    out.field("temperature", entry.options.temperature);
    out.field("maximumResponseTokens", entry.options.maximumResponseTokens);
    out.endObject();
}

void writeBody(JSONWriter& out, const Transcript::Response& entry) {
    out.field("kind", "response");
    out.field("id", entry.id);
    out.field("assetIDs", entry.assetIDs);
    writeSegments(out, entry.segments);
}

void writeBody(JSONWriter& out, const Transcript::ToolCalls& entry) {
    out.field("kind", "toolCalls");
    out.field("id", entry.id);
    out.key("calls");
    out.beginArray();
    for (const auto& call : entry.calls) {
        out.beginObject();
        out.field("id", call.id);
        out.field("toolName", call.toolName);
        out.field("arguments", call.arguments.jsonString());
        out.endObject();
    }
    out.endArray();
}

void writeBody(JSONWriter& out, const Transcript::ToolOutput& entry) {
    out.field("kind", "toolOutput");
    out.field("id", entry.id);
    out.field("toolName", entry.toolName);
    writeSegments(out, entry.segments);
}

} // namespace

std::string PlatformDescription::schemaNode(const GenerationSchema& schema) {
    JSONWriter out;
    writeSchema(out, schema.root());
    return out.take();
}

std::string PlatformDescription::session(const std::vector<std::shared_ptr<Tool>>& tools,
                                         const Transcript& transcript) {
    JSONWriter out;
    out.beginObject();
    out.key("tools");
    out.beginArray();
    for (const auto& tool : tools) writeTool(out, tool->name(), tool->description(), tool->parameters());
    out.endArray();
    out.key("entries");
    out.beginArray();
    for (const auto& entry : transcript.entries) {
        out.beginObject();
        std::visit([&out](const auto& body) { writeBody(out, body); }, entry);
        out.endObject();
    }
    out.endArray();
    out.endObject();
    return out.take();
}

namespace {

// ---- Crossing the bridge ----

std::string copyText(const bpm_text& text) {
    return text.length == 0 ? std::string() : std::string(text.bytes, text.length);
}

// A reply whose texts are freed through the bridge however the call ends.
struct OwnedReply {
    bpm_reply reply{};
    OwnedReply() = default;
    OwnedReply(const OwnedReply&) = delete;
    OwnedReply& operator=(const OwnedReply&) = delete;
    ~OwnedReply() {
        bpm_free_text(reply.text.bytes);
        bpm_free_text(reply.tool_name.bytes);
    }
    std::string text() const { return copyText(reply.text); }
    std::string toolName() const { return copyText(reply.tool_name); }
};

struct TextRelease {
    void operator()(char* bytes) const { bpm_free_text(bytes); }
};

struct SessionRelease {
    void operator()(bpm_session* session) const { bpm_session_release(session); }
};
using SessionHandle = std::unique_ptr<bpm_session, SessionRelease>;

struct StreamRelease {
    void operator()(bpm_stream* stream) const { bpm_stream_release(stream); }
};
using StreamHandle = std::unique_ptr<bpm_stream, StreamRelease>;

bpm_options bridgeOptions(const GenerationOptions& options) {
    bpm_options bridged{};
    bridged.has_temperature = options.temperature.has_value();
    bridged.temperature = options.temperature.value_or(0);
    bridged.has_maximum_response_tokens = options.maximumResponseTokens.has_value();
    bridged.maximum_response_tokens = options.maximumResponseTokens.value_or(0);
    return bridged;
}

std::optional<GenerationError::Case> generationCase(bpm_status status) {
    using Case = GenerationError::Case;
    switch (status) {
    case BPM_ERROR_CONTEXT_WINDOW: return Case::exceededContextWindowSize;
    case BPM_ERROR_ASSETS_UNAVAILABLE: return Case::assetsUnavailable;
    case BPM_ERROR_GUARDRAIL: return Case::guardrailViolation;
    case BPM_ERROR_RATE_LIMITED: return Case::rateLimited;
    case BPM_ERROR_UNSUPPORTED_GUIDE: return Case::unsupportedGuide;
    case BPM_ERROR_UNSUPPORTED_LANGUAGE: return Case::unsupportedLanguageOrLocale;
    case BPM_ERROR_DECODING_FAILURE: return Case::decodingFailure;
    case BPM_ERROR_CONCURRENT_REQUESTS: return Case::concurrentRequests;
    case BPM_ERROR_REFUSAL: return Case::refusal;
    // A case newer than this build: any case but the four with answers of their own is answered alike.
    case BPM_ERROR_GENERATION_OTHER: return Case::decodingFailure;
    default: return std::nullopt;
    }
}

// The interface's error for a failed bridge call. The platform's description is the message; an empty one
// is replaced, since it becomes the text a client reads.
[[noreturn]] void throwFailure(bpm_status status, const OwnedReply& reply) {
    std::string description = reply.text();
    if (description.empty()) description = "The platform model failed (status " + std::to_string(status) + ").";
    if (const auto errorCase = generationCase(status)) throw GenerationError(*errorCase, description);
    switch (status) {
    case BPM_ERROR_TOOL_CALL:
        throw ToolCallError(reply.toolName(), std::make_exception_ptr(std::runtime_error(description)));
    case BPM_ERROR_SCHEMA: throw GenerationSchema::SchemaError(description);
    default: throw std::runtime_error(description);
    }
}

GeneratedContent contentOf(std::string_view json) {
    try {
        return GeneratedContent::fromPlatformJSON(json);
    } catch (const GeneratedContent::InvalidJSON&) {
        return GeneratedContent(std::string(json));
    }
}

// ---- The tool hook ----

// The session's tools as the hook finds them, and the calls of tools that run elsewhere, which the hook ends
// the generation with. Shared by the session and the bridge, which lets go of it after its last hook call, so
// it outlives every generation however the host drops the session.
class ToolTable {
public:
    explicit ToolTable(std::vector<std::shared_ptr<Tool>> tools) : tools_(std::move(tools)) {}

    // Runs the named tool, from any of the platform's threads.
    bpm_status call(std::string_view name, std::string_view arguments) {
        for (const auto& tool : tools_) {
            if (tool->name() != name) continue;
            GeneratedContent content = contentOf(arguments);
            if (tool->call(content)) return BPM_ERROR_TOOL_CALL; // its output would have nowhere to go
            const std::lock_guard guard(lock_);
            handedBack_.push_back({{}, std::string(name), std::move(content)});
            return BPM_ERROR_CAPTURED_TOOL_CALL;
        }
        return BPM_ERROR_TOOL_CALL;
    }

    // The calls handed back since the last take, in the order made.
    std::vector<Transcript::ToolCall> takeHandedBack() {
        const std::lock_guard guard(lock_);
        return std::exchange(handedBack_, {});
    }

private:
    const std::vector<std::shared_ptr<Tool>> tools_;
    std::mutex lock_;
    std::vector<Transcript::ToolCall> handedBack_;
};
using SharedToolTable = std::shared_ptr<ToolTable>;

// Called from Swift frames: nothing may unwind out of here.
bpm_status callTool(void* context, const char* name, size_t nameLength, const char* arguments,
                    size_t argumentsLength) noexcept {
    try {
        return (*static_cast<SharedToolTable*>(context))
            ->call(std::string_view(name, nameLength), std::string_view(arguments, argumentsLength));
    } catch (...) {
        return BPM_ERROR_TOOL_CALL;
    }
}

void releaseTools(void* context) noexcept {
    delete static_cast<SharedToolTable*>(context);
}

// ---- The latest tool-calls entry ----

const JSONValue& member(const JSONValue::Object& object, std::string_view key) {
    const auto found = object.find(key);
    if (found == object.end()) throw std::runtime_error("missing member");
    return found->second;
}

const std::string& stringMember(const JSONValue::Object& object, std::string_view key) {
    const std::string* text = member(object, key).stringValue();
    if (!text) throw std::runtime_error("not a string");
    return *text;
}

Transcript::ToolCalls toolCallsEntry(std::string_view json) {
    const JSONValue document = JSONCoding::decoder().decode<JSONValue>(json);
    const JSONValue::Object* entry = document.objectValue();
    const JSONValue::Array* calls = entry ? member(*entry, "calls").arrayValue() : nullptr;
    if (!calls) throw std::runtime_error("not a tool-calls entry");
    Transcript::ToolCalls result{stringMember(*entry, "id"), {}};
    for (const JSONValue& value : *calls) {
        const JSONValue::Object* call = value.objectValue();
        if (!call) throw std::runtime_error("not a tool call");
        result.calls.push_back(
            {stringMember(*call, "id"), stringMember(*call, "toolName"), contentOf(stringMember(*call, "arguments"))});
    }
    return result;
}

// The tool-calls entry the platform's transcript gained in the latest generation; nothing when there is
// none or its text cannot be read.
std::optional<Transcript::ToolCalls> latestToolCalls(bpm_session* session) noexcept {
    try {
        bpm_text json{};
        const int found = bpm_latest_tool_calls(session, &json);
        const std::unique_ptr<char, TextRelease> owned(json.bytes);
        if (!found) return std::nullopt;
        return toolCallsEntry(std::string_view(json.bytes ? json.bytes : "", json.length));
    } catch (...) {
        return std::nullopt;
    }
}

std::vector<Transcript::TextSegment> textSegments(std::string text) {
    return {{Unicode::randomUUID(), std::move(text)}};
}

Transcript::Prompt promptEntry(std::string text, const GenerationOptions& options) {
    return {Unicode::randomUUID(), textSegments(std::move(text)), options};
}

Transcript::Response responseEntry(std::string text) {
    return {Unicode::randomUUID(), {}, textSegments(std::move(text))};
}

// ---- Sessions and streams ----

class PlatformSession final : public LanguageModelSession, public std::enable_shared_from_this<PlatformSession> {
public:
    PlatformSession(SessionHandle handle, SharedToolTable tools, Transcript transcript)
        : handle_(std::move(handle)), tools_(std::move(tools)), known_(std::move(transcript)) {}

    Response respond(const std::string& prompt, const GenerationOptions& options) override {
        return answer(prompt, options, [&](const bpm_options* bridged, bpm_reply* reply) {
            return bpm_respond(handle_.get(), prompt.data(), prompt.size(), bridged, reply);
        });
    }

    std::unique_ptr<ResponseStream> streamResponse(const std::string& prompt,
                                                   const GenerationOptions& options) override;

    GeneratedResponse respond(const std::string& prompt, const GenerationSchema& schema, bool includeSchemaInPrompt,
                              const GenerationOptions& options) override {
        const std::string node = schemaNode(schema);
        Response response = answer(prompt, options, [&](const bpm_options* bridged, bpm_reply* reply) {
            return bpm_respond_guided(handle_.get(), prompt.data(), prompt.size(), node.data(), node.size(),
                                      includeSchemaInPrompt, bridged, reply);
        });
        return {contentOf(response.content), std::move(response.toolCalls)};
    }

    std::unique_ptr<ResponseStream> streamResponse(const std::string& prompt, const GenerationSchema& schema,
                                                   bool includeSchemaInPrompt,
                                                   const GenerationOptions& options) override;

    // The entries this session was made with and those it has seen since.
    Transcript transcript() const override { return known_; }

    void noteEntry(Transcript::Entry entry) { known_.entries.push_back(std::move(entry)); }

    // The calls that ended the latest generation: those of the platform's new tool-calls entry, with its ids,
    // which the transcript notes; else, when the platform kept no such entry, the calls as the hook saw them.
    std::vector<Transcript::ToolCall> handedBackCalls() {
        std::vector<Transcript::ToolCall> seen = tools_->takeHandedBack();
        if (auto latest = latestToolCalls(handle_.get()); latest && !latest->calls.empty()) {
            std::vector<Transcript::ToolCall> calls = latest->calls;
            noteEntry(std::move(*latest));
            return calls;
        }
        if (seen.empty())
            throw std::runtime_error("The platform model ended the generation at a tool call but reported none.");
        return seen;
    }

private:
    // One whole answer from the bridge call `ask`, or the calls it ended with; the transcript notes the
    // prompt and the answer.
    template <class Ask> Response answer(const std::string& prompt, const GenerationOptions& options, Ask&& ask) {
        tools_->takeHandedBack(); // a failed generation's leftovers
        noteEntry(promptEntry(prompt, options));
        const bpm_options bridged = bridgeOptions(options);
        OwnedReply reply;
        const bpm_status status = ask(&bridged, &reply.reply);
        if (status == BPM_ERROR_CAPTURED_TOOL_CALL) return {{}, handedBackCalls()};
        if (status != BPM_OK) throwFailure(status, reply);
        std::string text = reply.text();
        noteEntry(responseEntry(text));
        return {std::move(text), {}};
    }

    std::unique_ptr<ResponseStream> started(const std::string& prompt, const GenerationOptions& options, bool guided,
                                            bpm_stream* stream);

    SessionHandle handle_;
    SharedToolTable tools_;
    Transcript known_;
};

// Guided snapshots are the platform's JSON text of partial content, which may close what is still open
// ({"a":"b"} before {"a":"bc"}). Only what two different snapshots in a row agree on is handed on, cut to
// whole UTF-8 sequences, and the whole text once the stream has ended: each snapshot is a prefix of the last.
class SettledText {
public:
    std::string settle(const std::string& text) {
        if (text == previous_) return settled_;
        std::size_t length = std::ranges::mismatch(previous_, text).in2 - text.begin();
        while (length > 0 && length < text.size() && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80)
            --length;
        previous_ = text;
        return settled_ = text.substr(0, length);
    }

private:
    std::string previous_, settled_;
};

class PlatformStream final : public ResponseStream {
public:
    PlatformStream(std::shared_ptr<PlatformSession> session, StreamHandle handle, bool guided)
        : session_(std::move(session)), handle_(std::move(handle)), guided_(guided) {}

    // After the end, nothing again; after an error, the same error again: the bridge is not asked twice.
    std::optional<Snapshot> next() override {
        if (failure_) std::rethrow_exception(failure_);
        if (ended_) return std::nullopt;
        OwnedReply reply;
        const bpm_status status = bpm_stream_next(handle_.get(), &reply.reply);
        if (status == BPM_OK) {
            latest_ = reply.text();
            return Snapshot{guided_ ? settled_.settle(latest_) : latest_};
        }
        if (status == BPM_END) {
            ended_ = true;
            session_->noteEntry(responseEntry(latest_));
            if (guided_) return Snapshot{latest_};
            return std::nullopt;
        }
        try {
            if (status != BPM_ERROR_CAPTURED_TOOL_CALL) throwFailure(status, reply);
            toolCalls_ = session_->handedBackCalls();
            ended_ = true;
            return std::nullopt;
        } catch (...) {
            failure_ = std::current_exception();
            throw;
        }
    }

    std::vector<Transcript::ToolCall> toolCalls() const override { return toolCalls_; }

private:
    std::shared_ptr<PlatformSession> session_; // released after the stream: the stream keeps it alive
    StreamHandle handle_;
    const bool guided_;
    SettledText settled_;
    std::string latest_;
    bool ended_ = false;
    std::vector<Transcript::ToolCall> toolCalls_;
    std::exception_ptr failure_;
};

std::unique_ptr<ResponseStream> PlatformSession::streamResponse(const std::string& prompt,
                                                                const GenerationOptions& options) {
    const bpm_options bridged = bridgeOptions(options);
    return started(prompt, options, false, bpm_stream_start(handle_.get(), prompt.data(), prompt.size(), &bridged));
}

std::unique_ptr<ResponseStream> PlatformSession::streamResponse(const std::string& prompt,
                                                                const GenerationSchema& schema,
                                                                bool includeSchemaInPrompt,
                                                                const GenerationOptions& options) {
    const bpm_options bridged = bridgeOptions(options);
    const std::string node = schemaNode(schema);
    return started(prompt, options, true,
                   bpm_stream_start_guided(handle_.get(), prompt.data(), prompt.size(), node.data(), node.size(),
                                           includeSchemaInPrompt, &bridged));
}

std::unique_ptr<ResponseStream> PlatformSession::started(const std::string& prompt, const GenerationOptions& options,
                                                         bool guided, bpm_stream* stream) {
    StreamHandle handle(stream);
    tools_->takeHandedBack(); // a failed generation's leftovers
    noteEntry(promptEntry(prompt, options));
    if (!handle) throw std::runtime_error("The platform model could not start a stream.");
    return std::make_unique<PlatformStream>(shared_from_this(), std::move(handle), guided);
}

} // namespace

// ---- The model ----

SystemLanguageModel::Availability PlatformModel::availability() const {
    switch (bpm_availability_now()) {
    case BPM_AVAILABLE: return {};
    case BPM_UNAVAILABLE_DEVICE_NOT_ELIGIBLE: return {UnavailableReason::deviceNotEligible};
    case BPM_UNAVAILABLE_NOT_ENABLED: return {UnavailableReason::appleIntelligenceNotEnabled};
    case BPM_UNAVAILABLE_MODEL_NOT_READY: return {UnavailableReason::modelNotReady};
    case BPM_UNAVAILABLE_OTHER: return {UnavailableReason::other};
    }
    return {UnavailableReason::other};
}

std::shared_ptr<LanguageModelSession> PlatformModel::makeSession(std::vector<std::shared_ptr<Tool>> tools,
                                                                 Transcript transcript) const {
    const std::string description = PlatformDescription::session(tools, transcript);
    auto table = std::make_shared<ToolTable>(std::move(tools));
    auto bridgeShare = std::make_unique<SharedToolTable>(table);
    bpm_status status = BPM_OK;
    OwnedReply error;
    SessionHandle handle(bpm_session_create(description.data(), description.size(), &callTool, bridgeShare.release(),
                                            &releaseTools, &status, &error.reply));
    if (!handle) throwFailure(status == BPM_OK ? BPM_ERROR_OTHER : status, error);
    return std::make_shared<PlatformSession>(std::move(handle), std::move(table), std::move(transcript));
}

} // namespace brindle::model
