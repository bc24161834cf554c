#pragma once
// A model that plays scripts, for the engine and router tests. Each session plays one Script: its stream
// yields the scripted snapshots in order, then the script's ending happens (tool calls, then an error, or
// a normal end). The model records what every session was made with and asked, and counts live sessions.
//
//     auto model = std::make_shared<ScriptedModel>(Script{.snapshots = {"Hel", "Hello"}});
//     Script{.snapshots = {"Hi"}, .error = generationError(Case::guardrailViolation)}   // refusal after text
//     Script{.error = std::make_exception_ptr(std::runtime_error("boom"))}              // before any text
//     Script{.toolCalls = {{"get_weather", R"({"city":"Paris"})"}},
//            .transcriptCallIDs = std::vector<std::string>{"call_1"}}                   // the transcript path

#include "BrindleModel/LanguageModel.h"

#include <chrono>
#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace brindle::testing {

// A call the script makes through the session's tool of that name.
struct ScriptedToolCall {
    std::string toolName{};
    std::string argumentsJSON{}; // text that is not JSON reaches the tool as a plain string
};

// What a session does when asked. The stream yields `snapshots`; the next pull after the last snapshot
// makes the tool calls, then throws `error`, else ends. respond() does the same and returns the last
// snapshot ("" when there is none); guided, as generated content (JSON, else a string). With no snapshots, whatever the
// ending throws comes before any text.
struct Script {
    std::vector<std::string> snapshots{};
    std::exception_ptr error{}; // thrown after the snapshots and tool calls; null: a normal end
    // Made in order, each through the session's tool of that name (a missing tool throws std::logic_error).
    // Every call is made even when an earlier one throws; the first error a tool threw then ends the
    // generation, wrapped as ToolCallError(toolName, error) or, without wrapsToolError, bare.
    std::vector<ScriptedToolCall> toolCalls{};
    // Present: before that error is thrown, the transcript gains a ToolCalls entry holding the first calls
    // with these ids (one id per call; an empty list leaves an empty entry), as the platform's model does, and
    // the calls handed back carry them. Absent: the transcript gains nothing, and the calls no ids.
    std::optional<std::vector<std::string>> transcriptCallIDs{};
    bool wrapsToolError = true;
    // Called at the start of every next() with the number of snapshots pulled before it.
    std::function<void(std::size_t pulled)> onNext{};
};

// A GenerationError of that case, described as "GenerationError.<case>".
std::exception_ptr generationError(model::GenerationError::Case errorCase);

// What one session was made with and asked; the prompt and options are those of its latest generation.
struct SessionRecord {
    std::vector<std::shared_ptr<model::Tool>> tools{};
    model::Transcript transcript{}; // as given to the session
    std::string prompt{};
    model::GenerationOptions options{};
    std::optional<model::GenerationSchema> schema{}; // of a guided generation
    bool streamed = false;
    int generations = 0;
    std::size_t snapshotsPulled = 0;
};

class ScriptedModel final : public model::SystemLanguageModel {
public:
    // Every session plays this script.
    explicit ScriptedModel(Script script = {});
    // Sessions play the scripts in the order they are made; the last script plays for every later one.
    explicit ScriptedModel(std::vector<Script> scripts);

    // Available until told otherwise.
    void setAvailability(Availability availability);
    Availability availability() const override;
    std::shared_ptr<model::LanguageModelSession> makeSession(std::vector<std::shared_ptr<model::Tool>> tools,
                                                             model::Transcript transcript) const override;

    // Every session made so far, in the order made.
    std::vector<SessionRecord> sessions() const;
    int liveSessions() const;
    // Waits until at most `count` sessions are alive; false when the timeout passed first.
    bool waitForLiveSessions(int count, std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;

    struct State; // shared by the model and its sessions, which may outlive it

private:
    std::shared_ptr<State> state_;
};

} // namespace brindle::testing
