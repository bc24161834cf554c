#include "FakePlatformBridge.h"

#include <cstdlib>
#include <cstring>

using namespace brindle::testing::FakePlatformBridge;

struct bpm_session {
    bpm_tool_hook hook;
    void* context;
    bpm_context_release release;
    int references = 1; // the session and each of its streams: the hook's context goes with the last
};

struct bpm_stream {
    bpm_session* session;
    std::size_t nextStep = 0;
};

namespace {

Script script;
Observed seen;

bpm_text handOut(const std::string& text) {
    if (text.empty()) return {nullptr, 0};
    auto* bytes = static_cast<char*>(std::malloc(text.size() + 1));
    std::memcpy(bytes, text.data(), text.size());
    bytes[text.size()] = '\0';
    seen.liveTexts.insert(bytes);
    return {bytes, text.size()};
}

void drop(bpm_session* session) {
    if (--session->references > 0) return;
    session->release(session->context);
    ++seen.contextsReleased;
    delete session;
}

bpm_status play(bpm_session* session, const Step& step, bpm_reply* reply) {
    for (const auto& [name, arguments] : step.toolCalls)
        seen.hookAnswers.push_back(
            session->hook(session->context, name.data(), name.size(), arguments.data(), arguments.size()));
    reply->text = handOut(step.text);
    reply->tool_name = handOut(step.toolName);
    return step.status;
}

} // namespace

namespace brindle::testing::FakePlatformBridge {

void reset(Script next) {
    script = std::move(next);
    seen = {};
}

const Observed& observed() {
    return seen;
}

} // namespace brindle::testing::FakePlatformBridge

extern "C" {

bpm_availability bpm_availability_now(void) {
    return script.availability;
}

bpm_session* bpm_session_create(const char* description, size_t description_length, bpm_tool_hook hook, void* context,
                                bpm_context_release release_context, bpm_status* status, bpm_reply* error) {
    seen.descriptions.emplace_back(description, description_length);
    auto* session = new bpm_session{hook, context, release_context};
    *status = script.create.status;
    if (*status == BPM_OK) return session;
    error->text = handOut(script.create.text);
    drop(session);
    return nullptr;
}

void bpm_session_release(bpm_session* session) {
    drop(session);
}

bpm_status bpm_respond(bpm_session* session, const char* prompt, size_t prompt_length, const bpm_options* options,
                       bpm_reply* reply) {
    seen.prompts.emplace_back(prompt, prompt_length);
    seen.options.push_back(*options);
    return play(session, script.respond, reply);
}

bpm_stream* bpm_stream_start(bpm_session* session, const char* prompt, size_t prompt_length,
                             const bpm_options* options) {
    seen.prompts.emplace_back(prompt, prompt_length);
    seen.options.push_back(*options);
    ++session->references;
    return new bpm_stream{session};
}

bpm_status bpm_stream_next(bpm_stream* stream, bpm_reply* reply) {
    ++seen.streamNextCalls;
    if (stream->nextStep == script.stream.size()) return BPM_END;
    return play(stream->session, script.stream.at(stream->nextStep++), reply);
}

bpm_status bpm_respond_guided(bpm_session* session, const char* prompt, size_t prompt_length, const char* schema,
                              size_t schema_length, int include_schema_in_prompt, const bpm_options* options,
                              bpm_reply* reply) {
    seen.schemas.push_back((include_schema_in_prompt ? "+" : "-") + std::string(schema, schema_length));
    return bpm_respond(session, prompt, prompt_length, options, reply);
}

bpm_stream* bpm_stream_start_guided(bpm_session* session, const char* prompt, size_t prompt_length, const char* schema,
                                    size_t schema_length, int include_schema_in_prompt, const bpm_options* options) {
    seen.schemas.push_back((include_schema_in_prompt ? "+" : "-") + std::string(schema, schema_length));
    return bpm_stream_start(session, prompt, prompt_length, options);
}

void bpm_stream_release(bpm_stream* stream) {
    drop(stream->session);
    delete stream;
}

int bpm_latest_tool_calls(bpm_session*, bpm_text* json) {
    *json = handOut(script.latestToolCalls.value_or(""));
    return script.latestToolCalls.has_value();
}

void bpm_free_text(char* bytes) {
    if (!bytes) return;
    if (seen.liveTexts.erase(bytes) == 0) return void(++seen.foreignFrees);
    std::free(bytes);
}

} // extern "C"
