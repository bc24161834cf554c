#include "BrindleBase/Unicode.h"

#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

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

// Indic conjuncts (a consonant, a virama, a consonant) are one character in the scripts whose virama Unicode
// marks as a conjunct linker, and two elsewhere; the counts are those of ICU 78 (Unicode 17).
TEST(CharacterCount, KeepsIndicConjunctsTogetherWhereUnicodeJoinsThem) {
    const struct {
        const char* label;
        std::string text;
        std::size_t characters;
    } cases[] = {
        {"Devanagari ksha, eight times", "क्षक्षक्षक्षक्षक्षक्षक्ष", 8},
        {"Devanagari stri: two linkers and a vowel sign", "स्त्री", 1},
        {"Devanagari kshatriya", "क्षत्रिय", 3},
        {"Devanagari ksha with a zero width joiner", "क्\u200Dष", 1},
        {"Devanagari ksha with a zero width non-joiner", "क्\u200Cष", 2},
        {"Bengali ksha", "ক্ষ", 1},
        {"Gujarati ksha", "ક્ષ", 1},
        {"Telugu ksha", "క్ష", 1},
        {"Malayalam ksha", "ക്ഷ", 1},
        {"Odia ksha", "କ୍ଷ", 1},
        {"Gurmukhi: its virama links nothing", "ਕ੍ਸ਼", 2},
        {"Tamil: its virama links nothing", "க்ஷ", 2},
        {"a conjunct after ASCII and before an emoji", "ok क्ष \U0001F44D\U0001F3FD", 6},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Unicode::characterCount(c.text), c.characters) << c.label;
        EXPECT_EQ(Unicode::scanCharacters(c.text, 0).count, c.characters) << c.label;
    }
}

std::string utf8(char32_t codePoint) {
    std::string out;
    if (codePoint < 0x80) {
        out += static_cast<char>(codePoint);
    } else if (codePoint < 0x800) {
        out += static_cast<char>(0xC0 | (codePoint >> 6));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else if (codePoint < 0x10000) {
        out += static_cast<char>(0xE0 | (codePoint >> 12));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (codePoint >> 18));
        out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    }
    return out;
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
            if (token == "÷") clusters.emplace_back();
            else if (token != "×") clusters.back() += utf8(static_cast<char32_t>(std::stoul(token, nullptr, 16)));
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
