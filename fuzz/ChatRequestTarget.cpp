#include "fuzz/FuzzTargets.h"

#include "BrindleBase/JSONDecoding.h"
#include "BrindleKit/CompletionEngine.h"
#include "BrindleKit/ErrorMapping.h"
#include "BrindleKit/OpenAIModels.h"
#include "BrindleKit/SSEWriter.h"
#include "BrindleModel/BuiltinModel.h"

#include <memory>
#include <optional>
#include <vector>

namespace brindle::fuzz {

namespace {

// Every JSON text the server writes must read back as JSON.
JSONValue parsedJSON(std::string_view text, const std::string& what) {
    try {
        return JSONCoding::decoder().decode<JSONValue>(text);
    } catch (const JSONCoding::DecodingError& error) {
        throw InvariantBroken(what + " is not JSON (" + error.what() + "): " + std::string(text));
    }
}

// A message written by the encoder decodes to a message that writes the same text.
void checkRoundTrip(const ChatMessage& message) {
    const std::string written = JSONCoding::encoder().encode(message);
    std::string rewritten;
    try {
        rewritten = JSONCoding::encoder().encode(JSONCoding::decoder().decode<ChatMessage>(written));
    } catch (const JSONCoding::DecodingError& error) {
        throw InvariantBroken("a written message does not decode (" + std::string(error.what()) + "): " + written);
    }
    check(rewritten == written, "a message changed in a round trip: " + written + " became " + rewritten);
}

// What the router does with a decoded body, minus the socket: the answer text, or the mapped error's body.
void answer(const CompletionEngine& engine, const ChatCompletionRequest& request) {
    std::vector<std::string> frames;
    try {
        if (request.stream.value_or(false)) {
            engine.streamCompletion(request, [&frames](const std::string& frame) { frames.push_back(frame); });
            check(!frames.empty(), "a stream that returned without a frame");
            for (const std::string& frame : frames) {
                check(frame.starts_with("data: ") && frame.ends_with("\n\n"), "a malformed event: " + frame);
                if (frame != SSEWriter::doneFrame()) parsedJSON(frame.substr(6, frame.size() - 8), "an event");
            }
        } else {
            parsedJSON(engine.complete(request), "a completion");
        }
    } catch (const InvariantBroken&) {
        throw;
    } catch (...) {
        check(frames.empty(), "an error thrown after frames were sent by the engine itself");
        const MappedError mapped = ErrorMapper::map(std::current_exception());
        check(mapped.status >= 400 && mapped.status < 600, "an error mapped to a status that is not one");
        parsedJSON(mapped.bodyJSON(), "an error body");
    }
}

const JSONValue* member(const JSONValue* value, std::string_view key) {
    const JSONValue::Object* object = value ? value->objectValue() : nullptr;
    const auto found = object ? object->find(key) : JSONValue::Object::const_iterator();
    return object && found != object->end() ? &found->second : nullptr;
}

const JSONValue* firstChoice(const JSONValue& answer) {
    const JSONValue* choices = member(&answer, "choices");
    const JSONValue::Array* list = choices ? choices->arrayValue() : nullptr;
    return list && !list->empty() ? &list->front() : nullptr;
}

// The text a client reads when the answer ends with the finish reason "stop"; nothing for any other ending.
std::optional<std::string> stoppedText(const CompletionEngine& engine, ChatCompletionRequest request, bool streamed) {
    request.stream = streamed;
    std::string text, reason;
    const auto read = [&](const JSONValue* choice, const char* holder) {
        const JSONValue* content = member(member(choice, holder), "content");
        if (content && content->stringValue()) text += *content->stringValue();
        const JSONValue* finish = member(choice, "finish_reason");
        if (finish && finish->stringValue()) reason = *finish->stringValue();
    };
    try {
        if (!streamed) {
            read(firstChoice(parsedJSON(engine.complete(request), "a completion")), "message");
        } else {
            engine.streamCompletion(request, [&](const std::string& frame) {
                if (frame != SSEWriter::doneFrame())
                    read(firstChoice(parsedJSON(frame.substr(6, frame.size() - 8), "an event")), "delta");
            });
        }
    } catch (const InvariantBroken&) {
        throw;
    } catch (...) {
        return std::nullopt;
    }
    return reason == "stop" ? std::optional<std::string>(text) : std::nullopt;
}

// The answer without stop sequences, cut by plain searches just before the sequence that completes first
// (of two completing at once, the longer one).
std::optional<std::string> searchedCut(const CompletionEngine& engine, ChatCompletionRequest request) {
    const std::vector<std::string> sequences = request.stop->sequences;
    request.stop.reset();
    std::optional<std::string> whole = stoppedText(engine, request, false);
    if (!whole) return std::nullopt;
    std::size_t start = whole->size(), end = std::string::npos;
    for (const std::string& sequence : sequences) {
        const std::size_t found = whole->find(sequence);
        if (sequence.empty() || found == std::string::npos) continue;
        if (found + sequence.size() < end || (found + sequence.size() == end && found < start))
            start = found, end = found + sequence.size();
    }
    return whole->substr(0, start);
}

// With stop sequences, an answer ends where a plain search says, and a stream holds back what could still
// become one: its deltas join to the plain answer.
void checkStopSequencesAgree(const CompletionEngine& engine, const ChatCompletionRequest& request) {
    if (!request.stop) return;
    const auto plain = stoppedText(engine, request, false), streamed = stoppedText(engine, request, true);
    if (plain && streamed) check(*plain == *streamed, "streamed \"" + *streamed + "\" but answered \"" + *plain + "\"");
    if (const auto searched = searchedCut(engine, request); plain && searched)
        check(*plain == *searched, "answered \"" + *plain + "\" but a search cuts \"" + *searched + "\"");
}

// Everything a request record holds, written out.
std::string described(const ChatCompletionRequest& request) {
    JSONWriter out;
    out.beginArray();
    out.value(request.model);
    out.value(request.messages);
    for (const ToolSpec& tool : request.tools.value_or(std::vector<ToolSpec>{})) {
        out.value(tool.function.name + " " + tool.function.description.value_or("-"));
        out.value(tool.function.parameters ? JSONCoding::encoder().encode(*tool.function.parameters) : "-");
    }
    out.value(!request.tools);
    out.value(!request.toolChoice);
    out.value(request.stream.value_or(false) + 2 * !request.stream);
    out.value(request.temperature.value_or(-1.5));
    out.value(request.maxTokens.value_or(-1));
    out.value(request.maxCompletionTokens.value_or(-1));
    out.value(request.streamOptions ? request.streamOptions->includeUsage.value_or(false) + 1 : 3);
    if (const auto& format = request.responseFormat) {
        out.value(format->type);
        if (const auto& schema = format->jsonSchema) {
            out.value(schema->name + " " + schema->description.value_or("-") + " " + (schema->strict ? "s" : "-") +
                      (schema->strict.value_or(false) ? "t" : "f"));
            out.value(schema->schema ? JSONCoding::encoder().encode(*schema->schema) : "-");
        }
    }
    if (request.stop) out.value(request.stop->sequences);
    out.endArray();
    return out.take();
}

// The quick pass and the declared-key decoding agree on every body the quick pass decides.
void checkQuickPassAgrees(const std::string& body, const ChatCompletionRequest& request) {
    std::string byKeys;
    try {
        byKeys = described(JSONCoding::decoder().decodeByKeys<ChatCompletionRequest>(body));
    } catch (const JSONCoding::DecodingError& error) {
        throw InvariantBroken("decoded quickly, but by keys: " + std::string(error.what()));
    }
    check(byKeys == described(request), "decoded quickly as " + described(request) + ", by keys as " + byKeys);
}

} // namespace

void chatRequest(std::string_view input) {
    static const CompletionEngine engine(std::make_shared<model::BuiltinModel>());
    const std::string body = withoutDirectives(input);
    std::optional<ChatCompletionRequest> request;
    try {
        request.emplace(JSONCoding::decoder().decode<ChatCompletionRequest>(body));
    } catch (const JSONCoding::DecodingError& error) {
        // The router's 400 quotes this text in a JSON body, so it must survive the writer.
        parsedJSON(ErrorMapper::undecodableBody(error.what()).bodyJSON(), "a decoding error body");
        // Checked first with its lists let go, a body is refused for the fault a whole decoding meets first.
        try {
            JSONCoding::decoder().decodeByKeys<ChatCompletionRequest>(body);
        } catch (const JSONCoding::DecodingError& byKeys) {
            return check(std::string_view(byKeys.what()) == error.what() && byKeys.path == error.path,
                         "refused for \"" + std::string(error.what()) + "\", by keys for \"" + byKeys.what() + "\"");
        }
        return check(false, "refused for \"" + std::string(error.what()) + "\", but decoded by keys");
    }
    checkQuickPassAgrees(body, *request);
    for (const ChatMessage& message : request->messages) checkRoundTrip(message);
    check(TokenEstimator::estimate(request->messages) >= 4 * static_cast<std::int64_t>(request->messages.size()),
          "a prompt estimate below four tokens a message");
    answer(engine, *request);
    checkStopSequencesAgree(engine, *request);
}

} // namespace brindle::fuzz
