#include "fuzz/FuzzTargets.h"

#include "BrindleBase/JSONDecoding.h"
#include "BrindleBase/Unicode.h"
#include "BrindleKit/CompletionEngine.h"
#include "BrindleKit/SSEWriter.h"
#include "fuzz/ScriptedModel.h"

#include <optional>

namespace brindle::fuzz {

namespace {

using testing::Script;
using testing::ScriptedModel;

enum class Ending { normal, refusal, failure, toolCall };

constexpr std::string_view kToolArguments = R"({"city":"Oslo"})";

const JSONValue& at(const JSONValue& value, const std::string& key) {
    static const JSONValue kMissing;
    const JSONValue::Object* object = value.objectValue();
    const auto found = object ? object->find(key) : JSONValue::Object::const_iterator{};
    return object && found != object->end() ? found->second : kMissing;
}

const JSONValue& firstChoice(const JSONValue& chunk) {
    static const JSONValue kMissing;
    const JSONValue::Array* choices = at(chunk, "choices").arrayValue();
    check(choices && choices->size() <= 1, "a chunk without its list of at most one choice");
    return choices->empty() ? kMissing : choices->front();
}

// The frames as the client reads them: each one "data: " and a JSON chunk, then a blank line.
class ReadStream {
public:
    explicit ReadStream(const std::vector<std::string>& frames) : frames_(frames) {}

