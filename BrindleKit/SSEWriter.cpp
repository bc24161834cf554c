#include "BrindleKit/SSEWriter.h"

#include "BrindleBase/Unicode.h"

namespace brindle {

std::string makeCompletionID() {
    return "chatcmpl-" + Unicode::randomUUID();
}

std::int64_t unixSeconds(std::chrono::system_clock::time_point time) {
    return std::chrono::duration_cast<std::chrono::seconds>(time.time_since_epoch()).count();
}

void SSEWriter::DeltaToolCall::encode(JSONWriter& writer) const {
    writer.beginObject();
    writer.field("index", index);
    writer.field("id", id);
    writer.field("type", type);
    writer.field("function", function);
    writer.endObject();
}

struct SSEWriter::Delta {
    std::optional<std::string> role;
    std::optional<std::string_view> content;
    std::optional<std::vector<DeltaToolCall>> toolCalls;

    void encode(JSONWriter& writer) const {
        writer.beginObject();
        writer.field("role", role);
        writer.field("content", content);
        writer.field("tool_calls", toolCalls);
        writer.endObject();
    }
};

SSEWriter::SSEWriter(std::string model, std::chrono::system_clock::time_point now)
    : id_(makeCompletionID()), created_(unixSeconds(now)), model_(std::move(model)) {}

bool SSEWriter::takeRole() {
    const bool announce = !sentRole_;
    sentRole_ = true;
    return announce;
}

namespace {

std::string event(std::string json) {
    return "data: " + json + "\n\n";
}

} // namespace

// A chunk: one choice (index 0) with the delta and an optional finish reason, or no choice and the usage.
std::string SSEWriter::frame(const Delta& delta, const char* finishReason, const Usage* usage, bool withChoice) const {
    try {
        JSONWriter writer;
        writer.beginObject();
        writer.field("id", id_);
        writer.field("object", "chat.completion.chunk");
        writer.field("created", created_);
        writer.field("model", model_);
        writer.key("choices");
        writer.beginArray();
        if (withChoice) {
            writer.beginObject();
            writer.field("index", 0);
            writer.field("delta", delta);
            if (finishReason) writer.field("finish_reason", finishReason);
            writer.endObject();
        }
        writer.endArray();
        if (usage) writer.field("usage", *usage);
        writer.endObject();
        return event(writer.take());
    } catch (...) {
        return event("{}");
    }
}

std::string SSEWriter::contentFrame(std::string_view text) {
    Delta delta;
    if (takeRole()) delta.role = "assistant";
    delta.content = text;
    return frame(delta, nullptr, nullptr, true);
}

// Each call keeps its position as its index and goes out whole; the type is always "function".
std::string SSEWriter::toolCallsFrame(const std::vector<ToolCall>& toolCalls) {
    Delta delta;
    if (takeRole()) delta.role = "assistant";
    delta.toolCalls.emplace();
    delta.toolCalls->reserve(toolCalls.size());
    for (std::size_t i = 0; i < toolCalls.size(); ++i)
        delta.toolCalls->push_back({static_cast<std::int64_t>(i), toolCalls[i].id, "function", toolCalls[i].function});
    return frame(delta, nullptr, nullptr, true);
}

std::string SSEWriter::finishFrame(std::string_view reason) const {
    const std::string finishReason(reason);
    return frame(Delta{}, finishReason.c_str(), nullptr, true);
}

std::string SSEWriter::usageFrame(const Usage& usage) const {
    return frame(Delta{}, nullptr, &usage, false);
}

std::string SSEWriter::errorFrame(std::string message, std::string type, std::optional<std::string> code) {
    return event(JSONCoding::encodeString(ErrorBody(std::move(message), std::move(type), std::move(code))));
}

// ---- Token estimates ----

namespace TokenEstimator {

std::int64_t estimate(const std::vector<ChatMessage>& messages) {
    std::int64_t total = 0;
    for (const ChatMessage& message : messages) {
        // A plain string is counted where it lies: text() would copy it, megabytes for a long conversation.
        const std::string* plain = message.plainContent();
        total += (plain ? estimate(*plain) : estimate(message.text().value_or(""))) + 4;
    }
    return total;
}

} // namespace TokenEstimator

} // namespace brindle
