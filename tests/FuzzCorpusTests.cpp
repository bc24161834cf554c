// Every input the fuzzers keep in fuzz/corpus, seeds and found crashes alike, goes through its target on
// every test run, so a fixed crash stays fixed without the fuzzing toolchain.

#include "fuzz/FuzzTargets.h"

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

namespace brindle {
namespace {

namespace fs = std::filesystem;

std::string contents(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

TEST(FuzzCorpus, EveryKeptInputPassesItsTarget) {
    const struct {
        const char* directory;
        std::function<void(std::string_view)> target;
    } targets[] = {
        {"framing", fuzz::framing},
        {"chatRequest", fuzz::chatRequest},
        {"schemaTranslator", fuzz::schemaTranslator},
        {"transcriptBuilder", fuzz::transcriptBuilder},
        {"streamDeltas", fuzz::streamDeltas},
        {"toolArguments", fuzz::toolArguments},
    };
    for (const auto& [directory, target] : targets) {
        const fs::path corpus = fs::path(BRINDLE_FUZZ_CORPUS) / directory;
        ASSERT_TRUE(fs::is_directory(corpus)) << corpus;
        int replayed = 0;
        for (const auto& entry : fs::directory_iterator(corpus)) {
            if (!entry.is_regular_file()) continue;
            ++replayed;
            try {
                target(contents(entry.path()));
            } catch (const std::exception& error) {
                ADD_FAILURE() << entry.path() << ": " << error.what();
            }
        }
        EXPECT_GT(replayed, 0) << "no seed for " << directory;
    }
}

} // namespace
} // namespace brindle
