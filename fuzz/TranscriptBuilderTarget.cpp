#include "fuzz/FuzzTargets.h"

#include "BrindleBase/JSONDecoding.h"
#include "BrindleKit/SchemaTranslator.h"
#include "BrindleKit/TranscriptBuilder.h"

#include <optional>
#include <set>

namespace brindle::fuzz {

namespace {

using model::Transcript;

// The input is a JSON array of messages, decoded as a request's messages are.
struct MessageList {
    std::vector<ChatMessage> messages;
    static MessageList decode(const JSONCoding::Node& node) {
        return {JSONCoding::decodeValue<std::vector<ChatMessage>>(node)};
    }
};

bool isInstruction(const ChatMessage& message) {
    return message.role() == "system" || message.role() == "developer";
}

// What a successful build must look like, worked out from the messages alone: the prompt, the instruction
// text, and how many history entries each kind of message makes. Nothing when the build must fail.
struct Expected {
    std::string prompt;
    std::optional<std::string> instructions;
    std::size_t entries = 0;
};

std::optional<Expected> expectedBuild(const std::vector<ChatMessage>& messages, bool withTools) {
    if (messages.empty()) return std::nullopt;
    Expected expected;
    std::vector<const ChatMessage*> turns;
    std::vector<std::string> instructions;
    for (const ChatMessage& message : messages) {
        if (!isInstruction(message)) {
            turns.push_back(&message);
        } else if (const auto text = message.text()) {
            instructions.push_back(*text);
        } else {
            return std::nullopt;
        }
    }
    expected.prompt = model::kContinuationPrompt;
    if (!turns.empty() && turns.back()->role() == "user") {
        if (!turns.back()->text()) return std::nullopt;
        expected.prompt = *turns.back()->text();
        turns.pop_back();
    }
    if (!instructions.empty() || withTools) {
        expected.instructions = "";
        for (std::size_t i = 0; i < instructions.size(); ++i)
            *expected.instructions += (i > 0 ? "\n\n" : "") + instructions[i];
        ++expected.entries;
    }
    for (const ChatMessage* turn : turns) {
        if (turn->role() == "user" && !turn->text()) return std::nullopt;
        if (turn->role() != "user" && turn->role() != "assistant" && turn->role() != "tool") return std::nullopt;
        const bool calls = turn->role() == "assistant" && turn->toolCalls() && !turn->toolCalls()->empty();
        expected.entries += calls && !turn->text().value_or("").empty() ? 2 : 1;
    }
    return expected;
}

const std::string& entryID(const Transcript::Entry& entry) {
    return std::visit([](const auto& value) -> const std::string& { return value.id; }, entry);
}

void checkBuilt(const TranscriptBuilder::BuildResult& built, const Expected& expected, std::size_t toolCount) {
    check(built.prompt == expected.prompt, "the prompt is not the last user message's text");
    check(built.transcript.entries.size() == expected.entries, "history entries were lost or invented");
    std::set<std::string> ids;
    for (const Transcript::Entry& entry : built.transcript.entries) {
        if (std::holds_alternative<Transcript::ToolOutput>(entry)) continue; // the client's call id, if it gave one
        check(entryID(entry).size() == 36 && ids.insert(entryID(entry)).second, "an entry id is not a fresh UUID");
    }
    if (!expected.instructions) return;
    const auto* instructions = std::get_if<Transcript::Instructions>(&built.transcript.entries.front());
    check(instructions && instructions->segments.size() == 1 &&
              instructions->segments[0].content == *expected.instructions,
          "the instructions are not the system texts joined by blank lines");
    check(instructions->toolDefinitions.size() == toolCount, "tool definitions were lost");
}

// A window of a few entries, so that small inputs overflow it.
class EntryCountingMeter final : public model::ContextMeter {
public:
    explicit EntryCountingMeter(std::size_t window) : window_(window) {}
    bool exceededAfter(const Transcript::Entry&) override { return ++counted_ > window_; }

private:
    std::size_t window_;
    std::size_t counted_ = 0;
};

// An entry without its random ids.
std::string withoutIDs(const Transcript::Entry& entry) {
    std::string shape = std::to_string(entry.index());
    std::visit(
        [&](const auto& value) {
            if constexpr (requires { value.segments; })
                for (const auto& segment : value.segments) shape += "|" + segment.content;
        },
        entry);
    return shape;
}

// Built with a meter, the same messages give the same error, or the same prompt and a transcript that is the
// whole one or, once past the window, a part of its beginning.
void checkMetered(const std::vector<ChatMessage>& messages, const std::vector<Transcript::ToolDefinition>& tools,
                  std::size_t window) {
    EntryCountingMeter meter(window);
    std::optional<TranscriptBuilder::BuildResult> whole, metered;
    std::string wholeError, meteredError;
    try {
        whole = TranscriptBuilder::build(messages, tools);
    } catch (const TranscriptBuilder::BuildError& error) {
        wholeError = error.what();
    }
    try {
        metered = TranscriptBuilder::build(messages, tools, &meter);
    } catch (const TranscriptBuilder::BuildError& error) {
        meteredError = error.what();
    }
    check(whole.has_value() == metered.has_value() && wholeError == meteredError,
          "a meter changed whether or how the messages are refused");
    if (!whole) return;
    const auto& all = whole->transcript.entries;
    const auto& kept = metered->transcript.entries;
    check(metered->prompt == whole->prompt, "a meter changed the prompt");
    check(kept.size() == all.size() || (kept.size() > window && kept.size() < all.size()),
          "turns were left out before the window was exceeded");
    for (std::size_t i = 0; i < kept.size(); ++i)
        check(withoutIDs(kept[i]) == withoutIDs(all[i]), "a metered transcript is not the beginning of the whole");
}

} // namespace

// Input: byte 0 chooses whether a tool is offered (odd: yes) and, in its next three bits, a window of that many
// entries for a metered build (0: none); the rest is a JSON array of messages.
void transcriptBuilder(std::string_view input) {
    if (input.empty()) return;
    std::vector<Transcript::ToolDefinition> tools;
    if (input[0] & 1)
        tools.push_back(
            {"get_weather", "Weather for a city", SchemaTranslator::generationSchema(std::nullopt, "get_weather")});
    std::optional<MessageList> list;
    try {
        list.emplace(JSONCoding::decoder().decode<MessageList>(input.substr(1)));
    } catch (const JSONCoding::DecodingError&) {
        return;
    }
    const std::optional<Expected> expected = expectedBuild(list->messages, !tools.empty());
    try {
        const TranscriptBuilder::BuildResult built = TranscriptBuilder::build(list->messages, tools);
        check(expected.has_value(), "messages that cannot make a transcript were accepted");
        checkBuilt(built, *expected, tools.size());
    } catch (const TranscriptBuilder::BuildError&) {
        check(!expected, "messages that make a transcript were refused");
    }
    if (const std::size_t window = (static_cast<unsigned char>(input[0]) >> 1) & 7; window > 0)
        checkMetered(list->messages, tools, window);
}

} // namespace brindle::fuzz
