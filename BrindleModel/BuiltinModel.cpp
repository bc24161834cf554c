#include "BrindleModel/BuiltinModel.h"

#include "BrindleModel/BuiltinDirectives.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <exception>
#include <map>
#include <optional>
#include <string_view>
#include <utility>

#include "BrindleBase/TokenEstimator.h"
#include "BrindleBase/Unicode.h"

namespace brindle::model {
namespace {

using Kind = DynamicGenerationSchema::Kind;
using Entries = std::vector<Transcript::Entry>;
using Tools = std::vector<std::shared_ptr<Tool>>;

Transcript::TextSegment segment(std::string content) {
    return {Unicode::randomUUID(), std::move(content)};
}

std::string joined(const std::vector<Transcript::TextSegment>& segments) {
    std::string text;
    for (const auto& piece : segments) text += piece.content;
    return text;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}
bool isWordCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// ---- The context window ----

std::string text(const Transcript::Instructions& entry) {
    return joined(entry.segments);
}
std::string text(const Transcript::Prompt& entry) {
    return joined(entry.segments);
}
std::string text(const Transcript::Response& entry) {
    return joined(entry.segments);
}
std::string text(const Transcript::ToolOutput& entry) {
    return entry.toolName + " " + joined(entry.segments);
}
std::string text(const Transcript::ToolCalls& entry) {
    std::string all;
    for (const auto& call : entry.calls) all += call.toolName + " " + call.arguments.jsonString() + " ";
    return all;
}

// Roughly the characters the schema would take written out as JSON Schema in the instructions.
std::size_t schemaCharacters(const DynamicGenerationSchema& schema) {
    std::size_t total = 16 + schema.name().size() + schema.description().value_or("").size();
    for (const auto& choice : schema.choices()) total += choice.size() + 3;
    for (const auto& property : schema.properties())
        total += property.name.size() + (property.description ? property.description->size() : 0) +
                 schemaCharacters(*property.schema);
    if (schema.item()) total += schemaCharacters(*schema.item());
    return total;
}

std::int64_t entryTokens(const Transcript::Entry& entry) {
    return TokenEstimator::estimate(std::visit([](const auto& e) { return text(e); }, entry));
}

// The session's tools are counted here and not again as the instructions' tool definitions: both describe
// the same tools, and the model reads each description once. Counting stops as soon as the total is past
// `limit`: what lies beyond changes nothing, and a conversation of megabytes would cost its whole length.
std::int64_t contextTokens(const Transcript& transcript, const Tools& tools, std::string_view prompt,
                           std::int64_t limit) {
    std::int64_t total = TokenEstimator::estimate(prompt);
    for (const auto& tool : tools) {
        if (total > limit) return total;
        total += TokenEstimator::estimate(tool->name() + " " + tool->description());
        total += std::max<std::int64_t>(1, static_cast<std::int64_t>(schemaCharacters(tool->parameters().root()) / 4));
    }
    for (const auto& entry : transcript.entries) {
        if (total > limit) return total;
        total += entryTokens(entry);
    }
    return total;
}

void checkContextWindow(const Transcript& transcript, const Tools& tools, std::string_view prompt) {
    constexpr std::int64_t window = BuiltinModel::kContextWindowTokens;
    if (contextTokens(transcript, tools, prompt, window) > window)
        throw GenerationError(GenerationError::Case::exceededContextWindowSize,
                              "Exceeded model context window size: the conversation needs more than the " +
                                  std::to_string(window) + " tokens the window holds.");
}

// The entries alone past the window: the session's check, which adds the prompt and tools, refuses them too.
class BuiltinContextMeter final : public ContextMeter {
public:
    bool exceededAfter(const Transcript::Entry& entry) override {
        total_ += entryTokens(entry);
        return total_ > BuiltinModel::kContextWindowTokens;
    }

private:
    std::int64_t total_ = 0;
};

// ---- Tool arguments ----

using PromptValues = std::map<std::string, std::string, std::less<>>;

// The value after '=' at `start`: a quoted text, or everything up to the next blank without trailing
// punctuation (so "city=Paris, days=3." reads Paris and 3). Returns the value and where scanning goes on.
std::pair<std::string, std::size_t> valueAt(std::string_view prompt, std::size_t start) {
    if (start < prompt.size() && prompt[start] == '"') {
        const std::size_t close = std::min(prompt.find('"', start + 1), prompt.size());
        return {std::string(prompt.substr(start + 1, close - start - 1)), close + 1};
    }
    std::size_t end = start;
    while (end < prompt.size() && !isBlank(prompt[end])) ++end;
    std::size_t valueEnd = end;
    while (valueEnd > start && std::string_view(",;.!?").find(prompt[valueEnd - 1]) != std::string_view::npos)
        --valueEnd;
    return {std::string(prompt.substr(start, valueEnd - start)), end};
}

// Every name=value of the prompt; the first value given for a name wins.
PromptValues promptValues(std::string_view prompt) {
    PromptValues values;
    std::size_t i = 0;
    while (i < prompt.size()) {
        std::size_t nameEnd = i;
        while (nameEnd < prompt.size() && isWordCharacter(prompt[nameEnd])) ++nameEnd;
        if (nameEnd == i) {
            ++i;
        } else if (nameEnd < prompt.size() && prompt[nameEnd] == '=') {
            auto [value, next] = valueAt(prompt, nameEnd + 1);
            values.emplace(std::string(prompt.substr(i, nameEnd - i)), std::move(value));
            i = next;
        } else {
            i = nameEnd;
        }
    }
    return values;
}

template <class Number> std::optional<Number> parsed(std::string_view text) {
    Number value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
    return value;
}

// The text as a value of a plain kind or a choice, when it is one.
std::optional<JSONValue> scalar(const DynamicGenerationSchema& schema, std::string_view text) {
    switch (schema.kind()) {
    case Kind::string: return JSONValue(std::string(text));
    case Kind::integer:
        if (auto value = parsed<std::int64_t>(text)) return JSONValue(static_cast<double>(*value));
        return std::nullopt;
    case Kind::number:
        if (auto value = parsed<double>(text); value && std::isfinite(*value)) return JSONValue(*value);
        return std::nullopt;
    case Kind::boolean:
        if (text == "true" || text == "false") return JSONValue(text == "true");
        return std::nullopt;
    case Kind::anyOf:
        if (std::ranges::find(schema.choices(), text) != schema.choices().end()) return JSONValue(std::string(text));
        return std::nullopt;
    case Kind::object:
    case Kind::array: return std::nullopt;
    }
    return std::nullopt;
}

// A comma list whose every piece fits the item kind.
std::optional<JSONValue> givenList(const DynamicGenerationSchema& item, std::string_view list) {
    JSONValue::Array elements;
    for (std::size_t start = 0; start <= list.size();) {
        const std::size_t comma = std::min(list.find(',', start), list.size());
        auto element = scalar(item, list.substr(start, comma - start));
        if (!element) return std::nullopt;
        elements.push_back(std::move(*element));
        start = comma + 1;
    }
    return JSONValue(std::move(elements));
}

JSONValue placeholder(const DynamicGenerationSchema& schema, const std::string& name) {
    switch (schema.kind()) {
    case Kind::string: return JSONValue(name);
    case Kind::integer: return JSONValue(1.0);
    case Kind::number: return JSONValue(0.5);
    case Kind::boolean: return JSONValue(false);
    case Kind::anyOf:
        return JSONValue(std::string(schema.choices().empty() ? std::string_view() : schema.choices().front()));
    case Kind::object:
    case Kind::array: break;
    }
    return JSONValue(nullptr);
}

// A property's value, and whether the prompt gave it: a value the prompt says that fits, else a placeholder.
// An object counts as given when any property inside it is; an optional property appears only when given.
// One visit per schema node: deciding "given" separately from building the value would visit a node once more
// for every enclosing object, twice per level of nesting.
struct Filled {
    JSONValue value;
    bool given = false;
};

Filled filled(const DynamicGenerationSchema& schema, const std::string& name, const PromptValues& values) {
    if (schema.kind() == Kind::object) {
        JSONValue::Object object;
        bool anyGiven = false;
        for (const auto& property : schema.properties()) {
            Filled inner = filled(*property.schema, property.name, values);
            anyGiven = anyGiven || inner.given;
            if (!property.isOptional || inner.given) object.emplace(property.name, std::move(inner.value));
        }
        return {JSONValue(std::move(object)), anyGiven};
    }
    const auto found = values.find(name);
    if (schema.kind() == Kind::array) {
        if (found != values.end())
            if (auto list = givenList(*schema.item(), found->second)) return {std::move(*list), true};
        Filled element = filled(*schema.item(), name, values);
        return {JSONValue(JSONValue::Array{std::move(element.value)}), element.given};
    }
    if (found != values.end())
        if (auto value = scalar(schema, found->second)) return {std::move(*value), true};
    return {placeholder(schema, name), false};
}

JSONValue generated(const DynamicGenerationSchema& schema, const std::string& name, const PromptValues& values) {
    return filled(schema, name, values).value;
}

// Content that fits the schema, with the values the text gives.
GeneratedContent fitted(const GenerationSchema& schema, std::string_view text) {
    const DynamicGenerationSchema& root = schema.root();
    if (root.kind() == Kind::string) return GeneratedContent(std::string(text));
    return GeneratedContent(generated(root, root.name(), promptValues(text)));
}

GeneratedContent toolArguments(const Tool& tool, std::string_view prompt) {
    return fitted(tool.parameters(), prompt);
}

// The object of the text's name=value pairs, every value a string.
std::string jsonObject(std::string_view text) {
    JSONValue::Object object;
    for (auto& [name, value] : promptValues(text)) object.emplace(name, std::move(value));
    return GeneratedContent(JSONValue(std::move(object))).jsonString();
}

// The prompt without the engine's request for a JSON object; nothing when it does not end with one.
std::optional<std::string_view> askingForJSONObject(std::string_view prompt) {
    const std::string suffix = "\n\n" + std::string(kJSONObjectInstruction);
    if (!prompt.ends_with(suffix)) return std::nullopt;
    return prompt.substr(0, prompt.size() - suffix.size());
}

// ---- Choosing the answer ----

bool namesTool(std::string_view prompt, std::string_view name) {
    if (name.empty()) return false;
    for (std::size_t at = prompt.find(name); at != std::string_view::npos; at = prompt.find(name, at + 1)) {
        const std::size_t end = at + name.size();
        const bool startsWord = at == 0 || !isWordCharacter(prompt[at - 1]);
        if (startsWord && (end == prompt.size() || !isWordCharacter(prompt[end]))) return true;
    }
    return false;
}

Tool* namedTool(const Tools& tools, std::string_view prompt) {
    for (const auto& tool : tools)
        if (namesTool(prompt, tool->name())) return tool.get();
    return nullptr;
}

// Calls the tool on this thread. With its output, the turn gains the call and the output; from a tool that
// runs elsewhere, the call comes back (without an id), to end the generation with.
std::optional<Transcript::ToolCall> callTool(Tool& tool, std::string_view prompt, Entries& turn) {
    GeneratedContent arguments = toolArguments(tool, prompt);
    std::optional<std::string> output;
    try {
        output = tool.call(arguments);
    } catch (...) {
        throw ToolCallError(tool.name(), std::current_exception());
    }
    if (!output) return Transcript::ToolCall{{}, tool.name(), std::move(arguments)};
    const std::string callID = Unicode::randomUUID();
    turn.push_back(Transcript::ToolCalls{Unicode::randomUUID(), {{callID, tool.name(), std::move(arguments)}}});
    turn.push_back(Transcript::ToolOutput{callID, tool.name(), {segment(std::move(*output))}});
    return std::nullopt;
}

// One line per tool output at the end of the entries; empty when they do not end with one.
std::string toolReport(const Entries& entries) {
    auto first = entries.end();
    while (first != entries.begin() && std::holds_alternative<Transcript::ToolOutput>(*std::prev(first))) --first;
    std::string report;
    for (auto entry = first; entry != entries.end(); ++entry) {
        const auto& output = std::get<Transcript::ToolOutput>(*entry);
        if (!report.empty()) report += '\n';
        report += "The " + output.toolName + " tool returned: " + joined(output.segments);
    }
    return report;
}

std::string echo(std::string_view prompt) {
    return prompt.empty() ? "You said nothing." : "You said: " + std::string(prompt);
}

// Byte offsets where each word ends; a word takes the blanks before it along, so the prefixes up to these
// offsets are the text as it grows word by word.
std::vector<std::size_t> wordEnds(std::string_view text) {
    std::vector<std::size_t> ends;
    for (std::size_t i = 0; i < text.size();) {
        while (i < text.size() && isBlank(text[i])) ++i;
        while (i < text.size() && !isBlank(text[i])) ++i;
        ends.push_back(i);
    }
    return ends;
}

// The longest prefix, in whole words, whose estimate stays within the limit: empty for a limit below 1.
// Every answer begins with a short word ("You", "The"), so a positive limit keeps at least that word.
std::string limited(std::string answer, std::optional<std::int64_t> maximumTokens) {
    if (!maximumTokens || TokenEstimator::estimate(answer) <= *maximumTokens) return answer;
    const std::string_view whole = answer;
    const auto ends = wordEnds(whole);
    const auto tooLong = std::partition_point(ends.begin(), ends.end(), [&](std::size_t end) {
        return TokenEstimator::estimate(whole.substr(0, end)) <= *maximumTokens;
    });
    answer.resize(tooLong == ends.begin() ? 0 : *std::prev(tooLong));
    return answer;
}

// ---- Sessions ----

// One generation: the answer and the entries the transcript gains once it has been delivered; or the call
// of a tool that runs elsewhere, which ends it at once and leaves the transcript as it was.
struct Turn {
    std::string answer;
    Entries entries;
    std::vector<Transcript::ToolCall> toolCalls;
};

class BuiltinSession final : public LanguageModelSession, public std::enable_shared_from_this<BuiltinSession> {
public:
    BuiltinSession(Tools tools, Transcript transcript) : tools_(std::move(tools)), transcript_(std::move(transcript)) {}

