#include "BrindleKit/ToolBridge.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace brindle {
namespace {

// A platform model may call several tools at once. Each copy taken while four threads record must be a prefix
// of the final list, with no torn entry; the proxies' other behaviour is replayed on the wire.
TEST(ToolCallRecorder, KeepsEveryCallWholeAndInOrderUnderConcurrentRecording) {
    constexpr int kThreads = 4, kCallsPerThread = 300;
    ToolCallRecorder recorder;
    std::vector<std::vector<ToolCallRecorder::Call>> copies;
    std::vector<std::thread> threads;
    for (int thread = 0; thread < kThreads; ++thread)
        threads.emplace_back([&recorder, thread] {
            for (int i = 0; i < kCallsPerThread; ++i) recorder.record(std::to_string(thread), std::to_string(i));
        });
    threads.emplace_back([&] {
        for (int read = 0; read < 40; ++read) copies.push_back(recorder.calls());
    });
    for (auto& thread : threads) thread.join();

    const auto calls = recorder.calls();
    ASSERT_EQ(calls.size(), std::size_t{kThreads * kCallsPerThread});
    std::vector<int> next(kThreads, 0);
    for (const auto& call : calls) EXPECT_EQ(call.argumentsJSON, std::to_string(next.at(std::stoul(call.name))++));
    for (const auto& copy : copies)
        for (std::size_t i = 0; i < copy.size(); ++i)
            EXPECT_TRUE(copy[i].name == calls[i].name && copy[i].argumentsJSON == calls[i].argumentsJSON) << i;
}

} // namespace
} // namespace brindle
