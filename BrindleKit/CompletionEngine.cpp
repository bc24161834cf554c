#include "BrindleKit/CompletionEngine.h"

#include "BrindleBase/Unicode.h"
#include "BrindleKit/ErrorMapping.h"
#include "BrindleKit/SSEWriter.h"
#include "BrindleKit/SchemaTranslator.h"
#include "BrindleKit/StopSequences.h"
#include "BrindleKit/ToolBridge.h"
#include "BrindleKit/TranscriptBuilder.h"

#include <algorithm>
#include <chrono>

namespace brindle {

namespace {

// The response limit when the request sets none.
constexpr std::int64_t kDefaultMaximumResponseTokens = 1024;

std::vector<std::string> checkedStopSequences(const std::optional<StopSequences>& stop) {
    if (!stop) return {};
    if (stop->sequences.size() > StopSequences::kMaximum)
        throw CompletionEngine::InvalidParameter("stop", "at most 4 stop sequences are allowed.");
    if (std::ranges::any_of(stop->sequences, [](const std::string& sequence) { return sequence.empty(); }))
        throw CompletionEngine::InvalidParameter("stop", "a stop sequence must not be empty.");
    return stop->sequences;
}

// The generation schema of a json_schema format, made by the translator that makes tools' schemas; nothing
// for "text" and "json_object".
std::optional<model::GenerationSchema> responseSchema(ResponseFormat& format) {
    using Invalid = CompletionEngine::InvalidParameter;
    if (format.type == "text" || format.type == "json_object") return std::nullopt;
    if (format.type != "json_schema")
        throw Invalid("response_format",
                      "the type \"" + format.type + "\" is none of \"text\", \"json_object\" and \"json_schema\".");
    if (!format.jsonSchema || !format.jsonSchema->schema)
        throw Invalid("response_format", "a \"json_schema\" format needs its schema in json_schema.schema.");
    if (!format.jsonSchema->schema->isObject)
        throw Invalid("response_format", "json_schema.schema must be a JSON Schema object.");
    try {
        return SchemaTranslator::generationSchema(std::move(format.jsonSchema->schema), format.jsonSchema->name);
    } catch (const model::GenerationSchema::SchemaError& error) {
        throw Invalid("response_format", std::string("the schema cannot be expressed: ") + error.what());
    }
}

// The request's tools as the model takes them: proxies for the session, definitions for the instructions.
struct ClientTools {
    std::vector<std::shared_ptr<model::Tool>> proxies;
    std::vector<model::Transcript::ToolDefinition> definitions;
};

// Lists sized before they are filled, each requested tool let go once its proxy is made, and the requested list
// before the definitions are made: a request may carry hundreds of thousands of tools, whose parameter trees alone
// cost several times their text.
ClientTools clientTools(std::optional<std::vector<ToolSpec>> requested) {
    ClientTools tools;
    if (!requested) return tools;
    tools.proxies.reserve(requested->size());
    for (auto& tool : *requested) {
        tools.proxies.push_back(std::make_shared<ProxyTool>(std::move(tool.function)));
        tool = {};
    }
    requested.reset();
    tools.definitions.reserve(tools.proxies.size());
    for (const auto& proxy : tools.proxies)
        tools.definitions.push_back({proxy->name(), proxy->description(), proxy->parameters()});
    return tools;
}

// The model's answer to a json_object request must be one; the platform's model gives no such promise.
void checkJSONObject(const std::string& answer) {
    try {
        if (JSONCoding::decoder().decode<JSONValue>(answer).objectValue()) return;
    } catch (const JSONCoding::DecodingError&) {
    }
    throw model::GenerationError(model::GenerationError::Case::decodingFailure,
                                 "The model's answer is not a JSON object, as the response format asks.");
}

// The generation the request asks for: guided by its schema (the content as its JSON text), or free text.
model::Response respond(const CompletionEngine::PreparedRequest& prepared) {
    if (!prepared.schema) return prepared.session->respond(prepared.prompt, prepared.options);
    model::GeneratedResponse guided =
        prepared.session->respond(prepared.prompt, *prepared.schema, true, prepared.options);
    return {guided.content.jsonString(), std::move(guided.toolCalls)};
}

std::unique_ptr<model::ResponseStream> streamResponse(const CompletionEngine::PreparedRequest& prepared) {
    if (prepared.schema)
        return prepared.session->streamResponse(prepared.prompt, *prepared.schema, true, prepared.options);
    return prepared.session->streamResponse(prepared.prompt, prepared.options);
}

// The calls that ended a generation as the client gets them: with the model's ids, and "brtc_" ids for
// calls the model gave none.
std::vector<ToolCall> clientToolCalls(const std::vector<model::Transcript::ToolCall>& calls) {
    std::vector<ToolCall> converted;
    for (const auto& call : calls)
        converted.push_back({call.id.empty() ? "brtc_" + Unicode::randomUUID() : call.id,
                             "function",
                             {call.toolName, call.arguments.jsonString()}});
    return converted;
}

// Tool-call arguments joined without separator: what the completion estimate counts for a tool-call answer.
std::string joinedArguments(const std::vector<ToolCall>& calls) {
    std::string joined;
    for (const ToolCall& call : calls) joined += call.function.arguments;
    return joined;
}

// The text already streamed. Snapshots are whole texts, usually the previous one plus a little: when a
// snapshot extends the emitted text, only the characters from the emitted text's last one onwards are
// counted again (a combining mark may join that last character), which keeps a long answer linear.
// That holds only while the emitted text is valid UTF-8: appended bytes can complete a sequence whose
// first bytes counted as invalid characters of their own, so then the whole snapshot is counted again.
class EmittedText {
public:
    // The part of the snapshot beyond the emitted length, or nothing when the snapshot is not longer.
    std::optional<std::string> advance(std::string snapshot) {
        Unicode::CharacterScan scan;
        std::size_t base = 0, baseCount = 0;
        if (count_ > 0 && valid_ && std::string_view(snapshot).starts_with(text_)) {
            base = lastStart_;
            baseCount = count_ - 1;
            scan = Unicode::scanCharacters(std::string_view(snapshot).substr(base), 1);
        } else {
            scan = Unicode::scanCharacters(snapshot, count_);
        }
        if (baseCount + scan.count <= count_) return std::nullopt;
        std::string delta = snapshot.substr(base + scan.afterSkipped);
        count_ = baseCount + scan.count;
        lastStart_ = base + scan.lastStart;
        valid_ = Unicode::isValidUTF8(std::string_view(snapshot).substr(base)); // text before base was valid
        text_ = std::move(snapshot);
        return delta;
    }
    void append(const std::string& more) {
        text_ += more;
        const Unicode::CharacterScan scan = Unicode::scanCharacters(text_, 0);
        count_ = scan.count;
        lastStart_ = scan.lastStart;
        valid_ = Unicode::isValidUTF8(text_);
    }
    const std::string& text() const { return text_; }

private:
    std::string text_;
    std::size_t count_ = 0;
    std::size_t lastStart_ = 0;
    bool valid_ = true; // text_ is valid UTF-8
};

// One streamed answer: the frames it sends, and how an error ends it.
class StreamRun {
public:
    StreamRun(const ChatCompletionRequest& request, CompletionEngine::PreparedRequest prepared,
              const CompletionEngine::FrameSender& send)
        : request_(request), prepared_(std::move(prepared)), writer_(request.model, std::chrono::system_clock::now()),
          send_(send), includeUsage_(request.streamOptions && request.streamOptions->includeUsage.value_or(false)) {}