    Response respond(const std::string& prompt, const GenerationOptions& options) override {
        return answer(prompt, options, nullptr);
    }
    std::unique_ptr<ResponseStream> streamResponse(const std::string& prompt,
                                                   const GenerationOptions& options) override;
    GeneratedResponse respond(const std::string& prompt, const GenerationSchema& schema, bool,
                              const GenerationOptions& options) override {
        Response response = answer(prompt, options, &schema);
        if (!response.toolCalls.empty()) return {GeneratedContent(std::string()), std::move(response.toolCalls)};
        return {GeneratedContent::fromJSON(response.content), {}};
    }
    std::unique_ptr<ResponseStream> streamResponse(const std::string& prompt, const GenerationSchema& schema, bool,
                                                   const GenerationOptions& options) override;
    Transcript transcript() const override { return transcript_; }

    // Throws GenerationError or ToolCallError; the transcript is left as it was. Under a schema, or asked for
    // a JSON object, the answer is the JSON text of the plain answer's name=value pairs fitted into it, whole
    // whatever the response limit.
    Turn generate(const std::string& prompt, const GenerationOptions& options,
                  const GenerationSchema* schema = nullptr) {
        Turn turn;
        turn.entries.push_back(Transcript::Prompt{Unicode::randomUUID(), {segment(prompt)}, {}});
        const auto jsonObjectPrompt = askingForJSONObject(prompt);
        const std::string_view asked = jsonObjectPrompt.value_or(prompt);
        const bool continues = asked == kContinuationPrompt;
        if (std::string report = toolReport(transcript_.entries); continues && !report.empty()) {
            turn.answer = std::move(report);
        } else if (Tool* tool = namedTool(tools_, asked)) {
            if (auto handedBack = callTool(*tool, asked, turn.entries)) {
                turn.toolCalls.push_back(std::move(*handedBack));
                return turn;
            }
            turn.answer = toolReport(turn.entries);
        } else {
            turn.answer = echo(asked);
        }
        if (schema)
            turn.answer = fitted(*schema, turn.answer).jsonString();
        else if (jsonObjectPrompt)
            turn.answer = jsonObject(turn.answer);
        else
            turn.answer = limited(std::move(turn.answer), options.maximumResponseTokens);
        turn.entries.push_back(Transcript::Response{Unicode::randomUUID(), {}, {segment(turn.answer)}});
        return turn;
    }

