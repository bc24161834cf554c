#include "BrindleKit/TranscriptBuilder.h"

#include "BrindleBase/Unicode.h"

#include <algorithm>
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

bool isInstruction(const ChatMessage& message) {
    return message.role() == "system" || message.role() == "developer";
}

// System and developer messages are gathered wherever they stand: the model takes instructions only as
// the transcript's first entry, so their position among the turns cannot be kept.
std::vector<std::string> instructionTexts(const std::vector<ChatMessage>& messages) {
    std::vector<std::string> texts;
    for (const ChatMessage& message : messages) {
        if (!isInstruction(message)) continue;
        std::optional<std::string> text = message.text();
        if (!text) throw unsupported(kSystemNonText);
        texts.push_back(std::move(*text));
    }
    return texts;
}

std::string userText(const ChatMessage& message) {
    std::optional<std::string> text = message.text();
    if (!text) throw unsupported(kUserUnsupported);
    return std::move(*text);
}

// The final user turn is what the model answers now, so it leaves the history and becomes the prompt.
// A conversation that ends anywhere else (typically with tool results) is continued by a fixed prompt.
// Returns the prompt and the turn it came from, if any.
std::pair<std::string, const ChatMessage*> takePrompt(const std::vector<ChatMessage>& messages) {
    const auto last = std::find_if_not(messages.rbegin(), messages.rend(), isInstruction);
    if (last == messages.rend() || last->role() != "user") return {std::string(model::kContinuationPrompt), nullptr};
    return {userText(*last), &*last};
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
    return {message.toolCallId() ? *message.toolCallId() : Unicode::randomUUID(),
            message.name() ? *message.name() : "tool", segments(message.text().value_or(""))};
}

// What a turn of the history must be to become entries.
void checkHistory(const ChatMessage& message) {
    if (message.role() == "user") {
        if (!message.hasText()) throw unsupported(kUserUnsupported);
    } else if (message.role() != "assistant" && message.role() != "tool") {
        throw unsupported(kUnsupportedRole + std::string(message.role()));
    }
}

void appendHistory(const ChatMessage& message, std::vector<Transcript::Entry>& entries) {
    checkHistory(message);
    if (message.role() == "user")
        entries.emplace_back(Transcript::Prompt{Unicode::randomUUID(), segments(userText(message)), {}});
    else if (message.role() == "assistant")
        appendAssistant(message, entries);
    else
        entries.emplace_back(toolOutput(message));
}

} // namespace

BuildResult build(const std::vector<ChatMessage>& messages,
                  std::vector<model::Transcript::ToolDefinition> toolDefinitions, model::ContextMeter* meter) {
    if (messages.empty()) throw BuildError(BuildError::Kind::emptyMessages, "messages array is empty");
    const std::vector<std::string> instructions = instructionTexts(messages);
    auto [prompt, promptTurn] = takePrompt(messages);

    std::vector<Transcript::Entry> entries;
    if (!instructions.empty() || !toolDefinitions.empty())
        entries.emplace_back(Transcript::Instructions{Unicode::randomUUID(), segments(joined(instructions, "\n\n")),
                                                      std::move(toolDefinitions)});
    // Past the model's window, the turns after are checked but not built.
    std::size_t counted = 0;
    bool pastWindow = false;
    for (const ChatMessage& message : messages) {
        if (isInstruction(message) || &message == promptTurn) continue;
        for (; meter && !pastWindow && counted < entries.size(); ++counted)
            pastWindow = meter->exceededAfter(entries[counted]);
        if (pastWindow)
            checkHistory(message);
        else
            appendHistory(message, entries);
    }
    return {Transcript{std::move(entries)}, std::move(prompt)};
}

} // namespace brindle::TranscriptBuilder
