#include "BrindleKit/SSEWriter.h"

#include "BrindleKit/Unicode.h"

#include <algorithm>
#include <chrono>
#include <regex>
#include <set>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

namespace brindle {
namespace {

constexpr std::int64_t kCreated = 1'700'000'000;

SSEWriter makeWriter(std::string model = "brindle-core") {
    const auto now = std::chrono::system_clock::time_point(std::chrono::seconds(kCreated)) +
                     std::chrono::milliseconds(999); // the fraction is cut off
    return SSEWriter(std::move(model), now);
}

// The whole event of a chunk from this writer: the fixed members, then the given ones.
std::string chunkEvent(const SSEWriter& writer, std::string_view members) {
    return R"(data: {"id":")" + writer.id() + R"(","object":"chat.completion.chunk","created":1700000000,"model":")" +
           writer.model() + "\"," + std::string(members) + "}\n\n";
}

std::vector<ToolCall> threeToolCalls() {
    return {{"call_a", "function", {"first", R"({"q":"a/b \"c\""})"}},
            {"call_b", "custom", {"second", "{}"}},
            {"call_c", "", {"third", ""}}};
}

TEST(SSEWriter, WritesAStreamByteForByte) {
    SSEWriter writer = makeWriter();
    EXPECT_EQ(writer.created(), kCreated);
    EXPECT_EQ(writer.contentFrame("Hel"),
              chunkEvent(writer, R"("choices":[{"index":0,"delta":{"role":"assistant","content":"Hel"}}])"));
    EXPECT_EQ(writer.contentFrame("lo \u00e9/"),
              chunkEvent(writer, "\"choices\":[{\"index\":0,\"delta\":{\"content\":\"lo \u00e9/\"}}]"));
    EXPECT_EQ(writer.contentFrame(""), chunkEvent(writer, R"("choices":[{"index":0,"delta":{"content":""}}])"));
    EXPECT_EQ(writer.toolCallsFrame({{"call_1", "function", {"f", "{}"}}}),
              chunkEvent(writer, R"("choices":[{"index":0,"delta":{"tool_calls":[{"index":0,"id":"call_1",)"
                                 R"("type":"function","function":{"name":"f","arguments":"{}"}}]}}])"));
    EXPECT_EQ(writer.finishFrame("stop"),
              chunkEvent(writer, R"("choices":[{"index":0,"delta":{},"finish_reason":"stop"}])"));
    EXPECT_EQ(
        writer.usageFrame(Usage(12, 2)),
        chunkEvent(writer, R"("choices":[],"usage":{"prompt_tokens":12,"completion_tokens":2,"total_tokens":14})"));
    EXPECT_EQ(SSEWriter::doneFrame(), "data: [DONE]\n\n");
    EXPECT_EQ(SSEWriter::doneFrame().size(), 14u);
}

TEST(SSEWriter, ToolCallFramesIndexEveryCallAndAlwaysSayFunction) {
    SSEWriter writer = makeWriter();
    EXPECT_EQ(
        writer.toolCallsFrame(threeToolCalls()),
        chunkEvent(writer,
                   R"("choices":[{"index":0,"delta":{"role":"assistant","tool_calls":[)"
                   R"({"index":0,"id":"call_a","type":"function","function":{"name":"first",)"
                   R"("arguments":"{\"q\":\"a/b \\\"c\\\"\"}"}},)"
                   R"({"index":1,"id":"call_b","type":"function","function":{"name":"second","arguments":"{}"}},)"
                   R"({"index":2,"id":"call_c","type":"function","function":{"name":"third","arguments":""}}]}}])"));
    EXPECT_EQ(writer.contentFrame("x"), chunkEvent(writer, R"("choices":[{"index":0,"delta":{"content":"x"}}])"));
    EXPECT_EQ(writer.toolCallsFrame({}), chunkEvent(writer, R"("choices":[{"index":0,"delta":{"tool_calls":[]}}])"));

    SSEWriter empty = makeWriter();
    EXPECT_EQ(empty.toolCallsFrame({}),
              chunkEvent(empty, R"("choices":[{"index":0,"delta":{"role":"assistant","tool_calls":[]}}])"));
}

TEST(SSEWriter, OnlyContentAndToolCallFramesAnnounceTheRole) {
    SSEWriter writer = makeWriter();
    EXPECT_EQ(writer.finishFrame("content_filter"),
              chunkEvent(writer, R"("choices":[{"index":0,"delta":{},"finish_reason":"content_filter"}])"));
    writer.usageFrame(Usage(1, 1));
    writer.errorFrame("m", "t", std::nullopt);
    EXPECT_EQ(writer.contentFrame("a"),
              chunkEvent(writer, R"("choices":[{"index":0,"delta":{"role":"assistant","content":"a"}}])"));
    EXPECT_EQ(writer.finishFrame("stop"),
              chunkEvent(writer, R"("choices":[{"index":0,"delta":{},"finish_reason":"stop"}])"));
}

