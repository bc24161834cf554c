#include "BrindleKit/ToolBridge.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace brindle {
namespace {

JSONValue json(std::string_view text) { return JSONCoding::decoder().decode<JSONValue>(text); }

// Each copy taken while four threads record must be a prefix of the final list, with no torn entry.
TEST(ToolCallRecorder, KeepsEveryCallWholeAndInOrderUnderConcurrentRecording) {
    constexpr int kThreads = 4, kCallsPerThread = 300;
    ToolCallRecorder recorder;
    std::vector<std::vector<ToolCallRecorder::Call>> copies;
    std::vector<std::thread> threads;
    for (int thread = 0; thread < kThreads; ++thread)
        threads.emplace_back([&recorder, thread] {
            for (int i = 0; i < kCallsPerThread; ++i) recorder.record(std::to_string(thread), std::to_string(i));
        });
    threads.emplace_back([&] { for (int read = 0; read < 40; ++read) copies.push_back(recorder.calls()); });
    for (auto& thread : threads) thread.join();

    const auto calls = recorder.calls();
    ASSERT_EQ(calls.size(), std::size_t{kThreads * kCallsPerThread});
    std::vector<int> next(kThreads, 0);
    for (const auto& call : calls) EXPECT_EQ(call.argumentsJSON, std::to_string(next.at(std::stoul(call.name))++));
    for (const auto& copy : copies)
        for (std::size_t i = 0; i < copy.size(); ++i)
            EXPECT_TRUE(copy[i].name == calls[i].name && copy[i].argumentsJSON == calls[i].argumentsJSON) << i;
}

TEST(ProxyTool, OffersTheClientToolAndRecordsEachCallBeforeEndingTheGeneration) {
    const auto recorder = std::make_shared<ToolCallRecorder>();
    ProxyTool ping(FunctionSpec{"ping", std::nullopt, std::nullopt}, recorder);
    EXPECT_EQ(ping.description(), "");
    EXPECT_EQ(ping.parameters().root().kind(), model::DynamicGenerationSchema::Kind::string) << "from {}";
    ProxyTool weather(FunctionSpec{"get_weather", "Look up", json(R"({"type":"object","properties":{"city":{}}})")},
                      recorder);
    EXPECT_EQ(weather.parameters().root().name(), "get_weather");
    EXPECT_THROW(ProxyTool(FunctionSpec{"f", {}, json(R"({"type":"object","properties":{"f":{"type":"object"}}})")},
                           recorder),
                 model::GenerationSchema::SchemaError);

    EXPECT_THROW(weather.call(model::GeneratedContent::fromJSON(R"({"city":"Paris"})")), CapturedToolCall);
    EXPECT_THROW(ping.call(model::GeneratedContent(std::string("plain"))), CapturedToolCall);
    std::vector<std::string> seen;
    for (const auto& call : recorder->calls()) seen.push_back(call.name + " " + call.argumentsJSON);
    EXPECT_EQ(seen, (std::vector<std::string>{R"(get_weather {"city":"Paris"})", R"(ping "plain")"}));
}

} // namespace
} // namespace brindle
