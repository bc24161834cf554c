#include "BrindleKit/OpenAIModels.h"

#include <cstddef>
#include <string>
#include <string_view>

#include <benchmark/benchmark.h>

namespace brindle {
namespace {

// Fragments of a message's text as they appear inside a JSON body: mostly ASCII prose, with accents, CJK,
// emoji sequences and the escapes (quotes, line feeds, a \u escape) that a parser has to unescape.
constexpr std::string_view kFragments[] = {
    "The quick brown fox jumps over the lazy dog while the committee reviews the quarterly figures. ",
    "Please summarise the attached notes and list the open questions, one per line. ",
    "Caf\u00e9 cr\u00e8me br\u00fbl\u00e9e, na\u00efve fa\u00e7ade, Stra\u00dfe, \u0153uvre. ",
    "She said \\\"it works\\\" and left.\\nNext line\\ttabbed. ",
    "\u6f22\u5b57\u3068\u4eee\u540d\u304c\u6df7\u3056\u3063\u305f\u6587\u7ae0\u3067\u3059\u3002 ",
    "for (int i = 0; i < n; ++i) { total += values[i] * weights[i]; }\\n",
    "Reactions: \U0001F44D\U0001F3FD \U0001F468\u200D\U0001F469\u200D\U0001F467 \U0001F1EB\U0001F1F7 \\u00e9. ",
    "Numbers 3.14159, 2.71828 and 1.41421 appear in the appendix of the report. ",
};

std::string text(std::size_t length, std::size_t seed) {
    std::string out;
    out.reserve(length + 128);
    for (std::size_t i = seed; out.size() < length; i = i * 5 + 3) out += kFragments[i % std::size(kFragments)];
    return out;
}

std::string toolJSON(std::size_t n) {
    const std::string id = std::to_string(n);
    return R"({"type":"function","function":{"name":"tool_)" + id + R"(","description":"Looks things up in store )" +
           id +
           R"(.","parameters":{"type":"object","properties":{"query":{"type":"string","description":"What to )"
           R"(find"},"filters":{"type":"object","properties":{"range":{"type":"object","properties":{"from":)"
           R"({"type":"number"},"to":{"type":"number"}},"required":["from"]},"tags":{"type":"array","items":)"
           R"({"type":"string","enum":["red","green","blue"]}},"nested":{"type":"array","items":{"type":"object",)"
           R"("properties":{"k":{"type":"string"},"v":{"anyOf":[{"type":"integer"},{"type":"null"}]}}}}}},)"
           R"("limit":{"type":"integer","minimum":1,"maximum":100}},"required":["query"]}}})";
}

std::string messageJSON(std::size_t n) {
    const std::string id = std::to_string(n);
    switch (n % 6) {
    case 0:
    case 2: return R"({"role":"user","content":")" + text(1024 + (n * 997) % 6144, n) + "\"}";
    case 1: return R"({"role":"assistant","content":")" + text(512 + (n * 613) % 4096, n + 1) + "\"}";
    case 3:
        return R"({"role":"user","name":"ann","content":[{"type":"text","text":")" + text(2048, n) +
               R"("},{"type":"image_url","image_url":{"url":"https://example.invalid/)" + id + R"(.png"}}]})";
    case 4:
        return R"({"role":"assistant","content":null,"tool_calls":[{"id":"call_)" + id +
               R"(","type":"function","function":{"name":"tool_3","arguments":"{\"query\":\"caf\u00e9 )" + id +
               R"(\",\"limit\":5}"}}]})";
    default: return R"({"role":"tool","tool_call_id":"call_)" + id + R"(","content":")" + text(768, n) + "\"}";
    }
}

// A whole request body of at least `size` bytes.
std::string requestBody(std::size_t size) {
    std::string body = R"({"model":"brindle-core","stream":true,"temperature":0.7,"max_tokens":512,)"
                       R"("stream_options":{"include_usage":true},"tool_choice":"auto","tools":[)";
    for (std::size_t n = 0; n < 16; ++n) {
        if (n > 0) body += ',';
        body += toolJSON(n);
    }
    body += R"(],"messages":[{"role":"system","content":"You are a careful assistant."})";
    for (std::size_t n = 0; body.size() < size; ++n) {
        body += ',';
        body += messageJSON(n);
    }
    body += "]}";
    return body;
}

void decodeRequest(benchmark::State& state, const std::string& body) {
    for (auto _ : state) {
        ChatCompletionRequest request = JSONCoding::decoder().decode<ChatCompletionRequest>(body);
        benchmark::DoNotOptimize(request);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * body.size()));
    state.counters["body_bytes"] = static_cast<double>(body.size());
}

void decodeLargeRequest(benchmark::State& state) {
    decodeRequest(state, requestBody(static_cast<std::size_t>(state.range(0))));
}
BENCHMARK(decodeLargeRequest)->Arg(1 << 20)->Arg(8 << 20)->Arg(32 << 20)->Unit(benchmark::kMillisecond);

void decodeSmallRequest(benchmark::State& state) {
    decodeRequest(state, R"({"model":"brindle-core","messages":[{"role":"system","content":"You are terse."},)"
                         R"({"role":"user","content":"What is the capital of France? One word, please."}],)"
                         R"("stream":true,"max_tokens":16,"temperature":0.2})");
}
BENCHMARK(decodeSmallRequest);

ChatCompletionResponse answerResponse(std::optional<std::string> content, std::optional<std::vector<ToolCall>> calls) {
    ChatCompletionResponse response;
    response.id = "chatcmpl-0b7a4c1e-5d2f-4a8b-9c3d-1e2f3a4b5c6d";
    response.created = 1'700'000'000;
    response.model = "brindle-core";
    Choice choice;
    choice.message.content = std::move(content);
    choice.message.toolCalls = std::move(calls);
    choice.finishReason = choice.message.toolCalls ? "tool_calls" : "stop";
    response.choices.push_back(std::move(choice));
    response.usage = Usage(812, 301);
    return response;
}

void writeResponse(benchmark::State& state, const ChatCompletionResponse& response) {
    std::size_t bytes = 0;
    for (auto _ : state) {
        std::string json = JSONCoding::encodeString(response);
        bytes += json.size();
        benchmark::DoNotOptimize(json);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}

// A plain answer of about 2 KiB with real line feeds, quotes and non-ASCII text to escape or pass through.
void writeTextResponse(benchmark::State& state) {
    std::string content;
    while (content.size() < 2048)
        content += "Line with \"quotes\", caf\u00e9, \u6f22\u5b57 and \U0001F44D\U0001F3FD; a/b path.\n";
    writeResponse(state, answerResponse(content, std::nullopt));
}
BENCHMARK(writeTextResponse);

void writeToolCallResponse(benchmark::State& state) {
    writeResponse(state, answerResponse(std::nullopt,
                                        std::vector<ToolCall>{
                                            {"call_1", "function", {"lookup", R"({"query":"caf\u00e9","limit":5})"}},
                                            {"call_2", "function", {"fetch", R"({"url":"https://a/b"})"}},
                                        }));
}
BENCHMARK(writeToolCallResponse);

} // namespace
} // namespace brindle
