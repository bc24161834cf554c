#pragma once
// Our own model, for every platform without the platform's on-device model: deterministic, no weights,
// and taking the roads a real model takes (streaming, tool calls, response limits, a context window).
//
// What it answers, in this order of precedence:
// - after the continuation prompt, when the transcript ends with tool output: one line per trailing output,
//   "The <toolName> tool returned: <output>";
// - when the prompt names one of the session's tools as a whole word: it calls the first such tool (in the
//   session's order) and answers from its output as above; a tool that runs elsewhere ends the generation
//   with its call;
// - otherwise it echoes the prompt: "You said: <prompt>", or "You said nothing." for an empty prompt.
//
// Guided by a schema, it answers with the name=value pairs of the answer above fitted into the schema, as
// tool arguments are; asked for a JSON object (the engine's instruction at the end of the prompt), with the
// object of those pairs as strings. Such answers are never shortened to the response limit.
//
// Tool arguments fit the tool's schema. A value written in the prompt as name=value (name="two words")
// fills every property of that name whose kind it fits (a comma list fills an array); the rest get
// placeholders: the property name for a string, 1, 0.5, false, the first choice, a one-item array.
// Optional properties appear only when the prompt gives them. A tool whose schema is a plain string gets
// the prompt itself.
//
// Directives in the last user message make it fail on cue or keep a real model's pace (BuiltinDirectives.h).
// A conversation past the context window is refused before anything else, directives included: a real model
// never starts on one.

#include "BrindleModel/LanguageModel.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace brindle::model {

class BuiltinModel final : public SystemLanguageModel {
public:
    // The on-device model's context window, in estimated tokens: instructions, history, tool
    // definitions and prompt together.
    static constexpr std::int64_t kContextWindowTokens = 4096;

    // Reports the availability it is given: available unless told otherwise, so that a client can rehearse
    // an unavailable model.
    explicit BuiltinModel(Availability availability = {});

    Availability availability() const override;
    // Sessions are independent; each may be used from one thread at a time.
    std::shared_ptr<LanguageModelSession> makeSession(std::vector<std::shared_ptr<Tool>> tools,
                                                      Transcript transcript) const override;
    // Counts entries as a session's window check does.
    std::unique_ptr<ContextMeter> contextMeter() const override;

private:
    Availability availability_;
};

} // namespace brindle::model