TEST(SSEWriter, ErrorFramesCarryOnlyTheErrorBody) {
    const SSEWriter writer = makeWriter();
    EXPECT_EQ(writer.errorFrame("The model failed.", "api_error", std::nullopt),
              "data: {\"error\":{\"message\":\"The model failed.\",\"type\":\"api_error\"}}\n\n");
    EXPECT_EQ(writer.errorFrame("Busy \"now\"", "rate_limit_error", "rate_limited"),
              "data: {\"error\":{\"message\":\"Busy \\\"now\\\"\",\"type\":\"rate_limit_error\","
              "\"code\":\"rate_limited\"}}\n\n");
}

// Clients split events at blank lines, so a raw line feed anywhere in the JSON would cut an event in two.
TEST(SSEWriter, EveryEventIsOneDataLine) {
    const std::string hostile = "a\nb\r\nc\rd\u2028e\xff";
    SSEWriter writer = makeWriter("model\nname");
    const std::string frames[] = {
        writer.contentFrame(hostile),
        writer.toolCallsFrame({{hostile, hostile, {hostile, hostile}}}),
        writer.finishFrame(hostile),
        writer.usageFrame(Usage(0, 0)),
        writer.errorFrame(hostile, hostile, hostile),
        SSEWriter::doneFrame(),
    };
    for (const std::string& frame : frames) {
        EXPECT_EQ(frame.rfind("data: ", 0), 0u) << frame;
        EXPECT_EQ(std::count(frame.begin(), frame.end(), '\n'), 2) << frame;
        EXPECT_EQ(frame.substr(frame.size() - 2), "\n\n") << frame;
        EXPECT_EQ(frame.find('\r'), std::string::npos) << frame;
        EXPECT_TRUE(Unicode::isValidUTF8(frame)) << frame;
    }
    EXPECT_NE(frames[0].find(R"("content":"a\nb\r\nc\rd)"
                             "\u2028e\uFFFD\""),
              std::string::npos)
        << frames[0];
    EXPECT_NE(frames[0].find(R"("model":"model\nname")"), std::string::npos) << frames[0];
}

TEST(SSEWriter, EachWriterHasAFreshVersion4Id) {
    const std::regex pattern("^chatcmpl-[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$");
    std::set<std::string> ids;
    for (int i = 0; i < 200; ++i) {
        const SSEWriter writer = makeWriter(); // all made at the same instant
        EXPECT_TRUE(std::regex_match(writer.id(), pattern)) << writer.id();
        ids.insert(writer.id());
    }
    EXPECT_EQ(ids.size(), 200u);
    EXPECT_TRUE(std::regex_match(makeCompletionID(), pattern));
}

TEST(TokenEstimator, CountsAQuarterOfTheCharactersAndAtLeastOne) {
    const auto repeat = [](std::string_view unit, std::size_t times) {
        std::string text;
        for (std::size_t i = 0; i < times; ++i) text += unit;
        return text;
    };
    const struct {
        std::string_view label;
        std::string text;
        std::int64_t expected;
    } cases[] = {
        {"empty", "", 1},
        {"one", "a", 1},
        {"three", "abc", 1},
        {"seven", "abcdefg", 1},
        {"eight", "abcdefgh", 2},
        {"eleven", repeat("a", 11), 2},
        {"twelve", repeat("a", 12), 3},
        {"four hundred", repeat("z", 400), 100},
        {"eight letters with combining accents", repeat("e\u0301", 8), 2},
        {"eight CJK characters, 24 bytes", repeat("\u6f22", 8), 2},
        {"eight emoji with skin tone", repeat("\U0001F44D\U0001F3FD", 8), 2},
        {"eight ZWJ families", repeat("\U0001F468\u200D\U0001F469\u200D\U0001F467\u200D\U0001F466", 8), 2},
        {"eight flags", repeat("\U0001F1EB\U0001F1F7", 8), 2},
        {"eight CR LF pairs", repeat("\r\n", 8), 2},
    };
    for (const auto& c : cases) EXPECT_EQ(TokenEstimator::estimate(c.text), c.expected) << c.label;
}

