#pragma once
// A scripted stand-in for the platform bridge of BrindleModel/platform/PlatformBridge.h, so the C++ backend
// runs here without the platform. It plays a script, calls the session's tool hook as the platform would,
// and counts every text it hands out and every handle, so a test can tell that all were given back.
// One test at a time: the fake's state is global.

#include "BrindleModel/platform/PlatformBridge.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace brindle::testing::FakePlatformBridge {

// One answer of the fake: first the tool calls, through the session's hook, then the status with its texts.
struct Step {
    using Calls = std::vector<std::pair<std::string, std::string>>; // name, arguments
    Step(bpm_status status = BPM_OK, std::string text = {}, std::string toolName = {}, Calls toolCalls = {},
         bool toolCallsOnThreads = false)
        : status(status), text(std::move(text)), toolName(std::move(toolName)), toolCalls(std::move(toolCalls)),
          toolCallsOnThreads(toolCallsOnThreads) {}
    bpm_status status;
    std::string text;
    std::string toolName;
    Calls toolCalls;
    bool toolCallsOnThreads; // each call on its own thread, all at once, as the platform may
};

struct Script {
    bpm_availability availability = BPM_AVAILABLE;
    Step create;                                // status and error text of bpm_session_create
    Step respond;                               // what bpm_respond plays
    std::vector<Step> stream;                   // one per bpm_stream_next; then BPM_END
    std::optional<std::string> latestToolCalls; // the JSON bpm_latest_tool_calls hands out
    bool latestFromHistory = false;             // instead: the description's last tool-calls entry, as a
                                                // platform that adds none after a captured call would give

    Script& available(bpm_availability value) { return availability = value, *this; }
    Script& creating(Step step) { return create = std::move(step), *this; }
    Script& responding(Step step) { return respond = std::move(step), *this; }
    Script& streaming(std::vector<Step> steps) { return stream = std::move(steps), *this; }
    Script& latest(std::optional<std::string> json) { return latestToolCalls = std::move(json), *this; }
    Script& latestFromTheHistory() { return latestFromHistory = true, *this; }
};

struct Observed {
    std::vector<std::string> descriptions; // every session description received
    std::vector<std::string> prompts;
    std::vector<bpm_options> options;
    std::vector<bpm_status> hookAnswers;
    int streamNextCalls = 0;
    int sessionsCreated = 0;  // attempts, successful or not
    int contextsReleased = 0; // each attempt must release its context exactly once
    int liveSessions = 0;
    int liveStreams = 0;
    int textsHandedOut = 0;
    int liveTexts = 0;    // handed out and not yet freed
    int foreignFrees = 0; // frees of bytes the fake never handed out, or freed twice
};

// Starts afresh with this script: clears what was observed.
void reset(Script script);
const Observed& observed();

} // namespace brindle::testing::FakePlatformBridge