    // The stream is dropped, and the model's generation with it, as soon as a stop sequence has occurred.
    // Text held back for a stop sequence is never shown when tool calls end the generation.
    void run() {
        try {
            const auto stream = streamResponse(prepared_);
            bool stopped = false;
            while (auto snapshot = stream->next())
                if ((stopped = show(guard_.visible(std::move(snapshot->content))))) break;
            if (!stopped) {
                if (const auto calls = stream->toolCalls(); !calls.empty())
                    return finishWithToolCalls(clientToolCalls(calls));
                show(guard_.rest());
            }
            if (prepared_.wantsJSONObject) checkJSONObject(emitted_.text());
            finish("stop");
        } catch (...) {
            handle(std::current_exception());
        }
    }

private:
    // Sends what the visible text adds; true when a stop sequence ended it.
    bool show(StopGuard::Visible visible) {
        if (auto delta = emitted_.advance(std::move(visible.text))) {
            started_ = true;
            send_(writer_.contentFrame(*delta));
        }
        return visible.stopped;
    }

    void finish(std::string_view reason) {
        send_(writer_.finishFrame(reason));
        if (includeUsage_)
            send_(writer_.usageFrame(
                Usage(TokenEstimator::estimate(request_.messages), TokenEstimator::estimate(emitted_.text()))));
        send_(SSEWriter::doneFrame());
    }

