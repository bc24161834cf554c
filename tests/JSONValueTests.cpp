#include "BrindleKit/JSONValue.h"

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

namespace brindle {
namespace {

using JSONCoding::DecodingError;
using Kind = DecodingError::Kind;
using Array = JSONValue::Array;
using Object = JSONValue::Object;

JSONValue decoded(std::string_view json) {
    return JSONCoding::decoder().decode<JSONValue>(json);
}

// The error a decode throws, or nothing (and a test failure) when it succeeds.
std::optional<DecodingError> decodeFailure(std::string_view json) {
    try {
        decoded(json);
    } catch (const DecodingError& error) {
        return error;
    }
    ADD_FAILURE() << "decoded without error: " << json.substr(0, 80);
    return std::nullopt;
}

std::string nested(std::size_t depth, std::string_view open, std::string_view inner, std::string_view close) {
    std::string text;
    text.reserve(depth * (open.size() + close.size()) + inner.size());
    for (std::size_t i = 0; i < depth; ++i) text += open;
    text += inner;
    for (std::size_t i = 0; i < depth; ++i) text += close;
    return text;
}

TEST(JSONValue, DecodesEachCaseInAttemptOrder) {
    const struct {
        std::string_view json;
        std::size_t caseIndex; // bool, number, string, array, object, null
        JSONValue expected;
    } cases[] = {
        {"true", 0, JSONValue(true)},
        {"false", 0, JSONValue(false)},
        {"1", 1, JSONValue(1.0)},
        {"3.0", 1, JSONValue(3.0)},
        {"3e0", 1, JSONValue(3.0)},
        {"-0.25", 1, JSONValue(-0.25)},
        {"18446744073709551615", 1, JSONValue(18446744073709551615.0)},
        {"\"1\"", 2, JSONValue("1")},
        {"\"true\"", 2, JSONValue("true")},
        {"\"\"", 2, JSONValue("")},
        {"[]", 3, JSONValue(Array{})},
        {"{}", 4, JSONValue(Object{})},
        {"null", 5, JSONValue(nullptr)},
        {" \t\n null \r\n", 5, JSONValue(nullptr)},
    };
    for (const auto& c : cases) {
        const JSONValue value = decoded(c.json);
        EXPECT_EQ(value.storage.index(), c.caseIndex) << c.json;
        EXPECT_EQ(value, c.expected) << c.json;
    }
}

TEST(JSONValue, DecodesNestedMixedValues) {
    EXPECT_EQ(decoded(R"([1, "a", null, {"b": false}])"), JSONValue(Array{1.0, "a", nullptr, Object{{"b", false}}}));

    const JSONValue schema = decoded(R"({"type":"object","properties":{"tags":{"type":"array",
        "items":[{"enum":["x\/y","\u00e9\ud83d\ude00"]},[2,[3,[]]]]}},"required":["tags"]})");
    const JSONValue expected(Object{
        {"type", "object"},
        {"properties", Object{{"tags", Object{{"type", "array"},
                                              {"items", Array{Object{{"enum", Array{"x/y", "\u00e9\U0001F600"}}},
                                                              Array{2.0, Array{3.0, Array{}}}}}}}}},
        {"required", Array{"tags"}},
    });
    EXPECT_EQ(schema, expected);
    ASSERT_NE(schema.objectValue(), nullptr);
    EXPECT_EQ(*schema.objectValue()->at("type").stringValue(), "object");
    EXPECT_EQ(schema.objectValue()->at("required").arrayValue()->size(), 1u);
    EXPECT_EQ(schema.arrayValue(), nullptr);
    EXPECT_EQ(schema.stringValue(), nullptr);
}

