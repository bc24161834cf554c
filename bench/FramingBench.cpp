#include "BrindleKit/HTTPFraming.h"

#include <cstddef>
#include <string>
#include <string_view>

#include <benchmark/benchmark.h>

namespace brindle {
namespace {

// What a load tool or a browser sends: a handful of headers in mixed case, no body.
constexpr std::string_view kHealthRequest = "GET /health HTTP/1.1\r\n"
                                            "Host: 127.0.0.1:8080\r\n"
                                            "User-Agent: Mozilla/5.0 (X11; Linux x86_64) Gecko/20100101\r\n"
                                            "Accept: application/json\r\n"
                                            "Accept-Encoding: gzip, deflate\r\n"
                                            "Connection: keep-alive\r\n\r\n";

// A chat request as an OpenAI client library frames it, with a 200-byte body.
std::string completionRequest() {
    const std::string body = R"({"model":"brindle-core","messages":[{"role":"user","content":"Please write a )"
                             R"(short note to the team about moving the weekly planning meeting from Monday )"
                             R"(morning to Tuesday at ten, if that suits."}]})";
    return "POST /v1/chat/completions HTTP/1.1\r\n"
           "Host: 127.0.0.1:8080\r\n"
           "Content-Type: application/json\r\n"
           "Authorization: Bearer not-needed\r\n"
           "User-Agent: OpenAI/Python 1.40.0\r\n"
           "Accept: application/json\r\n"
           "Content-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

// Frames every request of a buffer of pipelined ones, the way the connection loop walks its buffer.
void frameAll(benchmark::State& state, const std::string& one) {
    const auto count = static_cast<std::size_t>(state.range(0));
    std::string buffer;
    for (std::size_t i = 0; i < count; ++i) buffer += one;
    for (auto _ : state) {
        std::string_view rest = buffer;
        while (!rest.empty()) {
            FramedRequest framed = frameNextRequest(rest);
            if (framed.status != FramedRequest::Status::complete) state.SkipWithError("not framed");
            benchmark::DoNotOptimize(framed.request);
            rest.remove_prefix(framed.consumed);
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * count));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * buffer.size()));
}

void framePipelinedHealth(benchmark::State& state) {
    frameAll(state, std::string(kHealthRequest));
}
BENCHMARK(framePipelinedHealth)->Arg(1)->Arg(64);

void framePipelinedCompletions(benchmark::State& state) {
    frameAll(state, completionRequest());
}
BENCHMARK(framePipelinedCompletions)->Arg(1)->Arg(64);

// A head that arrives one byte at a time: each arrival frames again from where the last search stopped,
// so the whole head costs time linear in its size.
void frameDribbledHead(benchmark::State& state) {
    std::string head = "GET /health HTTP/1.1\r\n";
    while (head.size() < static_cast<std::size_t>(state.range(0))) head += "X-Padding: abcdefghijklmnopqrstuvwxyz\r\n";
    head += "\r\n";
    for (auto _ : state) {
        std::size_t searchFrom = 0;
        for (std::size_t size = 1; size <= head.size(); ++size) {
            FramedRequest framed = frameNextRequest(std::string_view(head).substr(0, size), searchFrom);
            searchFrom = framed.resumeAt;
            benchmark::DoNotOptimize(framed);
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * head.size()));
}
BENCHMARK(frameDribbledHead)->Arg(1 << 10)->Arg(16 << 10);

// A large body is copied once out of the connection's buffer, with the parser's padding reserved.
void frameLargeBody(benchmark::State& state) {
    const std::string body(static_cast<std::size_t>(state.range(0)), 'x');
    const std::string request = "POST /v1/chat/completions HTTP/1.1\r\nContent-Type: application/json\r\n"
                                "Content-Length: " +
                                std::to_string(body.size()) + "\r\n\r\n" + body;
    for (auto _ : state) {
        FramedRequest framed = frameNextRequest(request);
        benchmark::DoNotOptimize(framed.request.body.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * request.size()));
}
BENCHMARK(frameLargeBody)->Arg(8 << 20)->Unit(benchmark::kMillisecond);

} // namespace
} // namespace brindle