    void finishWithToolCalls(const std::vector<ToolCall>& calls) {
        emitted_.append(joinedArguments(calls));
        send_(writer_.toolCallsFrame(calls));
        finish("tool_calls");
    }

    // Each error is handled once; a send that fails in here throws to the caller.
    void handle(const std::exception_ptr& error) {
        try {
            std::rethrow_exception(error);
        } catch (const model::GenerationError& generationError) {
            if (!started_) throw;
            if (generationError.errorCase == model::GenerationError::Case::guardrailViolation)
                return finish("content_filter");
            ErrorMapper::sendErrorFrame(send_, error);
        }
    }

    const ChatCompletionRequest& request_;
    CompletionEngine::PreparedRequest prepared_;
    SSEWriter writer_;
    const CompletionEngine::FrameSender& send_;
    const bool includeUsage_;
    StopGuard guard_{prepared_.stopSequences};
    EmittedText emitted_;
    bool started_ = false;
};

} // namespace

CompletionEngine::CompletionEngine(std::shared_ptr<const model::SystemLanguageModel> model)
    : model_(std::move(model)) {}

CompletionEngine::PreparedRequest CompletionEngine::prepare(ChatCompletionRequest& request) const {
    std::vector<std::string> stopSequences = checkedStopSequences(request.stop);
    std::optional<model::GenerationSchema> schema;
    if (request.responseFormat) schema = responseSchema(*request.responseFormat);
    ClientTools tools = clientTools(std::move(request.tools));
    const std::unique_ptr<model::ContextMeter> meter = model_->contextMeter();
    TranscriptBuilder::BuildResult built =
        TranscriptBuilder::build(request.messages, std::move(tools.definitions), meter.get());

    PreparedRequest prepared;
    prepared.session = model_->makeSession(std::move(tools.proxies), std::move(built.transcript));
    prepared.prompt = std::move(built.prompt);
    prepared.wantsJSONObject = request.responseFormat && request.responseFormat->type == "json_object";
    if (prepared.wantsJSONObject) prepared.prompt += "\n\n" + std::string(model::kJSONObjectInstruction);
    prepared.schema = std::move(schema);
    prepared.stopSequences = std::move(stopSequences);
    prepared.options.temperature = request.temperature;
    prepared.options.maximumResponseTokens = request.effectiveMaxTokens().value_or(kDefaultMaximumResponseTokens);
    return prepared;
}

std::string CompletionEngine::complete(ChatCompletionRequest request) const {
    const PreparedRequest prepared = prepare(request);
    model::Response generated = respond(prepared);
    Choice choice;
    std::string completionText;
    if (generated.toolCalls.empty()) {
        completionText = cutAtStop(std::move(generated.content), prepared.stopSequences);
        if (prepared.wantsJSONObject) checkJSONObject(completionText);
        choice.message.content = completionText;
        choice.finishReason = "stop";
    } else {
        std::vector<ToolCall> calls = clientToolCalls(generated.toolCalls);
        completionText = joinedArguments(calls);
        choice.message.toolCalls = std::move(calls);
        choice.finishReason = "tool_calls";
    }
    // The prompt is counted only for the usage of an answer: a conversation too long for the context window
    // is refused before, and counting megabytes of it first made up most of the time such a request took.
    ChatCompletionResponse response{
        .id = makeCompletionID(),
        .created = unixSeconds(std::chrono::system_clock::now()),
        .model = request.model,
        .choices = {std::move(choice)},
        .usage = Usage(TokenEstimator::estimate(request.messages), TokenEstimator::estimate(completionText))};
    return JSONCoding::encodeString(response);
}

void CompletionEngine::streamCompletion(ChatCompletionRequest request, const FrameSender& send) const {
    StreamRun(request, prepare(request), send).run();
}

} // namespace brindle
