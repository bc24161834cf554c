// What the fuzzers found, each pinned down as an ordinary test. The inputs themselves stay in fuzz/corpus,
// which FuzzCorpusTests replays.

#include "BrindleBase/JSONDecoding.h"
#include "BrindleBase/Unicode.h"
#include "BrindleKit/CompletionEngine.h"
#include "support/ScriptedModel.h"

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace brindle {
namespace {

using testing::Script;
using testing::ScriptedModel;

// The content of every content event of a streamed answer to these snapshots.
std::vector<std::string> streamedDeltas(std::vector<std::string> snapshots) {
    const CompletionEngine engine(std::make_shared<ScriptedModel>(Script{.snapshots = std::move(snapshots)}));
    const auto request = JSONCoding::decoder().decode<ChatCompletionRequest>(
        R"({"model":"m","stream":true,"messages":[{"role":"user","content":"Hi"}]})");
    std::vector<std::string> deltas;
    engine.streamCompletion(request, [&deltas](const std::string& frame) {
        if (frame == "data: [DONE]\n\n") return;
        const JSONValue chunk = JSONCoding::decoder().decode<JSONValue>(frame.substr(6, frame.size() - 8));
        const JSONValue& delta = chunk.objectValue()->at("choices").arrayValue()->at(0).objectValue()->at("delta");
        if (const auto content = delta.objectValue()->find("content"); content != delta.objectValue()->end())
            deltas.push_back(*content->second.stringValue());
    });
    return deltas;
}

// Found by fuzz_streamDeltas (corpus input streamDeltas/invalid-utf8). An invalid byte counts as a character
// of its own, so the two bytes E2 82 are two characters; the byte AC completes them into the one character
// of the euro sign. The stream counted only from the start of the last character when a snapshot extended
// the emitted text, and so took E2 82 AC for three characters and sent AC on its own.
TEST(FuzzFindings, AByteThatCompletesAnInvalidSequenceMakesNoLongerText) {
    const struct {
        const char* label;
        std::vector<std::string> snapshots;
        std::vector<std::string> deltas;
    } cases[] = {
        {"a sequence completed, then two more characters",
         {"\xe2\x82", "\xe2\x82\xac", "\xe2\x82\xac!", "\xe2\x82\xac!?"},
         {Unicode::repairedUTF8("\xe2\x82"), "?"}},
        {"valid text: a combining mark joins the last character", {"e", "e\xcc\x81", "e\xcc\x81x"}, {"e", "x"}},
    };
    for (const auto& c : cases) EXPECT_EQ(streamedDeltas(c.snapshots), c.deltas) << c.label;
}

// Found by fuzz_schemaTranslator (corpus input schemaTranslator/number-written-beyond-64-bits). The writer
// wrote 33333333333333333333.34 back in its shortest form, the integer literal 33333333333333331968, which
// the parser refuses, being beyond 64 bits: what the server wrote, it could not read.
TEST(FuzzFindings, EveryWrittenNumberReadsBackAsTheSameNumber) {
    const struct {
        const char* label;
        double number;
    } cases[] = {
        {"shortest form all digits, beyond 2^64", 33333333333333333333.34},
        {"2^63 exactly", 9223372036854775808.0},
        {"just below -2^63", -9223372036854777856.0},
        {"between 2^53 and 2^63", 1152921504606846976.0},
        {"a power of ten beyond 64 bits", 1e20},
        {"a small fraction", 1e-7},
    };
    for (const auto& c : cases) {
        const std::string written = JSONCoding::encoder().encode(JSONValue(c.number));
        try {
            EXPECT_EQ(JSONCoding::decoder().decode<JSONValue>(written), JSONValue(c.number))
                << c.label << ": " << written;
        } catch (const JSONCoding::DecodingError& error) {
            ADD_FAILURE() << c.label << ": " << written << " does not read back: " << error.what();
        }
    }
}

} // namespace
} // namespace brindle
