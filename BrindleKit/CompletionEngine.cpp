#include "BrindleKit/CompletionEngine.h"

#include "BrindleKit/ErrorMapping.h"
#include "BrindleKit/SSEWriter.h"
#include "BrindleKit/TranscriptBuilder.h"
#include "BrindleKit/Unicode.h"

#include <chrono>

namespace brindle {

namespace {

// The response limit when the request sets none.
constexpr std::int64_t kDefaultMaximumResponseTokens = 1024;

// A proxy's stop, whether the model hands it back bare or wrapped in its tool-call error.
bool isCapturedToolCall(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const CapturedToolCall&) {
        return true;
    } catch (const model::ToolCallError& wrapped) {
        try {
            if (wrapped.underlyingError) std::rethrow_exception(wrapped.underlyingError);
        } catch (const CapturedToolCall&) {
            return true;
        } catch (...) {
        }
        return false;
    } catch (...) {
        return false;
    }
}

// The calls of the latest tool-calls entry, with the model's own ids; without one, the recorded calls with
// fresh "brtc_" ids. Never throws. Only entries the generation added count: a model that leaves a failed turn
// out of the transcript would otherwise hand back a call from the conversation's history as if it were new.
std::vector<ToolCall> capturedToolCalls(const model::LanguageModelSession& session, const ToolCallRecorder& recorder,
                                        std::size_t historyLength) {
    const model::Transcript transcript = session.transcript();
    const auto added = transcript.entries.size() > historyLength ? transcript.entries.size() - historyLength : 0;
    for (auto entry = transcript.entries.rbegin(); entry != transcript.entries.rbegin() + added; ++entry) {
        const auto* toolCalls = std::get_if<model::Transcript::ToolCalls>(&*entry);
        if (!toolCalls) continue;
        std::vector<ToolCall> calls;
        for (const auto& call : toolCalls->calls)
            calls.push_back({call.id, "function", {call.toolName, call.arguments.jsonString()}});
        return calls;
    }
    std::vector<ToolCall> calls;
    for (auto& recorded : recorder.calls())
        calls.push_back({"brtc_" + Unicode::randomUUID(), "function",
                         {std::move(recorded.name), std::move(recorded.argumentsJSON)}});
    return calls;
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
          send_(send),
          includeUsage_(request.streamOptions && request.streamOptions->includeUsage.value_or(false)) {}

    void run() {
        try {
            const auto stream = prepared_.session->streamResponse(prepared_.prompt, prepared_.options);
            while (auto snapshot = stream->next()) {
                if (auto delta = emitted_.advance(std::move(snapshot->content))) {
                    started_ = true;
                    send_(writer_.contentFrame(*delta));
                }
            }
            finish("stop");
        } catch (...) {
            handle(std::current_exception());
        }
    }

private:
    void finish(std::string_view reason) {
        send_(writer_.finishFrame(reason));
        if (includeUsage_)
            send_(writer_.usageFrame(
                Usage(TokenEstimator::estimate(request_.messages), TokenEstimator::estimate(emitted_.text()))));
        send_(SSEWriter::doneFrame());
    }

    void sendError(const MappedError& mapped) { send_(writer_.errorFrame(mapped.message, mapped.type, mapped.code)); }

    // Each error is handled once; a send that fails in here throws to the caller.
    void handle(const std::exception_ptr& error) {
        if (isCapturedToolCall(error)) return handleToolCall(error);
        try {
            std::rethrow_exception(error);
        } catch (const model::GenerationError& generationError) {
            if (!started_) throw;
            if (generationError.errorCase == model::GenerationError::Case::guardrailViolation)
                return finish("content_filter");
            sendError(ErrorMapper::map(generationError));
        }
    }

    void handleToolCall(const std::exception_ptr& error) {
        const std::vector<ToolCall> calls = capturedToolCalls(*prepared_.session, *prepared_.recorder, prepared_.historyLength);
        if (calls.empty()) {
            if (!started_) std::rethrow_exception(error);
            return sendError(ErrorMapper::map(error));
        }
        emitted_.append(joinedArguments(calls));
        send_(writer_.toolCallsFrame(calls));
        finish("tool_calls");
    }

    const ChatCompletionRequest& request_;
    CompletionEngine::PreparedRequest prepared_;
    SSEWriter writer_;
    const CompletionEngine::FrameSender& send_;
    const bool includeUsage_;
    EmittedText emitted_;
    bool started_ = false;
};

} // namespace

CompletionEngine::CompletionEngine(std::shared_ptr<const model::SystemLanguageModel> model) : model_(std::move(model)) {}

CompletionEngine::PreparedRequest CompletionEngine::prepare(const ChatCompletionRequest& request) const {
    auto recorder = std::make_shared<ToolCallRecorder>();
    std::vector<std::shared_ptr<model::Tool>> tools;
    std::vector<model::Transcript::ToolDefinition> toolDefinitions;
    for (const ToolSpec& tool : request.tools.value_or(std::vector<ToolSpec>{})) {
        auto proxy = std::make_shared<ProxyTool>(tool.function, recorder);
        toolDefinitions.push_back({proxy->name(), proxy->description(), proxy->parameters()});
        tools.push_back(std::move(proxy));
    }
    TranscriptBuilder::BuildResult built = TranscriptBuilder::build(request.messages, toolDefinitions);

    PreparedRequest prepared;
    prepared.historyLength = built.transcript.entries.size();
    prepared.session = model_->makeSession(std::move(tools), std::move(built.transcript));
    prepared.prompt = std::move(built.prompt);
    prepared.options.temperature = request.temperature;
    prepared.options.maximumResponseTokens = request.effectiveMaxTokens().value_or(kDefaultMaximumResponseTokens);
    prepared.recorder = std::move(recorder);
    return prepared;
}

std::string CompletionEngine::complete(const ChatCompletionRequest& request) const {
    const PreparedRequest prepared = prepare(request);
    Choice choice;
    std::string completionText;
    try {
        completionText = prepared.session->respond(prepared.prompt, prepared.options).content;
        choice.message.content = completionText;
        choice.finishReason = "stop";
    } catch (...) {
        if (!isCapturedToolCall(std::current_exception())) throw;
        std::vector<ToolCall> calls = capturedToolCalls(*prepared.session, *prepared.recorder, prepared.historyLength);
        if (calls.empty()) throw;
        completionText = joinedArguments(calls);
        choice.message.toolCalls = std::move(calls);
        choice.finishReason = "tool_calls";
    }
    // The prompt is counted only for the usage of an answer: a conversation too long for the context window
    // is refused before, and counting megabytes of it first made up most of the time such a request took.
    ChatCompletionResponse response{.id = makeCompletionID(),
                                    .created = unixSeconds(std::chrono::system_clock::now()),
                                    .model = request.model,
                                    .choices = {std::move(choice)},
                                    .usage = Usage(TokenEstimator::estimate(request.messages),
                                                   TokenEstimator::estimate(completionText))};
    return JSONCoding::encodeString(response);
}

void CompletionEngine::streamCompletion(const ChatCompletionRequest& request, const FrameSender& send) const {
    StreamRun(request, prepare(request), send).run();
}

} // namespace brindle