    void commit(Turn turn) {
        for (auto& entry : turn.entries) transcript_.entries.push_back(std::move(entry));
    }

    // What every generation does first: the window's check, then the directives' failure cued for the start.
    // Returns the directives.
    BuiltinDirectives begin(const std::string& prompt) const {
        checkContextWindow(transcript_, tools_, prompt);
        BuiltinDirectives directives = directivesFor(prompt);
        directives.failIfFirst();
        return directives;
    }

private:
    // Read from the last user message: the prompt, or the latest user turn when the conversation goes on
    // after tool output.
    BuiltinDirectives directivesFor(const std::string& prompt) const {
        if (prompt != kContinuationPrompt) return BuiltinDirectives::read(prompt);
        for (auto entry = transcript_.entries.rbegin(); entry != transcript_.entries.rend(); ++entry)
            if (const auto* user = std::get_if<Transcript::Prompt>(&*entry))
                return BuiltinDirectives::read(joined(user->segments));
        return {};
    }

    // One whole answer, generated and delivered as the prompt's directives ask.
    Response answer(const std::string& prompt, const GenerationOptions& options, const GenerationSchema* schema) {
        const BuiltinDirectives directives = begin(prompt);
        Turn turn = generate(prompt, options, schema);
        if (!turn.toolCalls.empty()) return {{}, std::move(turn.toolCalls)};
        if (!directives.empty()) // the answer grows out of sight, but at the pace and with the failure asked for
            for (CuedGrowth growth(wordEnds(turn.answer), directives); growth.next();) {
            }
        std::string answer = turn.answer;
        commit(std::move(turn));
        return {std::move(answer), {}};
    }

