#include "ScriptedModel.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <stdexcept>

#include "BrindleBase/Unicode.h"

namespace brindle::testing {

using model::GeneratedContent;
using model::GenerationError;
using model::Transcript;

struct ScriptedModel::State {
    mutable std::mutex lock;
    mutable std::condition_variable sessionEnded;
    std::vector<Script> scripts;
    Availability availability;
    std::vector<SessionRecord> records;
    int live = 0;
};

namespace {

std::string caseName(GenerationError::Case errorCase) {
    using Case = GenerationError::Case;
    switch (errorCase) {
    case Case::exceededContextWindowSize: return "exceededContextWindowSize";
    case Case::assetsUnavailable: return "assetsUnavailable";
    case Case::guardrailViolation: return "guardrailViolation";
    case Case::unsupportedGuide: return "unsupportedGuide";
    case Case::unsupportedLanguageOrLocale: return "unsupportedLanguageOrLocale";
    case Case::decodingFailure: return "decodingFailure";
    case Case::rateLimited: return "rateLimited";
    case Case::concurrentRequests: return "concurrentRequests";
    case Case::refusal: return "refusal";
    }
    return "unknown";
}

GeneratedContent arguments(const std::string& text) {
    try {
        return GeneratedContent::fromJSON(text);
    } catch (const GeneratedContent::InvalidJSON&) {
        return GeneratedContent(text);
    }
}

class ScriptedSession final : public model::LanguageModelSession, public std::enable_shared_from_this<ScriptedSession> {
public:
    ScriptedSession(std::shared_ptr<ScriptedModel::State> state, std::size_t index, Script script,
                    std::vector<std::shared_ptr<model::Tool>> tools, Transcript transcript)
        : state_(std::move(state)), index_(index), script_(std::move(script)), tools_(std::move(tools)),
          transcript_(std::move(transcript)) {}

    ~ScriptedSession() override {
        std::lock_guard guard(state_->lock);
        --state_->live;
        state_->sessionEnded.notify_all();
    }

    model::Response respond(const std::string& prompt, const model::GenerationOptions& options) override {
        noteAsked(prompt, options, false);
        std::vector<Transcript::ToolCall> calls = finish();
        return {script_.snapshots.empty() ? "" : script_.snapshots.back(), std::move(calls)};
    }

    std::unique_ptr<model::ResponseStream> streamResponse(const std::string& prompt,
                                                          const model::GenerationOptions& options) override;

    model::GeneratedResponse respond(const std::string& prompt, const model::GenerationSchema& schema, bool,
                                     const model::GenerationOptions& options) override {
        noteSchema(schema);
        model::Response response = respond(prompt, options);
        return {arguments(response.content), std::move(response.toolCalls)};
    }

    std::unique_ptr<model::ResponseStream> streamResponse(const std::string& prompt,
                                                          const model::GenerationSchema& schema, bool,
                                                          const model::GenerationOptions& options) override {
        noteSchema(schema);
        return streamResponse(prompt, options);
    }

    Transcript transcript() const override { return transcript_; }

    const Script& script() const { return script_; }

    void notePulled(std::size_t pulled) {
        std::lock_guard guard(state_->lock);
        state_->records[index_].snapshotsPulled = pulled;
    }

    // The script's ending: the tool calls, then its error; returns the calls handed back, none on a normal end.
    std::vector<Transcript::ToolCall> finish() {
        std::exception_ptr toolError;
        std::string failedTool;
        std::vector<Transcript::ToolCall> handedBack;
        for (const auto& call : script_.toolCalls) {
            try {
                if (!toolNamed(call.toolName).call(arguments(call.argumentsJSON)))
                    handedBack.push_back(
                        {handedBackID(handedBack.size()), call.toolName, arguments(call.argumentsJSON)});
            } catch (...) {
                if (!toolError) {
                    toolError = std::current_exception();
                    failedTool = call.toolName;
                }
            }
        }
        if (script_.transcriptCallIDs) transcript_.entries.push_back(toolCallsEntry());
        if (toolError && script_.wrapsToolError) throw model::ToolCallError(failedTool, toolError);
        if (toolError) std::rethrow_exception(toolError);
        if (!handedBack.empty()) return handedBack;
        if (script_.error) std::rethrow_exception(script_.error);
        return {};
    }

private:
    void noteSchema(const model::GenerationSchema& schema) {
        std::lock_guard guard(state_->lock);
        state_->records[index_].schema = schema;
    }

