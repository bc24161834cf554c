#include "ScriptedModel.h"

#include <memory>
#include <stdexcept>

namespace brindle::testing {

using model::GeneratedContent;
using model::GenerationError;
using model::Transcript;

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
    ScriptedSession(Script script, std::vector<std::shared_ptr<model::Tool>> tools, Transcript transcript)
        : script_(std::move(script)), tools_(std::move(tools)), transcript_(std::move(transcript)) {}

    model::Response respond(const std::string&, const model::GenerationOptions&) override {
        std::vector<Transcript::ToolCall> calls = finish();
        return {script_.snapshots.empty() ? "" : script_.snapshots.back(), std::move(calls)};
    }

    std::unique_ptr<model::ResponseStream> streamResponse(const std::string&, const model::GenerationOptions&) override;

    model::GeneratedResponse respond(const std::string& prompt, const model::GenerationSchema&, bool,
                                     const model::GenerationOptions& options) override {
        model::Response response = respond(prompt, options);
        return {arguments(response.content), std::move(response.toolCalls)};
    }

    std::unique_ptr<model::ResponseStream> streamResponse(const std::string& prompt, const model::GenerationSchema&,
                                                          bool, const model::GenerationOptions& options) override {
        return streamResponse(prompt, options);
    }

    Transcript transcript() const override { return transcript_; }

    const Script& script() const { return script_; }

    // The script's ending: the calls handed back, none on a normal end.
    std::vector<Transcript::ToolCall> finish() const {
        std::vector<Transcript::ToolCall> handedBack;
        for (const auto& call : script_.toolCalls)
            if (!toolNamed(call.toolName).call(arguments(call.argumentsJSON)))
                handedBack.push_back({std::string(), call.toolName, arguments(call.argumentsJSON)});
        if (!handedBack.empty()) return handedBack;
        if (script_.error) std::rethrow_exception(script_.error);
        return {};
    }

private:
    model::Tool& toolNamed(const std::string& name) const {
        for (const auto& tool : tools_)
            if (tool->name() == name) return *tool;
        throw std::logic_error("the script calls the tool " + name + ", which the session does not have");
    }

    Script script_;
    std::vector<std::shared_ptr<model::Tool>> tools_;
    Transcript transcript_;
};

class ScriptedStream final : public model::ResponseStream {
public:
    explicit ScriptedStream(std::shared_ptr<const ScriptedSession> session) : session_(std::move(session)) {}

    std::optional<model::Snapshot> next() override {
        const Script& script = session_->script();
        if (pulled_ < script.snapshots.size()) return model::Snapshot{script.snapshots[pulled_++]};
        if (!finished_) {
            finished_ = true;
            toolCalls_ = session_->finish();
        }
        return std::nullopt;
    }

    std::vector<Transcript::ToolCall> toolCalls() const override { return toolCalls_; }

private:
    std::shared_ptr<const ScriptedSession> session_;
    std::size_t pulled_ = 0;
    bool finished_ = false;
    std::vector<Transcript::ToolCall> toolCalls_;
};

std::unique_ptr<model::ResponseStream> ScriptedSession::streamResponse(const std::string&,
                                                                       const model::GenerationOptions&) {
    return std::make_unique<ScriptedStream>(shared_from_this());
}

} // namespace

std::exception_ptr generationError(GenerationError::Case errorCase) {
    return std::make_exception_ptr(GenerationError(errorCase, "GenerationError." + caseName(errorCase)));
}

std::shared_ptr<model::LanguageModelSession> ScriptedModel::makeSession(std::vector<std::shared_ptr<model::Tool>> tools,
                                                                        Transcript transcript) const {
    return std::make_shared<ScriptedSession>(script_, std::move(tools), std::move(transcript));
}

} // namespace brindle::testing