    Tools tools_;
    Transcript transcript_;
};

// Generates on the first next(), so a tool call or an error comes before any text; then hands out the
// answer word by word, as the directives pace and cut it, and records the turn once the last word is read.
class BuiltinStream final : public ResponseStream {
public:
    BuiltinStream(std::shared_ptr<BuiltinSession> session, std::string prompt, GenerationOptions options,
                  std::optional<GenerationSchema> schema = std::nullopt)
        : session_(std::move(session)), prompt_(std::move(prompt)), options_(options), schema_(std::move(schema)) {}

    std::optional<Snapshot> next() override {
        if (!started_) {
            started_ = true;
            const BuiltinDirectives directives = session_->begin(prompt_);
            turn_ = session_->generate(prompt_, options_, schema_ ? &*schema_ : nullptr);
            toolCalls_ = std::exchange(turn_->toolCalls, {});
            if (!toolCalls_.empty())
                turn_.reset();
            else
                growth_.emplace(wordEnds(turn_->answer), directives);
        }
        if (!turn_) return std::nullopt;
        if (const auto end = nextEnd()) return Snapshot{turn_->answer.substr(0, *end)};
        session_->commit(std::move(*turn_));
        turn_.reset();
        return std::nullopt;
    }

    std::vector<Transcript::ToolCall> toolCalls() const override { return toolCalls_; }

private:
    // Every snapshot is a copy of the whole text so far, so one per word made an answer of long words (a
    // letter and a thousand combining marks each) cost the square of its length. Past 16 KiB a snapshot
    // takes as many words as make at least an eighth more text: the copies add up to a few times the answer.
    // A failure cued inside such a group waits until the group's words are out.
    std::optional<std::size_t> nextEnd() {
        constexpr std::size_t kWordByWordBytes = 16 * 1024;
        if (cuedFailure_) std::rethrow_exception(std::exchange(cuedFailure_, nullptr));
        const std::size_t wanted = sent_ < kWordByWordBytes ? 0 : sent_ + sent_ / 8;
        std::optional<std::size_t> end = growth_->next();
        while (end && *end < wanted) {
            std::optional<std::size_t> further;
            try {
                further = growth_->next();
            } catch (...) {
                cuedFailure_ = std::current_exception();
                break;
            }
            if (!further) break;
            end = further;
        }
        if (end) sent_ = *end;
        return end;
    }