    JSONValue nextChunk(const char* what) {
        check(position_ < frames_.size(), std::string("the stream ended before ") + what);
        const std::string& frame = frames_[position_++];
        check(frame.starts_with("data: ") && frame.ends_with("\n\n") && frame.find("\n\n") == frame.size() - 2,
              "an event that is not one data line: " + frame);
        JSONValue chunk;
        try {
            chunk = JSONCoding::decoder().decode<JSONValue>(std::string_view(frame).substr(6, frame.size() - 8));
        } catch (const JSONCoding::DecodingError& error) {
            throw InvariantBroken("an event that is not JSON (" + std::string(error.what()) + "): " + frame);
        }
        if (!at(chunk, "error").objectValue()) checkChunkIdentity(chunk);
        return chunk;
    }
    void expectDone() {
        check(position_ < frames_.size() && frames_[position_++] == SSEWriter::doneFrame(), "no done marker");
    }
    void expectEnd() const { check(position_ == frames_.size(), "frames after the end of the stream"); }

private:
    // Every chunk of one answer shares its id, created time and model.
    void checkChunkIdentity(const JSONValue& chunk) {
        check(at(chunk, "object") == JSONValue("chat.completion.chunk") && at(chunk, "model") == JSONValue("m"),
              "a chunk's object or model");
        if (!id_) id_ = at(chunk, "id");
        check(at(chunk, "id") == *id_ && at(chunk, "id").stringValue(), "chunks of one answer with different ids");
    }
    const std::vector<std::string>& frames_;
    std::size_t position_ = 0;
    std::optional<JSONValue> id_;
};

// The deltas a client must see, cut by the plain definition: whatever lies beyond the emitted character count.
struct Reference {
    std::vector<std::string> deltas;
    std::string emitted;
};

Reference referenceDeltas(const std::vector<std::string>& snapshots) {
    Reference reference;
    std::size_t emittedCount = 0;
    for (const std::string& snapshot : snapshots) {
        const std::size_t count = Unicode::characterCount(snapshot);
        if (count <= emittedCount) continue;
        reference.deltas.emplace_back(Unicode::dropCharacters(snapshot, emittedCount));
        reference.emitted = snapshot;
        emittedCount = count;
    }
    return reference;
}

void expectFinish(ReadStream& stream, const char* reason, bool includeUsage, const std::string& counted) {
    const JSONValue finish = stream.nextChunk("the finish chunk");
    check(at(firstChoice(finish), "finish_reason") == JSONValue(reason), std::string("no finish reason ") + reason);
    if (includeUsage) {
        const JSONValue usage = stream.nextChunk("the usage chunk");
        check(at(usage, "choices").arrayValue() && at(usage, "choices").arrayValue()->empty(), "usage with a choice");
        const auto expected = static_cast<double>(TokenEstimator::estimate(counted));
        check(at(at(usage, "usage"), "completion_tokens") == JSONValue(expected), "usage that does not count the text");
    }
    stream.expectDone();
}

void checkFrames(const std::vector<std::string>& frames, const Reference& reference, Ending ending, bool includeUsage) {
    ReadStream stream(frames);
    bool roleSent = false;
    for (const std::string& delta : reference.deltas) {
        const JSONValue chunk = stream.nextChunk("a content chunk");
        const JSONValue& content = at(at(firstChoice(chunk), "delta"), "content");
        const JSONValue expected(Unicode::repairedUTF8(delta));
        check(content == expected,
              "a delta that is not the text past the emitted length: " + JSONCoding::encodeString(content) +
                  " instead of " + JSONCoding::encodeString(expected));
        roleSent = true;
    }
    switch (ending) {
    case Ending::normal: expectFinish(stream, "stop", includeUsage, reference.emitted); break;
    case Ending::refusal: expectFinish(stream, "content_filter", includeUsage, reference.emitted); break;
    case Ending::failure:
        check(at(stream.nextChunk("the error event"), "error").objectValue(), "no error event");
        break;
    case Ending::toolCall: {
        const JSONValue calls = stream.nextChunk("the tool-calls chunk");
        const JSONValue& delta = at(firstChoice(calls), "delta");
        check((at(delta, "role") == JSONValue("assistant")) != roleSent, "the role not sent exactly once");
        check(at(delta, "tool_calls").arrayValue() && at(delta, "tool_calls").arrayValue()->size() == 1,
              "no tool call");
        expectFinish(stream, "tool_calls", includeUsage, reference.emitted + std::string(kToolArguments));
        break;
    }
    }
    stream.expectEnd();
}

std::vector<std::string> splitAt(std::string_view text, char separator) {
    std::vector<std::string> pieces;
    for (std::size_t start = 0;;) {
        const std::size_t end = text.find(separator, start);
        pieces.emplace_back(text.substr(start, end - start));
        if (end == std::string_view::npos) return pieces;
        start = end + 1;
    }
}

Script scriptFor(std::vector<std::string> snapshots, Ending ending) {
    Script script{.snapshots = std::move(snapshots)};
    if (ending == Ending::refusal)
        script.error = testing::generationError(model::GenerationError::Case::guardrailViolation);
    if (ending == Ending::failure)
        script.error = testing::generationError(model::GenerationError::Case::decodingFailure);
    if (ending == Ending::toolCall) script.toolCalls = {{"get_weather", std::string(kToolArguments)}};
    return script;
}

} // namespace

// Input: byte 0 chooses the ending (its value modulo 4: normal, refusal, other model error, tool call) and
// asks for usage when bit 2 is set; byte 1 is the separator that cuts the rest into snapshots.
void streamDeltas(std::string_view input) {
    if (input.size() < 2) return;
    const auto ending = static_cast<Ending>(static_cast<unsigned char>(input[0]) % 4);
    const bool includeUsage = (input[0] & 4) != 0;
    const std::vector<std::string> snapshots = splitAt(input.substr(2), input[1]);
    const std::string body = std::string(R"({"model":"m","messages":[{"role":"user","content":"Hi"}],)") +
                             R"("tools":[{"type":"function","function":{"name":"get_weather"}}],)" +
                             R"("stream":true,"stream_options":{"include_usage":)" + (includeUsage ? "true" : "false") +
                             "}}";
    const auto request = JSONCoding::decoder().decode<ChatCompletionRequest>(body);

    const CompletionEngine engine(std::make_shared<ScriptedModel>(scriptFor(snapshots, ending)));
    std::vector<std::string> frames;
    const Reference reference = referenceDeltas(snapshots);
    const bool errorBeforeText = reference.deltas.empty() && (ending == Ending::refusal || ending == Ending::failure);
    try {
        engine.streamCompletion(request, [&frames](const std::string& frame) { frames.push_back(frame); });
        check(!errorBeforeText, "a model error before any text did not reach the caller");
    } catch (const model::GenerationError&) {
        check(errorBeforeText && frames.empty(), "a model error was thrown after the stream began");
        return;
    }
    checkFrames(frames, reference, ending, includeUsage);
}

} // namespace brindle::fuzz
