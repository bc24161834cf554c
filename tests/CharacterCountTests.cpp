#include "BrindleBase/Unicode.h"

#include <cstdint>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>
#include <utf8proc.h>

namespace brindle {
namespace {

// characterCount counts runs of plain ASCII in blocks and everything else cluster by cluster; the cluster
// walk of scanCharacters is the reference. The pieces are chosen for what can join across a block's edge:
// CR LF, a combining mark or ZWJ after an ASCII letter, a prepended mark before one, flags, invalid bytes.
TEST(CharacterCount, CountsTextsMixingASCIIRunsAndClustersAsTheClusterWalkDoes) {
    constexpr std::string_view kPieces[] = {
        "a",
        "plain words ",
        "0123456789abcdef",
        "\r\n",
        "\r",
        "\n",
        "\u0301",               // combining acute: joins the character before it
        "\u200D",               // zero width joiner
        "\u0600",               // a prepended mark: joins the character after it
        "\U0001F44D\U0001F3FD", // emoji with skin tone
        "\U0001F1EB\U0001F1F7", // a flag: two regional indicators
        "\U0001F1E9",           // one more regional indicator
        "\u1100\u1161\u11A8",   // Hangul jamo, one syllable
        "\u0915",               // Devanagari ka: a conjunct consonant
        "\u094D",               // Devanagari virama: links the consonants around it
        "\xff",                 // invalid byte
        "\xe2\x82",             // a cut-off sequence
    };
    std::mt19937 random(20'240'601);
    std::uniform_int_distribution<std::size_t> piece(0, std::size(kPieces) - 1), length(0, 40);
    for (int round = 0; round < 2'000; ++round) {
        std::string text;
        for (std::size_t n = length(random); n > 0; --n) text += kPieces[piece(random)];
        ASSERT_EQ(Unicode::characterCount(text), Unicode::scanCharacters(text, 0).count) << "text: " << text;
    }
}

std::string utf8(std::uint32_t codePoint) {
    utf8proc_uint8_t bytes[4];
    return std::string(reinterpret_cast<char*>(bytes),
                       utf8proc_encode_char(static_cast<utf8proc_int32_t>(codePoint), bytes));
}

// Unicode's own conformance test: every line is a text with its clusters marked ("÷ 0915 × 094D × 0937 ÷").
TEST(CharacterCount, SplitsEveryLineOfUnicodesGraphemeBreakTestAsMarked) {
    std::ifstream file(BRINDLE_TEST_DATA "/GraphemeBreakTest.txt");
    ASSERT_TRUE(file) << "missing " BRINDLE_TEST_DATA "/GraphemeBreakTest.txt";
    std::size_t lines = 0;
    for (std::string line; std::getline(file, line);) {
        if (line.empty() || line[0] == '#') continue;
        ++lines;
        std::string text;
        std::vector<std::string> clusters;
        std::istringstream tokens(line);
        for (std::string token; tokens >> token;) {
            if (token == "÷")
                clusters.emplace_back();
            else if (token != "×")
                clusters.back() += utf8(std::stoul(token, nullptr, 16));
        }
        clusters.pop_back(); // the closing mark starts no cluster
        for (const std::string& cluster : clusters) text += cluster;

        ASSERT_EQ(Unicode::characterCount(text), clusters.size()) << line;
        std::string_view rest = text;
        for (std::size_t n = 0; n < clusters.size(); ++n) {
            const std::string_view after = Unicode::dropCharacters(rest, 1);
            ASSERT_EQ(rest.substr(0, rest.size() - after.size()), clusters[n]) << line << ", cluster " << n;
            rest = after;
        }
    }
    EXPECT_GT(lines, 1'000u);
}

} // namespace
} // namespace brindle