    void noteAsked(const std::string& prompt, const model::GenerationOptions& options, bool streamed) {
        std::lock_guard guard(state_->lock);
        SessionRecord& record = state_->records[index_];
        record.prompt = prompt;
        record.options = options;
        record.streamed = streamed;
        ++record.generations;
    }

    model::Tool& toolNamed(const std::string& name) const {
        for (const auto& tool : tools_)
            if (tool->name() == name) return *tool;
        throw std::logic_error("the script calls the tool " + name + ", which the session does not have");
    }

    std::string handedBackID(std::size_t index) const {
        const auto& ids = script_.transcriptCallIDs;
        return ids && index < ids->size() ? (*ids)[index] : std::string();
    }

    Transcript::ToolCalls toolCallsEntry() const {
        Transcript::ToolCalls entry{Unicode::randomUUID(), {}};
        const auto& ids = *script_.transcriptCallIDs;
        for (std::size_t i = 0; i < std::min(ids.size(), script_.toolCalls.size()); ++i)
            entry.calls.push_back(
                {ids[i], script_.toolCalls[i].toolName, arguments(script_.toolCalls[i].argumentsJSON)});
        return entry;
    }

    std::shared_ptr<ScriptedModel::State> state_;
    std::size_t index_;
    Script script_;
    std::vector<std::shared_ptr<model::Tool>> tools_;
    Transcript transcript_;
};

class ScriptedStream final : public model::ResponseStream {
public:
    explicit ScriptedStream(std::shared_ptr<ScriptedSession> session) : session_(std::move(session)) {}

    std::optional<model::Snapshot> next() override {
        const Script& script = session_->script();
        if (script.onNext) script.onNext(pulled_);
        if (pulled_ < script.snapshots.size()) {
            session_->notePulled(++pulled_);
            return model::Snapshot{script.snapshots[pulled_ - 1]};
        }
        if (!finished_) {
            finished_ = true;
            toolCalls_ = session_->finish();
        }
        return std::nullopt;
    }

    std::vector<Transcript::ToolCall> toolCalls() const override { return toolCalls_; }

private:
    std::shared_ptr<ScriptedSession> session_;
    std::size_t pulled_ = 0;
    bool finished_ = false;
    std::vector<Transcript::ToolCall> toolCalls_;
};

std::unique_ptr<model::ResponseStream> ScriptedSession::streamResponse(const std::string& prompt,
                                                                       const model::GenerationOptions& options) {
    noteAsked(prompt, options, true);
    return std::make_unique<ScriptedStream>(shared_from_this());
}

} // namespace

std::exception_ptr generationError(GenerationError::Case errorCase) {
    return std::make_exception_ptr(GenerationError(errorCase, "GenerationError." + caseName(errorCase)));
}

ScriptedModel::ScriptedModel(Script script) : ScriptedModel(std::vector<Script>{std::move(script)}) {}

ScriptedModel::ScriptedModel(std::vector<Script> scripts) : state_(std::make_shared<State>()) {
    if (scripts.empty()) scripts.emplace_back();
    state_->scripts = std::move(scripts);
}

void ScriptedModel::setAvailability(Availability availability) {
    std::lock_guard guard(state_->lock);
    state_->availability = availability;
}

model::SystemLanguageModel::Availability ScriptedModel::availability() const {
    std::lock_guard guard(state_->lock);
    return state_->availability;
}

std::shared_ptr<model::LanguageModelSession> ScriptedModel::makeSession(std::vector<std::shared_ptr<model::Tool>> tools,
                                                                        Transcript transcript) const {
    std::lock_guard guard(state_->lock);
    const std::size_t index = state_->records.size();
    state_->records.push_back({.tools = tools, .transcript = transcript});
    ++state_->live;
    const Script& script = state_->scripts[std::min(index, state_->scripts.size() - 1)];
    return std::make_shared<ScriptedSession>(state_, index, script, std::move(tools), std::move(transcript));
}

std::vector<SessionRecord> ScriptedModel::sessions() const {
    std::lock_guard guard(state_->lock);
    return state_->records;
}

int ScriptedModel::liveSessions() const {
    std::lock_guard guard(state_->lock);
    return state_->live;
}

bool ScriptedModel::waitForLiveSessions(int count, std::chrono::milliseconds timeout) const {
    std::unique_lock guard(state_->lock);
    return state_->sessionEnded.wait_for(guard, timeout, [&] { return state_->live <= count; });
}

} // namespace brindle::testing
