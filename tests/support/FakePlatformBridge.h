#pragma once
// A scripted stand-in for the bridge of BrindleModel/platform/PlatformBridge.h: it plays a script, calls the tool
// hook as the platform would, and accounts for every text and hook context it hands out. Global: one test at a time.

#include "BrindleModel/platform/PlatformBridge.h"

#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace brindle::testing::FakePlatformBridge {

// One answer: first the tool calls (name, arguments) through the session's hook, then the status and its texts.
struct Step {
    using Calls = std::vector<std::pair<std::string, std::string>>;
    Step(bpm_status status = BPM_OK, std::string text = {}, std::string toolName = {}, Calls toolCalls = {})
        : status(status), text(std::move(text)), toolName(std::move(toolName)), toolCalls(std::move(toolCalls)) {}
    bpm_status status;
    std::string text, toolName;
    Calls toolCalls;
};

struct Script {
    Step create;                                // the status and error text of bpm_session_create
    Step respond;                               // what bpm_respond plays
    std::vector<Step> stream;                   // one per bpm_stream_next, then BPM_END
    std::optional<std::string> latestToolCalls; // the JSON bpm_latest_tool_calls hands out
    bpm_availability availability = BPM_AVAILABLE;

    Script& creating(Step step) { return create = std::move(step), *this; }
    Script& responding(Step step) { return respond = std::move(step), *this; }
    Script& streaming(std::vector<Step> steps) { return stream = std::move(steps), *this; }
    Script& latest(std::optional<std::string> json) { return latestToolCalls = std::move(json), *this; }
    Script& answering(bpm_availability answer) { return availability = answer, *this; }
};

struct Observed {
    std::vector<std::string> descriptions; // one per session created or refused, each with a hook context
    std::vector<std::string> prompts;
    std::vector<bpm_options> options; // one per bpm_respond and bpm_stream_start
    std::vector<std::string> schemas; // of guided generations, with whether the model is shown it: "+" or "-"
    std::vector<bpm_status> hookAnswers;
    int streamNextCalls = 0;
    int contextsReleased = 0;
    std::set<const char*> liveTexts; // handed out and not yet freed
    int foreignFrees = 0;            // frees of bytes the fake never handed out, or freed twice
};

// Starts afresh with this script, forgetting what was observed.
void reset(Script script);
const Observed& observed();

} // namespace brindle::testing::FakePlatformBridge