TEST(TokenEstimator, CountsMessageTextsPlusFourEach) {
    const std::string fortyCharacters(40, 's');
    const struct {
        std::string_view label;
        std::string messages;
        std::int64_t expected;
    } cases[] = {
        {"no messages", "[]", 0},
        {"Hello", R"([{"role":"user","content":"Hello"}])", 5},
        {"400 letters", R"([{"role":"user","content":")" + std::string(400, 'q') + "\"}]", 104},
        {"system 40 and user 8",
         R"([{"role":"system","content":")" + fortyCharacters + R"("},{"role":"user","content":"12345678"}])", 20},
        {"tool calls without content",
         R"([{"role":"assistant","name":"a long name that does not count","tool_calls":[{"id":"c","type":"function",
            "function":{"name":"f","arguments":")" +
             std::string(4000, 'x') + "\"}}]}]",
         5},
        {"image-only part", R"([{"role":"user","content":[{"type":"image_url","image_url":{"url":"u"}}]}])", 5},
        {"text and image parts", R"([{"role":"user","content":[{"type":"text","text":"abcdefghijkl"},
            {"type":"image_url"}]}])",
         5},
        {"two parts joined by a line feed",
         R"([{"role":"user","content":[{"type":"text","text":"ab"},{"type":"text","text":"cd"}]}])", 5},
        {"parts reaching eight with the line feeds", R"([{"role":"user","content":[{"type":"text","text":"abc"},
            {"type":"text","text":"de"},{"type":"text","text":"f"}]}])",
         6},
    };
    for (const auto& c : cases) {
        const auto request =
            JSONCoding::decoder().decode<ChatCompletionRequest>(R"({"model":"m","messages":)" + c.messages + "}");
        EXPECT_EQ(TokenEstimator::estimate(request.messages), c.expected) << c.label;
    }
}

TEST(Unicode, CountsExtendedGraphemeClusters) {
    const struct {
        std::string_view label;
        std::string text;
        std::size_t expected;
    } cases[] = {
        {"empty", "", 0},
        {"ASCII", "abc", 3},
        {"two combining marks", "a\u0301\u0302", 1},
        {"accent between ASCII", "ae\u0301b", 3},
        {"combining mark first", "\u0301a", 2},
        {"LF CR", "\n\r", 2},
        {"CR LF inside ASCII", "ab\r\ncd", 5},
        {"CR then combining mark", "\r\u0301", 2},
        {"keycap after an ASCII digit", "1\uFE0F\u20E3", 1},
        {"ZWJ after an ASCII letter", "a\u200D", 1},
        {"emoji then ASCII", "\U0001F44D\U0001F3FDa", 2},
        {"three regional indicators", "\U0001F1EB\U0001F1F7\U0001F1E9", 2},
        {"flags after ASCII", "x\U0001F1EB\U0001F1F7\U0001F1E9\U0001F1EAy", 4},
        {"Hangul jamo syllable", "\u1100\u1161\u11A8", 1},
        {"invalid byte", "\xff", 1},
        {"invalid byte inside ASCII",
         "a\xff"
         "b",
         3},
        {"truncated sequence", "\xe2\x82", 2},
        {"complete sequence", "\xe2\x82\xac", 1},
        {"truncated combining mark", "e\xcc", 2},
        {"combining mark after an invalid byte", "\xff\xcc\x81", 2},
        {"NUL bytes", std::string("\0\0", 2), 2},
    };
    for (const auto& c : cases) EXPECT_EQ(Unicode::characterCount(c.text), c.expected) << c.label;
}

TEST(Unicode, ScansAndDropsWholeCharacters) {
    const std::string thumbs = "\U0001F44D\U0001F3FD"; // 8 bytes, one character
    const struct {
        std::string_view label;
        std::string text;
        std::size_t skip, count, lastStart, afterSkipped;
    } cases[] = {
        {"empty", "", 0, 0, 0, 0},
        {"empty, skipping", "", 2, 0, 0, 0},
        {"skip none", "abc", 0, 3, 2, 0},
        {"skip two", "abc", 2, 3, 2, 2},
        {"skip all", "abc", 3, 3, 2, 3},
        {"skip past the end", "abc", 9, 3, 2, 3},
        {"accent kept with its letter", "ae\u0301b", 2, 3, 4, 4},
        {"emoji", thumbs + "x", 1, 2, 8, 8},
        {"emoji last", "x" + thumbs, 1, 2, 1, 1},
        {"CR LF", "a\r\n", 1, 2, 1, 1},
    };
    for (const auto& c : cases) {
        const Unicode::CharacterScan scan = Unicode::scanCharacters(c.text, c.skip);
        EXPECT_EQ(scan.count, c.count) << c.label;
        EXPECT_EQ(scan.lastStart, c.lastStart) << c.label;
        EXPECT_EQ(scan.afterSkipped, c.afterSkipped) << c.label;
        EXPECT_EQ(Unicode::dropCharacters(c.text, c.skip), std::string_view(c.text).substr(c.afterSkipped)) << c.label;
    }
}

} // namespace
} // namespace brindle
