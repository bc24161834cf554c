#include "BrindleBase/JSONValue.h"

#include <limits>
#include <string>

#include <gtest/gtest.h>

namespace brindle {
namespace {

using Array = JSONValue::Array;
using Object = JSONValue::Object;

JSONValue decoded(std::string_view json) { return JSONCoding::decoder().decode<JSONValue>(json); }

std::string nested(std::size_t depth, std::string_view open, std::string_view inner, std::string_view close) {
    std::string text;
    for (std::size_t i = 0; i < depth; ++i) text += open;
    text += inner;
    for (std::size_t i = 0; i < depth; ++i) text += close;
    return text;
}

TEST(JSONValue, DecodesEachCase) {
    const struct {
        std::string_view json;
        JSONValue expected; // equality also compares the case
    } cases[] = {
        {"true", JSONValue(true)}, {"1", JSONValue(1.0)}, {"3e0", JSONValue(3.0)}, {"\"1\"", JSONValue("1")},
        {"[]", JSONValue(Array{})}, {"{}", JSONValue(Object{})}, {" null ", JSONValue(nullptr)},
        {R"([1, "a", null, {"b": false}])", JSONValue(Array{1.0, "a", nullptr, Object{{"b", false}}})},
    };
    for (const auto& c : cases) EXPECT_EQ(decoded(c.json), c.expected) << c.json;
}

TEST(JSONValue, EqualityFollowsCasesAndCanonicalEquivalence) {
    const struct {
        std::string_view left, right;
        bool equal;
    } cases[] = {
        {R"({"a":1,"b":[true,null]})", R"({"b":[true,null],"a":1})", true}, {"[1,2]", "[2,1]", false},
        {"1", "true", false}, {"0", "false", false}, {"null", "\"\"", false}, {"[]", "{}", false},
        {"1", "1.0e0", true}, {"0", "-0.0", true}, {"[1]", "[1,1]", false},
        {R"({"a":1})", R"({"a":1,"b":2})", false}, {R"({"a":null})", R"({"b":null})", false},
        {R"(["caf\u00e9"])", R"(["cafe\u0301"])", true}, {R"("\u212b")", R"("\u00c5")", true},
        {R"("\ufb01")", R"("fi")", false}, {R"("e\u0301")", R"("e\u0300")", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(decoded(c.left) == decoded(c.right), c.equal) << c.left << " vs " << c.right;
        EXPECT_EQ(decoded(c.right) == decoded(c.left), c.equal) << c.right << " vs " << c.left;
    }
    EXPECT_NE(JSONValue(std::numeric_limits<double>::quiet_NaN()), JSONValue(std::numeric_limits<double>::quiet_NaN()));
}

// Decoding, comparing and destroying values recurse, so the depth bound is what keeps the stack safe.
TEST(JSONValue, RejectsWhatIsNotJSONOrNestsTooDeeply) {
    const std::size_t bound = JSONCoding::kMaxDepth;
    EXPECT_EQ(decoded(nested(bound, "[", "", "]")), decoded(nested(bound, "[", "", "]")));
    EXPECT_EQ(decoded(nested(bound - 1, "{\"a\":", "1", "}")).storage.index(), 4u);
    const std::string cases[] = {
        "", "[1,]", "{'a':1}", "[1] [2]", "NaN", "[1, {\"a\": 1e400}]", "\"a\tb\"", "\"\xff\"", "\"\\ud800\"",
        nested(bound + 1, "[", "", "]"), nested(bound + 1, "{\"a\":", "1", "}"),
        nested(1'000'000, "[{\"k\":", "0", "}]"), std::string(1'000'000, '['),
    };
    for (const auto& json : cases) {
        try {
            decoded(json);
            ADD_FAILURE() << "decoded: " << json.substr(0, 40);
        } catch (const JSONCoding::DecodingError& error) {
            EXPECT_EQ(error.kind, JSONCoding::DecodingError::Kind::dataCorrupted) << json.substr(0, 40);
        }
    }
    // The bound still holds on a thread whose parser has grown for a large body.
    EXPECT_EQ(decoded("[" + std::string(2'000'000, ' ') + "1]"), JSONValue(Array{1.0}));
    EXPECT_THROW(decoded(nested(bound + 1, "[", "", "]")), JSONCoding::DecodingError);
}

TEST(JSONCoding, EncodeStringWritesCompactUTF8) {
    const struct {
        JSONValue value;
        std::string_view expected;
    } cases[] = {
        {JSONValue("a/b caf\u00e9 \U0001F44D\u2028\x7f"), "\"a/b caf\u00e9 \U0001F44D\u2028\x7f\""},
        {JSONValue(std::string("q\" b\\ \n\r\t\b\f\x01\0", 13)), R"("q\" b\\ \n\r\t\b\f\u0001\u0000")"},
        {decoded(R"([ 1 , "x" , null , true , { "k" : [ ] } , 0.5 ])"), R"([1,"x",null,true,{"k":[]},0.5])"},
        {JSONValue(Object{{"k\xff", "\xe2\x82"}}), "{\"k\uFFFD\":\"\uFFFD\uFFFD\"}"},
        {JSONValue(Object{{"a", Array{1.0, -std::numeric_limits<double>::infinity()}}}), "{}"},
    };
    for (const auto& c : cases) EXPECT_EQ(JSONCoding::encodeString(c.value), c.expected) << c.expected;
    for (const double number : {1.0 / 3.0, 0.1, 5e-324, 1e300, 9007199254740993.0})
        EXPECT_EQ(decoded(JSONCoding::encodeString(JSONValue(number))), JSONValue(number)) << number;
}

} // namespace
} // namespace brindle
