#include "BrindleKit/ToolBridge.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace brindle {
namespace {

using Call = ToolCallRecorder::Call;

using Pairs = std::vector<std::pair<std::string, std::string>>;

Pairs pairs(const std::vector<Call>& calls) {
    Pairs result;
    for (const Call& call : calls) result.emplace_back(call.name, call.argumentsJSON);
    return result;
}

JSONValue json(std::string_view text) { return JSONCoding::decoder().decode<JSONValue>(text); }

TEST(ToolCallRecorder, KeepsEveryCallWholeAndInOrderUnderConcurrentRecording) {
    constexpr int kThreads = 4;
    constexpr int kCallsPerThread = 300;
    constexpr int kReads = 40;
    ToolCallRecorder recorder;
    std::vector<std::vector<Call>> snapshots;
    std::vector<std::thread> threads;
    for (int thread = 0; thread < kThreads; ++thread)
        threads.emplace_back([&recorder, thread] {
            for (int index = 0; index < kCallsPerThread; ++index)
                recorder.record("tool" + std::to_string(thread), std::to_string(thread) + ":" + std::to_string(index));
        });
    threads.emplace_back([&recorder, &snapshots] {
        for (int read = 0; read < kReads; ++read) snapshots.push_back(recorder.calls());
    });
    for (auto& thread : threads) thread.join();

    const std::vector<Call> calls = recorder.calls();
    ASSERT_EQ(calls.size(), std::size_t{kThreads * kCallsPerThread});
    std::vector<int> next(kThreads, 0);
    for (const Call& call : calls) {
        const int thread = std::stoi(call.name.substr(4));
        EXPECT_EQ(call.argumentsJSON, std::to_string(thread) + ":" + std::to_string(next[thread]++))
            << "torn or reordered";
    }
    // The list only grows, so every copy taken while recording is a prefix of the final list.
    const Pairs all = pairs(calls);
    for (const auto& snapshot : snapshots) {
        ASSERT_LE(snapshot.size(), all.size());
        EXPECT_EQ(pairs(snapshot), Pairs(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(snapshot.size())));
    }
}

TEST(ProxyTool, OffersTheClientToolUnderItsOwnName) {
    const auto recorder = std::make_shared<ToolCallRecorder>();
    const ProxyTool bare(FunctionSpec{"ping", std::nullopt, std::nullopt}, recorder);
    EXPECT_EQ(bare.name(), "ping");
    EXPECT_EQ(bare.description(), "");
    EXPECT_EQ(bare.parameters().root().kind(), model::DynamicGenerationSchema::Kind::string);

    const ProxyTool described(
        FunctionSpec{"get_weather", "Look up the weather", json(R"({"type":"object","properties":{"city":{}}})")},
        recorder);
    EXPECT_EQ(described.description(), "Look up the weather");
    EXPECT_EQ(described.parameters().root().name(), "get_weather");
    ASSERT_EQ(described.parameters().root().properties().size(), 1u);

    EXPECT_THROW(
        ProxyTool(FunctionSpec{"f", std::nullopt, json(R"({"type":"object","properties":{"f":{"type":"object"}}})")},
                  recorder),
        model::GenerationSchema::SchemaError);
}

TEST(ProxyTool, RecordsTheCallThenEndsTheGeneration) {
    const auto recorder = std::make_shared<ToolCallRecorder>();
    ProxyTool weather(FunctionSpec{"get_weather", std::nullopt, std::nullopt}, recorder);
    ProxyTool search(FunctionSpec{"search", std::nullopt, std::nullopt}, recorder);

    EXPECT_THROW(weather.call(model::GeneratedContent::fromJSON(R"({"city":"Paris"})")), CapturedToolCall);
    EXPECT_THROW(search.call(model::GeneratedContent(std::string("plain"))), CapturedToolCall);
    const Pairs expected = {{"get_weather", R"({"city":"Paris"})"}, {"search", R"("plain")"}};
    EXPECT_EQ(pairs(recorder->calls()), expected);
}

} // namespace
} // namespace brindle
