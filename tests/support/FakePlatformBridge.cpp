#include "FakePlatformBridge.h"

#include "BrindleKit/JSONValue.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>

namespace brindle::testing::FakePlatformBridge {

namespace {

struct State {
    std::mutex lock; // the hook may run on several threads at once
    Script script;
    Observed observed;
    std::set<const char*> handedOut;
    std::size_t nextStreamStep = 0;
};

State& state() {
    static State instance;
    return instance;
}

bpm_text handOut(const std::string& text) {
    if (text.empty()) return {nullptr, 0};
    auto* bytes = static_cast<char*>(std::malloc(text.size() + 1));
    std::memcpy(bytes, text.data(), text.size());
    bytes[text.size()] = '\0';
    const std::lock_guard<std::mutex> guard(state().lock);
    state().handedOut.insert(bytes);
    ++state().observed.textsHandedOut;
    ++state().observed.liveTexts;
    return {bytes, text.size()};
}

std::string copied(const char* bytes, size_t length) {
    return length == 0 ? std::string() : std::string(bytes, length);
}

} // namespace

} // namespace brindle::testing::FakePlatformBridge

using namespace brindle::testing::FakePlatformBridge;
using brindle::JSONValue;
using brindle::JSONWriter;
namespace JSONCoding = brindle::JSONCoding;

// A session or a stream: the hook's context is released when the last of them goes.
struct bpm_session {
    bpm_tool_hook hook;
    void* context;
    bpm_context_release release;
    int references = 1;
};

struct bpm_stream {
    bpm_session* session;
};

namespace {

void drop(bpm_session* session) {
    if (--session->references > 0) return;
    session->release(session->context);
    {
        const std::lock_guard<std::mutex> guard(state().lock);
        ++state().observed.contextsReleased;
        --state().observed.liveSessions;
    }
    delete session;
}

void callHook(bpm_session* session, const std::pair<std::string, std::string>& call) {
    const bpm_status answer =
        session->hook(session->context, call.first.data(), call.first.size(), call.second.data(), call.second.size());
    const std::lock_guard<std::mutex> guard(state().lock);
    state().observed.hookAnswers.push_back(answer);
}

bpm_status play(bpm_session* session, const Step& step, bpm_reply* reply) {
    if (step.toolCallsOnThreads) {
        std::vector<std::thread> threads;
        for (const auto& call : step.toolCalls) threads.emplace_back([session, &call] { callHook(session, call); });
        for (auto& thread : threads) thread.join();
    } else {
        for (const auto& call : step.toolCalls) callHook(session, call);
    }
    reply->text = handOut(step.text);
    reply->tool_name = handOut(step.toolName);
    return step.status;
}

// The last tool-calls entry of a session description, in the form bpm_latest_tool_calls hands out.
std::optional<std::string> lastToolCallsOf(const std::string& description) {
    const JSONValue document = JSONCoding::decoder().decode<JSONValue>(description);
    const auto& entries = *document.objectValue()->at("entries").arrayValue();
    for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
        const auto& fields = *entry->objectValue();
        if (*fields.at("kind").stringValue() != "toolCalls") continue;
        JSONWriter out;
        out.beginObject();
        out.field("id", *fields.at("id").stringValue());
        out.key("calls");
        fields.at("calls").encode(out); // members in key order: arguments, id, toolName
        out.endObject();
        return out.take();
    }
    return std::nullopt;
}

void observeRequest(const char* prompt, size_t length, const bpm_options* options) {
    state().observed.prompts.push_back(copied(prompt, length));
    state().observed.options.push_back(options ? *options : bpm_options{});
}

} // namespace

namespace brindle::testing::FakePlatformBridge {

void reset(Script script) {
    State& current = state();
    const std::lock_guard<std::mutex> guard(current.lock);
    current.script = std::move(script);
    current.observed = {};
    current.handedOut.clear();
    current.nextStreamStep = 0;
}

const Observed& observed() {
    return state().observed;
}

} // namespace brindle::testing::FakePlatformBridge

extern "C" {

bpm_availability bpm_availability_now(void) {
    return state().script.availability;
}

bpm_session* bpm_session_create(const char* description, size_t description_length, bpm_tool_hook hook, void* context,
                                bpm_context_release release_context, bpm_status* status, bpm_reply* error) {
    state().observed.descriptions.push_back(copied(description, description_length));
    ++state().observed.sessionsCreated;
    auto* session = new bpm_session{hook, context, release_context};
    ++state().observed.liveSessions;
    const Step& create = state().script.create;
    if (create.status == BPM_OK) {
        *status = BPM_OK;
        return session;
    }
    *status = create.status;
    error->text = handOut(create.text);
    drop(session);
    return nullptr;
}

void bpm_session_release(bpm_session* session) {
    drop(session);
}

bpm_status bpm_respond(bpm_session* session, const char* prompt, size_t prompt_length, const bpm_options* options,
                       bpm_reply* reply) {
    observeRequest(prompt, prompt_length, options);
    return play(session, state().script.respond, reply);
}

bpm_stream* bpm_stream_start(bpm_session* session, const char* prompt, size_t prompt_length,
                             const bpm_options* options) {
    observeRequest(prompt, prompt_length, options);
    ++session->references;
    ++state().observed.liveStreams;
    return new bpm_stream{session};
}

bpm_status bpm_stream_next(bpm_stream* stream, bpm_reply* reply) {
    ++state().observed.streamNextCalls;
    const auto& steps = state().script.stream;
    if (state().nextStreamStep >= steps.size()) return BPM_END;
    return play(stream->session, steps[state().nextStreamStep++], reply);
}

void bpm_stream_release(bpm_stream* stream) {
    --state().observed.liveStreams;
    drop(stream->session);
    delete stream;
}

int bpm_latest_tool_calls(bpm_session*, bpm_text* json) {
    *json = {nullptr, 0};
    const auto latest = state().script.latestFromHistory ? lastToolCallsOf(state().observed.descriptions.back())
                                                         : state().script.latestToolCalls;
    if (!latest) return 0;
    *json = handOut(*latest);
    return 1;
}

void bpm_free_text(char* bytes) {
    if (!bytes) return;
    const std::lock_guard<std::mutex> guard(state().lock);
    if (state().handedOut.erase(bytes) == 0) {
        ++state().observed.foreignFrees;
        return;
    }
    --state().observed.liveTexts;
    std::free(bytes);
}

} // extern "C"
