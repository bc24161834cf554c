#include "BrindleKit/SSEWriter.h"

#include "BrindleBase/Unicode.h"

#include <algorithm>
#include <chrono>
#include <regex>
#include <set>

#include <gtest/gtest.h>

namespace brindle {
namespace {

SSEWriter makeWriter(std::string model = "brindle-core") {
    using namespace std::chrono;
    return SSEWriter(std::move(model), system_clock::time_point(seconds(1'700'000'000)) + milliseconds(999));
}

// The whole event of a chunk from this writer: the fixed members, then the given ones.
std::string chunk(const SSEWriter& writer, std::string_view members) {
    return R"(data: {"id":")" + writer.id() + R"(","object":"chat.completion.chunk","created":1700000000,"model":")" +
           writer.model() + "\"," + std::string(members) + "}\n\n";
}

TEST(SSEWriter, WritesEveryFrameByteForByteAndAnnouncesTheRoleOnce) {
    SSEWriter writer = makeWriter();
    // Finish, usage and error frames neither carry the role nor use it up.
    EXPECT_EQ(writer.finishFrame("content_filter"),
              chunk(writer, R"("choices":[{"index":0,"delta":{},"finish_reason":"content_filter"}])"));
    EXPECT_EQ(writer.usageFrame(Usage(12, 2)),
              chunk(writer, R"("choices":[],"usage":{"prompt_tokens":12,"completion_tokens":2,"total_tokens":14})"));
    EXPECT_EQ(writer.errorFrame("Busy", "rate_limit_error", "rate_limited"),
              "data: {\"error\":{\"message\":\"Busy\",\"type\":\"rate_limit_error\",\"code\":\"rate_limited\"}}\n\n");
    // Indexed in list order, always "function", the arguments whole.
    const std::vector<ToolCall> calls = {{"a", "function", {"f", R"({"q":"a/b"})"}}, {"b", "custom", {"g", ""}}};
    EXPECT_EQ(writer.toolCallsFrame(calls),
              chunk(writer, R"("choices":[{"index":0,"delta":{"role":"assistant","tool_calls":[{"index":0,"id":"a",)"
                            R"("type":"function","function":{"name":"f","arguments":"{\"q\":\"a/b\"}"}},)"
                            R"({"index":1,"id":"b","type":"function","function":{"name":"g","arguments":""}}]}}])"));
    EXPECT_EQ(writer.contentFrame(""), chunk(writer, R"("choices":[{"index":0,"delta":{"content":""}}])"));
    EXPECT_EQ(writer.toolCallsFrame({}), chunk(writer, R"("choices":[{"index":0,"delta":{"tool_calls":[]}}])"));
    EXPECT_EQ(SSEWriter::doneFrame(), "data: [DONE]\n\n");
}

// Clients split events at blank lines, so a raw line feed anywhere in the JSON would cut an event in two.
TEST(SSEWriter, EveryEventIsOneDataLine) {
    const std::string hostile = "a\nb\r\nc\u2028e\xff";
    SSEWriter writer = makeWriter("model\nname");
    const std::string frames[] = {writer.contentFrame(hostile), writer.finishFrame(hostile),
                                  writer.toolCallsFrame({{hostile, hostile, {hostile, hostile}}}),
                                  writer.errorFrame(hostile, hostile, hostile)};
    for (const std::string& frame : frames) {
        EXPECT_EQ(frame.rfind("data: {", 0), 0u) << frame;
        EXPECT_EQ(std::count(frame.begin(), frame.end(), '\n'), 2) << frame;
        EXPECT_TRUE(frame.ends_with("}\n\n") && frame.find('\r') == std::string::npos && Unicode::isValidUTF8(frame))
            << frame;
    }
    EXPECT_NE(frames[0].find("\"content\":\"a\\nb\\r\\nc\u2028e\uFFFD\""), std::string::npos) << frames[0];
}

TEST(SSEWriter, EachWriterHasAFreshVersion4Id) {
    const std::regex pattern("^chatcmpl-[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$");
    std::set<std::string> ids;
    for (int i = 0; i < 200; ++i) ids.insert(makeWriter().id()); // all made at the same instant
    EXPECT_EQ(ids.size(), 200u);
    for (const std::string& id : {*ids.begin(), makeCompletionID()}) EXPECT_TRUE(std::regex_match(id, pattern)) << id;
}

// Characters are extended grapheme clusters (invalid bytes one each); a token is a quarter of them, at least one.
TEST(TokenEstimator, CountsAQuarterOfTheCharactersAndAtLeastOne) {
    const struct {
        const char* unit;
        int times;
        std::size_t characters;
        std::int64_t tokens;
    } cases[] = {
        {"a", 0, 0, 1}, {"a", 3, 3, 1}, {"a", 4, 4, 1}, {"a", 7, 7, 1}, {"a", 8, 8, 2}, {"z", 400, 400, 100},
        {"e\u0301", 8, 8, 2},
        {"\U0001F44D\U0001F3FD", 8, 8, 2},
        {"\r\n", 8, 8, 2},
        {"\U0001F1EB\U0001F1F7\U0001F1E9", 1, 2, 1},
        {"a\xff" "b", 1, 3, 1},
        {"\xe2\x82\xcc\x81", 1, 3, 1}, // a mark does not join an invalid byte
    };
    for (const auto& c : cases) {
        std::string text;
        for (int i = 0; i < c.times; ++i) text += c.unit;
        EXPECT_EQ(Unicode::characterCount(text), c.characters) << c.unit << " x" << c.times;
        EXPECT_EQ(TokenEstimator::estimate(text), c.tokens) << c.unit << " x" << c.times;
    }
}

TEST(TokenEstimator, CountsMessageTextsPlusFourEach) {
    const struct {
        const char* label;
        std::string messages;
        std::int64_t expected;
    } cases[] = {
        {"no messages", "[]", 0},
        {"system 40, user 8", R"([{"role":"system","content":")" + std::string(40, 's') + R"("},{"role":"user",)"
                              R"("content":"12345678"}])", 20},
        {"arguments do not count", R"([{"role":"assistant","tool_calls":[{"id":"c","type":"function","function":)"
                                   R"({"name":"f","arguments":")" + std::string(400, 'x') + "\"}}]}]", 5},
        {"a part without text", R"([{"role":"user","content":[{"type":"text","text":"abcdefgh"},{"type":"i"}]}])", 5},
        {"joined by line feeds, 8", R"([{"role":"user","content":[{"type":"text","text":"abc"},{"type":"text",)"
                                    R"("text":"de"},{"type":"text","text":"f"}]}])", 6},
    };
    for (const auto& c : cases) {
        const auto request =
            JSONCoding::decoder().decode<ChatCompletionRequest>(R"({"model":"m","messages":)" + c.messages + "}");
        EXPECT_EQ(TokenEstimator::estimate(request.messages), c.expected) << c.label;
    }
}

} // namespace
} // namespace brindle
