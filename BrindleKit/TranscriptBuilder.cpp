#include "BrindleKit/TranscriptBuilder.h"

#include "BrindleBase/Unicode.h"

#include <utility>

namespace brindle::TranscriptBuilder {

namespace {

using model::Transcript;

constexpr const char* kSystemNonText = "system message contains non-text content";
constexpr const char* kUserUnsupported =
    "user message contains unsupported content parts (images are not supported by the on-device model)";
constexpr const char* kUnsupportedRole = "unsupported message role: ";

BuildError unsupported(const std::string& message) {
    return BuildError(BuildError::Kind::unsupportedContent, message);
}

// One segment holding the text. Built by moving: a braced list would copy the text once more, and a
// conversation may carry megabytes of it.
std::vector<Transcript::TextSegment> segments(std::string content) {
    std::vector<Transcript::TextSegment> list;
    list.push_back({Unicode::randomUUID(), std::move(content)});
    return list;
}

std::string joined(const std::vector<std::string>& texts, const std::string& separator) {
    std::string result;
    for (std::size_t index = 0; index < texts.size(); ++index) {
        if (index > 0) result += separator;
        result += texts[index];
    }
    return result;
}

struct Split {
    std::vector<std::string> instructionTexts;
    std::vector<const ChatMessage*> conversation;
};

// System and developer messages are gathered wherever they stand: the model takes instructions only as
// the transcript's first entry, so their position among the turns cannot be kept.
Split split(const std::vector<ChatMessage>& messages) {
    Split result;
    for (const ChatMessage& message : messages) {
        if (message.role() != "system" && message.role() != "developer") {
            result.conversation.push_back(&message);
            continue;
        }
        std::optional<std::string> text = message.text();
        if (!text) throw unsupported(kSystemNonText);
        result.instructionTexts.push_back(std::move(*text));
    }
    return result;
}

std::string userText(const ChatMessage& message) {
    std::optional<std::string> text = message.text();
    if (!text) throw unsupported(kUserUnsupported);
    return std::move(*text);
}

// The final user turn is what the model answers now, so it leaves the history and becomes the prompt.
// A conversation that ends anywhere else (typically with tool results) is continued by a fixed prompt.
std::string takePrompt(std::vector<const ChatMessage*>& conversation) {
    if (conversation.empty() || conversation.back()->role() != "user") return std::string(model::kContinuationPrompt);
    std::string prompt = userText(*conversation.back());
    conversation.pop_back();
    return prompt;
}

Transcript::Response response(std::string text) {
    return {Unicode::randomUUID(), {}, segments(std::move(text))};
}

// Arguments that are not JSON are still the client's words, so they are kept as a plain string.
model::GeneratedContent arguments(const std::string& text) {
    try {
        return model::GeneratedContent::fromJSON(text);
    } catch (const model::GeneratedContent::InvalidJSON&) {
        return model::GeneratedContent(text);
    }
}

Transcript::ToolCalls toolCalls(const std::vector<ToolCall>& wireCalls) {
    Transcript::ToolCalls entry{Unicode::randomUUID(), {}};
    for (const ToolCall& call : wireCalls)
        entry.calls.push_back({call.id, call.function.name, arguments(call.function.arguments)});
    return entry;
}

void appendAssistant(const ChatMessage& message, std::vector<Transcript::Entry>& entries) {
    std::string text = message.text().value_or("");
    if (!message.toolCalls() || message.toolCalls()->empty()) {
        entries.emplace_back(response(std::move(text)));
        return;
    }
    entries.emplace_back(toolCalls(*message.toolCalls()));
    if (!text.empty()) entries.emplace_back(response(std::move(text)));
}

Transcript::ToolOutput toolOutput(const ChatMessage& message) {
    return {message.toolCallId() ? *message.toolCallId() : Unicode::randomUUID(), message.name().value_or("tool"),
            segments(message.text().value_or(""))};
}

void appendHistory(const ChatMessage& message, std::vector<Transcript::Entry>& entries) {
    if (message.role() == "user")
        entries.emplace_back(Transcript::Prompt{Unicode::randomUUID(), segments(userText(message)), {}});
    else if (message.role() == "assistant")
        appendAssistant(message, entries);
    else if (message.role() == "tool")
        entries.emplace_back(toolOutput(message));
    else
        throw unsupported(kUnsupportedRole + std::string(message.role()));
}

} // namespace

BuildResult build(const std::vector<ChatMessage>& messages,
                  const std::vector<model::Transcript::ToolDefinition>& toolDefinitions) {
    if (messages.empty()) throw BuildError(BuildError::Kind::emptyMessages, "messages array is empty");
    Split parts = split(messages);
    std::string prompt = takePrompt(parts.conversation);

    std::vector<Transcript::Entry> entries;
    if (!parts.instructionTexts.empty() || !toolDefinitions.empty())
        entries.emplace_back(Transcript::Instructions{
            Unicode::randomUUID(), segments(joined(parts.instructionTexts, "\n\n")), toolDefinitions});
    for (const ChatMessage* message : parts.conversation) appendHistory(*message, entries);
    return {Transcript{std::move(entries)}, std::move(prompt)};
}

} // namespace brindle::TranscriptBuilder
