#pragma once
// A model that plays one script, for the stream-deltas target: every session's stream yields the scripted
// snapshots in order, then the script's ending happens (its tool calls, else its error, else a normal end).
//
//     auto model = std::make_shared<ScriptedModel>(Script{.snapshots = {"Hel", "Hello"}});
//     Script{.snapshots = {"Hi"}, .error = generationError(Case::guardrailViolation)}   // refusal after text
//     Script{.toolCalls = {{"get_weather", R"({"city":"Paris"})"}}}                     // a handed-back call

#include "BrindleModel/LanguageModel.h"

#include <exception>
#include <memory>
#include <string>
#include <vector>

namespace brindle::testing {

// A call the script makes through the session's tool of that name.
struct ScriptedToolCall {
    std::string toolName{};
    std::string argumentsJSON{}; // text that is not JSON reaches the tool as a plain string
};

// What a session does when asked. The stream yields `snapshots`; the next pull after the last one makes the
// tool calls (a missing tool throws std::logic_error) and hands back those the tools leave to the client;
// without any, throws `error`, else ends. respond() does the same and returns the last snapshot ("" when
// there is none); guided, as generated content (JSON, else a string).
struct Script {
    std::vector<std::string> snapshots{};
    std::exception_ptr error{}; // null: a normal end
    std::vector<ScriptedToolCall> toolCalls{};
};

// A GenerationError of that case, described as "GenerationError.<case>".
std::exception_ptr generationError(model::GenerationError::Case errorCase);

class ScriptedModel final : public model::SystemLanguageModel {
public:
    explicit ScriptedModel(Script script) : script_(std::move(script)) {}

    Availability availability() const override { return {}; }
    std::shared_ptr<model::LanguageModelSession> makeSession(std::vector<std::shared_ptr<model::Tool>> tools,
                                                             model::Transcript transcript) const override;

private:
    Script script_;
};

} // namespace brindle::testing