    std::shared_ptr<BuiltinSession> session_;
    std::string prompt_;
    GenerationOptions options_;
    std::optional<GenerationSchema> schema_;
    bool started_ = false;
    std::optional<Turn> turn_;
    std::optional<CuedGrowth> growth_;
    std::vector<Transcript::ToolCall> toolCalls_;
    std::size_t sent_ = 0; // bytes of the answer out so far
    std::exception_ptr cuedFailure_;
};

std::unique_ptr<ResponseStream> BuiltinSession::streamResponse(const std::string& prompt,
                                                               const GenerationOptions& options) {
    return std::make_unique<BuiltinStream>(shared_from_this(), prompt, options);
}

std::unique_ptr<ResponseStream> BuiltinSession::streamResponse(const std::string& prompt,
                                                               const GenerationSchema& schema, bool,
                                                               const GenerationOptions& options) {
    return std::make_unique<BuiltinStream>(shared_from_this(), prompt, options, schema);
}

} // namespace

BuiltinModel::BuiltinModel(Availability availability) : availability_(availability) {}

SystemLanguageModel::Availability BuiltinModel::availability() const {
    return availability_;
}

std::shared_ptr<LanguageModelSession> BuiltinModel::makeSession(std::vector<std::shared_ptr<Tool>> tools,
                                                                Transcript transcript) const {
    return std::make_shared<BuiltinSession>(std::move(tools), std::move(transcript));
}

std::unique_ptr<ContextMeter> BuiltinModel::contextMeter() const {
    return std::make_unique<BuiltinContextMeter>();
}

} // namespace brindle::model