TEST(JSONValue, EqualityFollowsCasesOrderAndCanonicalEquivalence) {
    const struct {
        std::string_view label, left, right;
        bool equal;
    } cases[] = {
        {"member order is irrelevant", R"({"a":1,"b":[true,null]})", R"({"b":[true,null],"a":1})", true},
        {"element order matters", "[1,2]", "[2,1]", false},
        {"number is not bool", "1", "true", false},
        {"0 is not false", "0", "false", false},
        {"null is not the empty string", "null", "\"\"", false},
        {"array is not object", "[]", "{}", false},
        {"number spellings", "1", "1.0e0", true},
        {"zero and negative zero", "0", "-0.0", true},
        {"precomposed and decomposed", R"("\u00e9")", R"("e\u0301")", true},
        {"canonical equivalence nested", R"({"k":["caf\u00e9"]})", R"({"k":["cafe\u0301"]})", true},
        {"singleton decomposition", R"("\u212b")", R"("\u00c5")", true},
        {"Hangul syllable and jamo", R"("\uac00")", R"("\u1100\u1161")", true},
        {"compatibility is not canonical", R"("\ufb01")", R"("fi")", false},
        {"different accents", R"("e\u0301")", R"("e\u0300")", false},
        {"extra member on the right", R"({"a":1})", R"({"a":1,"b":2})", false},
        {"extra member on the left", R"({"a":1,"b":2})", R"({"a":1})", false},
        {"null member is not a missing one", R"({"a":null})", R"({"b":null})", false},
        {"longer array", "[1]", "[1,1]", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(decoded(c.left) == decoded(c.right), c.equal) << c.label;
        EXPECT_EQ(decoded(c.right) == decoded(c.left), c.equal) << c.label << " (swapped)";
    }
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_FALSE(JSONValue(nan) == JSONValue(nan));
    EXPECT_EQ(JSONValue(std::string("a\0\u00e9", 4)), JSONValue(std::string("a\0e\u0301", 5)));
}

TEST(JSONValue, RejectsTextThatIsNotJSONAsDataCorrupted) {
    const struct {
        std::string_view label, json;
    } cases[] = {
        {"empty", ""},
        {"blanks only", "  \n"},
        {"unterminated object", "{\"a\":1"},
        {"trailing comma", "[1,]"},
        {"single quotes", "{'a':1}"},
        {"bare word", "nul"},
        {"trailing content", "[1] [2]"},
        {"NaN literal", "NaN"},
        {"number beyond a double", "[1, {\"a\": 1e400}]"},
        {"integer beyond a double", "123456789012345678901234567890"},
        {"raw control character in a string", "\"a\tb\""},
        {"invalid UTF-8 in a string", "\"\xff\""},
        {"lone surrogate escape", "\"\\ud800\""},
    };
    for (const auto& c : cases) {
        const auto error = decodeFailure(c.json);
        if (!error) continue;
        EXPECT_EQ(error->kind, Kind::dataCorrupted) << c.label;
        EXPECT_EQ(error->path, "") << c.label;
        EXPECT_NE(std::string_view(error->what()), "") << c.label;
    }
}

// Decoding, comparing and destroying values recurse, so the depth bound is what keeps the stack safe.
TEST(JSONValue, NestingIsBoundedWithoutExhaustingTheStack) {
    // The parser counts an empty innermost container as free, so the last level is only open to it.
    const std::size_t bound = JSONCoding::kMaxDepth;
    const JSONValue deepest = decoded(nested(bound, "[", "", "]"));
    EXPECT_EQ(deepest, decoded(nested(bound, "[", "", "]")));
    EXPECT_EQ(decoded(nested(bound - 1, "{\"a\":", "1", "}")).storage.index(), 4u);

    const struct {
        std::string_view label;
        std::string json;
    } cases[] = {
        {"arrays one past the bound", nested(bound + 1, "[", "", "]")},
        {"objects one past the bound", nested(bound + 1, "{\"a\":", "1", "}")},
        {"a million arrays", nested(1'000'000, "[", "", "]")},
        {"a million objects", nested(1'000'000, "{\"a\":", "null", "}")},
        {"a million mixed", nested(500'000, "[{\"k\":", "0", "}]")},
        {"a million unclosed arrays", std::string(1'000'000, '[')},
    };
    for (const auto& c : cases) {
        const auto error = decodeFailure(c.json);
        if (!error) continue;
        EXPECT_EQ(error->kind, Kind::dataCorrupted) << c.label;
    }
    // The bound holds on a thread whose parser already served a large body.
    EXPECT_EQ(decoded("[" + std::string(2'000'000, ' ') + "1]"), JSONValue(Array{1.0}));
    EXPECT_TRUE(decodeFailure(nested(bound + 1, "[", "", "]")));
    EXPECT_EQ(decoded(nested(bound, "[", "", "]")), deepest);
}

TEST(JSONCoding, EncodeStringWritesCompactUTF8) {
    const struct {
        std::string_view label;
        JSONValue value;
        std::string_view expected;
    } cases[] = {
        {"slash unescaped", JSONValue("a/b</script>"), R"("a/b</script>")"},
        {"non-ASCII as UTF-8", JSONValue("caf\u00e9 \u6f22\u5b57 \U0001F44D\U0001F3FD"),
         "\"caf\u00e9 \u6f22\u5b57 \U0001F44D\U0001F3FD\""},
        {"JSON escapes", JSONValue("q\" b\\ n\n r\r t\t b\b f\f"), R"("q\" b\\ n\n r\r t\t b\b f\f")"},
        {"other controls as \\u00XX", JSONValue(std::string("\x01\x1f\0x", 4)), R"("\u0001\u001f\u0000x")"},
        {"DEL and U+2028 written raw", JSONValue("\x7f\u2028"), "\"\x7f\u2028\""},
        {"no whitespace", decoded(R"([ 1 , "x" , null , true , { "k" : [ ] } ])"), R"([1,"x",null,true,{"k":[]}])"},
        {"empty containers", JSONValue(Array{Array{}, Object{}}), "[[],{}]"},
        {"invalid byte",
         JSONValue("a\xff"
                   "b"),
         "\"a\uFFFDb\""},
        {"truncated sequence", JSONValue("\xe2\x82"), "\"\uFFFD\uFFFD\""},
        {"overlong slash", JSONValue("\xc0\xaf"), "\"\uFFFD\uFFFD\""},
        {"encoded surrogate", JSONValue("\xed\xa0\x80"), "\"\uFFFD\uFFFD\uFFFD\""},
        {"invalid key", JSONValue(Object{{"k\xff", true}}), "{\"k\uFFFD\":true}"},
        {"NaN falls back", JSONValue(std::numeric_limits<double>::quiet_NaN()), "{}"},
        {"infinity deep inside falls back",
         JSONValue(Object{{"a", Array{1.0, Object{{"b", -std::numeric_limits<double>::infinity()}}}}}), "{}"},
    };
    for (const auto& c : cases) EXPECT_EQ(JSONCoding::encodeString(c.value), c.expected) << c.label;
}

TEST(JSONCoding, WritesNumbersThatReadBackExactly) {
    const struct {
        double number;
        std::string_view expected; // empty: only the round trip is checked
    } cases[] = {
        {0.0, "0"},
        {-0.0, "0"},
        {3.0, "3"},
        {-42.0, "-42"},
        {1024.0, "1024"},
        {9007199254740991.0, "9007199254740991"},
        {0.5, "0.5"},
        {-2.25, "-2.25"},
        {0.1, "0.1"},
        {1.0 / 3.0, ""},
        {1e300, ""},
        {-1e-7, ""},
        {5e-324, ""},
        {std::numeric_limits<double>::max(), ""},
        {9007199254740993.0, ""},
    };
    for (const auto& c : cases) {
        const std::string text = JSONCoding::encodeString(JSONValue(c.number));
        if (!c.expected.empty()) {
            EXPECT_EQ(text, c.expected) << c.number;
        }
        EXPECT_EQ(text.find_first_of(" \n"), std::string::npos) << text;
        const JSONValue back = decoded(text);
        ASSERT_EQ(back.storage.index(), 1u) << text;
        EXPECT_EQ(std::get<double>(back.storage), c.number) << text;
    }
}

} // namespace
} // namespace brindle
