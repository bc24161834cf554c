#include "BrindleKit/Unicode.h"

#include <random>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

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

TEST(CharacterCount, CountsCharactersThatJoinAcrossAnASCIIBlock) {
    const struct {
        const char* label;
        std::string text;
        std::size_t characters;
    } cases[] = {
        {"a mark after the eighth letter", "abcdefgh\u0301ij", 10},
        {"CR LF across the block's edge", "abcdefg\r\nhijklmnop", 17},
        {"a prepended mark before a run", "\u0600abcdefghijklmnop", 16},
        {"a long run", std::string(1'000, 'x'), 1'000},
        {"CR LF repeated", std::string("\r\n\r\n\r\n\r\n\r\n\r\n"), 6},
    };
    for (const auto& c : cases) EXPECT_EQ(Unicode::characterCount(c.text), c.characters) << c.label;
}

} // namespace
} // namespace brindle
