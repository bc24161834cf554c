#include "BrindleBase/Unicode.h"
#include "BrindleKit/SSEWriter.h"

#include <chrono>
#include <string>
#include <string_view>

#include <benchmark/benchmark.h>

namespace brindle {
namespace {

// Deltas the size a model streams: a word or two, sometimes with punctuation, accents or a line feed.
constexpr std::string_view kDeltas[] = {"Hello",       ",",         " world",        " caf\u00e9",  "\n\n",
                                        " \"quoted\"", " the",      " \u6f22\u5b57", " \U0001F44D", " path/to/file",
                                        ".",           " and so on"};

void buildContentFrames(benchmark::State& state) {
    constexpr int kFrames = 10'000;
    std::size_t bytes = 0;
    for (auto _ : state) {
        SSEWriter writer("brindle-core", std::chrono::system_clock::now());
        for (int i = 0; i < kFrames; ++i) {
            std::string frame = writer.contentFrame(kDeltas[static_cast<std::size_t>(i) % std::size(kDeltas)]);
            bytes += frame.size();
            benchmark::DoNotOptimize(frame);
        }
    }
    state.SetItemsProcessed(state.iterations() * kFrames);
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}
BENCHMARK(buildContentFrames)->Unit(benchmark::kMillisecond);

// About 1 MiB of text mixing Latin (precomposed and with combining marks), CJK and emoji sequences.
std::string mixedScriptText() {
    constexpr std::string_view kPieces[] = {
        "Plain English prose with numbers 42 and punctuation, as most chat text is. ",
        "Caf\u00e9 na\u00efve, and the same with marks: cafe\u0301 nai\u0308ve, \u1ea1\u0302. ",
        "\u4eca\u65e5\u306f\u3044\u3044\u5929\u6c17\u3067\u3059\u306d\u3002\u6f22\u5b57\u3082\u3002 ",
        "\U0001F44D\U0001F3FD \U0001F468\u200D\U0001F469\u200D\U0001F467\u200D\U0001F466 "
        "\U0001F1EB\U0001F1F7\U0001F1EF\U0001F1F5 ",
        "\uD55C\uAD6D\uC5B4 \u1100\u1161\u11A8 \u0928\u092E\u0938\u094D\u0924\u0947 \u0645\u0631\u062D\u0628\u0627\r\n",
    };
    std::string text;
    for (std::size_t i = 0; text.size() < (1u << 20); ++i) text += kPieces[(i * 7 + i / 3) % std::size(kPieces)];
    return text;
}

void countText(benchmark::State& state, const std::string& text, std::size_t (*count)(std::string_view)) {
    for (auto _ : state) benchmark::DoNotOptimize(count(text));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void characterCountMixed(benchmark::State& state) {
    countText(state, mixedScriptText(), Unicode::characterCount);
}
BENCHMARK(characterCountMixed)->Unit(benchmark::kMillisecond);

void characterCountASCII(benchmark::State& state) {
    countText(state, std::string(1u << 20, 'a'), Unicode::characterCount);
}
BENCHMARK(characterCountASCII)->Unit(benchmark::kMillisecond);

void tokenEstimateMixed(benchmark::State& state) {
    const std::string text = mixedScriptText();
    for (auto _ : state) benchmark::DoNotOptimize(TokenEstimator::estimate(text));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(tokenEstimateMixed)->Unit(benchmark::kMillisecond);

} // namespace
} // namespace brindle
