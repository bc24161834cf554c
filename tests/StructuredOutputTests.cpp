// Response formats and stop sequences through the engine: what a client reads, plain and streamed, must agree.

#include "BrindleKit/CompletionEngine.h"
#include "BrindleKit/ErrorMapping.h"
#include "support/ScriptedModel.h"

#include <gtest/gtest.h>

namespace brindle {
namespace {

using testing::Script;
using testing::ScriptedModel;

auto request(std::string_view body) {
    return JSONCoding::decoder().decode<ChatCompletionRequest>(body);
}

std::string hi(const std::string& members) {
    return R"({"model":"m","messages":[{"role":"user","content":"Hi"}])" + members + "}";
}

const JSONValue* at(const JSONValue& value, std::initializer_list<std::string_view> path) {
    const JSONValue* current = &value;
    for (const std::string_view key : path) {
        if (const auto* array = current->arrayValue()) {
            current = array->empty() ? nullptr : &array->front();
        } else if (const auto* object = current->objectValue()) {
            const auto found = object->find(key);
            current = found == object->end() ? nullptr : &found->second;
        } else {
            current = nullptr;
        }
        if (!current) return nullptr;
    }
    return current;
}

// What a streaming client reads: the content deltas, then how the stream ended ("stop", "error", ...).
struct Streamed {
    std::vector<std::string> deltas;
    std::string ending;
    std::string joined() const {
        std::string text;
        for (const auto& delta : deltas) text += delta;
        return text;
    }
};

Streamed stream(const CompletionEngine& engine, const std::string& body) {
    Streamed read;
    engine.streamCompletion(request(body), [&read](const std::string& frame) {
        const std::string json = frame.substr(6, frame.size() - 8); // between "data: " and the blank line
        if (json == "[DONE]") return;
        const JSONValue chunk = JSONCoding::decoder().decode<JSONValue>(json);
        if (at(chunk, {"error"})) read.ending = "error";
        if (const auto* text = at(chunk, {"choices", "0", "delta", "content"}))
            read.deltas.push_back(*text->stringValue());
        if (const auto* reason = at(chunk, {"choices", "0", "finish_reason"})) read.ending = *reason->stringValue();
    });
    return read;
}

std::string answered(const CompletionEngine& engine, const std::string& body) {
    const JSONValue answer = JSONCoding::decoder().decode<JSONValue>(engine.complete(request(body)));
    const JSONValue* content = at(answer, {"choices", "0", "message", "content"});
    return content ? *content->stringValue() : "(no content)";
}

// No delta carries any part of the stop sequence that ends the answer, a tail that could still become one
// is held back until it cannot, and the deltas join to the plain answer.
TEST(StopSequences, EndTheAnswerAtTheFirstSequenceToCompletePlainAndStreamed) {
    const struct {
        const char* name;
        std::vector<std::string> snapshots;
        std::string stop;
        std::vector<std::string> deltas;
        std::size_t pulled; // snapshots read from the model before the stream ended
    } cases[] = {
        {"a tail that may become the sequence is held",
         {"Hel", "Hello wo", "Hello world. Bye", "Hello world. Bye now"},
         R"(["wor"])",
         {"Hel", "lo "},
         3},
        {"the first to complete wins, not the first to start", {"ab", "abcd"}, R"(["abcd","c"])", {"ab"}, 2},
        {"a held tail that never completes comes at the end", {"Done #", "Done ##"}, R"(["###"])", {"Done ", "##"}, 2},
        {"one string", {"one\ntwo"}, R"("\n")", {"one"}, 1},
        {"a sequence beginning with a combining mark holds back its whole character",
         {"cafe\u0301", "cafe\u0301s"},
         "[\"\u0301!\"]",
         {"caf", "e\u0301s"},
         2},
        {"no sequence occurs", {"a b", "a b c"}, R"(["x","y"])", {"a b", " c"}, 2},
    };
    for (const auto& c : cases) {
        const auto model = std::make_shared<ScriptedModel>(Script{.snapshots = c.snapshots});
        const CompletionEngine engine(model);
        const Streamed read = stream(engine, hi(R"(,"stop":)" + c.stop));
        EXPECT_EQ(read.deltas, c.deltas) << c.name;
        EXPECT_EQ(read.ending, "stop") << c.name;
        EXPECT_EQ(model->sessions().at(0).snapshotsPulled, c.pulled) << c.name;
        EXPECT_EQ(answered(engine, hi(R"(,"stop":)" + c.stop)), read.joined()) << c.name;
    }
}

TEST(ResponseFormat, GuidesTheModelOrChecksItsJSONObject) {
    const std::string weather = R"(,"response_format":{"type":"json_schema","json_schema":{"name":"weather",)"
                                R"("schema":{"type":"object","properties":{"city":{"type":"string"}}},"strict":true}})";
    const std::string object = R"(,"response_format":{"type":"json_object"})";
    const std::string notObject = "error: The model's answer is not a JSON object, as the response format asks.";
    const struct {
        const char* name;
        std::vector<std::string> snapshots;
        std::string members;
        std::string answer; // plain; streamed, the deltas join to it
        std::string schema; // the root of the schema the model was guided by
        std::string promptEnd;
    } cases[] = {
        {"json_schema", {R"({"city":)", R"({"city": "Oslo"})"}, weather, R"({"city":"Oslo"})", "weather", "Hi"},
        {"json_object", {R"({"a":)", R"({"a":1})"}, object, R"({"a":1})", "", "nothing else."},
        {"json_object, answered otherwise", {"Sure:", "Sure: 1"}, object, notObject, "", "nothing else."},
        {"text", {"Hi there"}, R"(,"response_format":{"type":"text"})", "Hi there", "", "Hi"},
    };
    for (const auto& c : cases) {
        const auto model = std::make_shared<ScriptedModel>(Script{.snapshots = c.snapshots});
        const CompletionEngine engine(model);
        std::string plain;
        try {
            plain = answered(engine, hi(c.members));
        } catch (const std::exception& error) {
            plain = std::string("error: ") + error.what();
        }
        EXPECT_EQ(plain, c.answer) << c.name;
        const auto record = model->sessions().at(0);
        EXPECT_EQ(record.schema ? record.schema->root().name() : "", c.schema) << c.name;
        EXPECT_TRUE(record.prompt.ends_with(c.promptEnd)) << c.name << ": " << record.prompt;

        const Streamed read = stream(engine, hi(c.members));
        if (c.answer == notObject) {
            EXPECT_EQ(read.ending, "error") << c.name << ": an error event instead of a finish";
        } else {
            EXPECT_EQ(read.ending, "stop") << c.name;
            // The scripted model's snapshots are text as written; its plain answer is the content re-encoded.
            EXPECT_EQ(read.joined(), c.snapshots.back()) << c.name;
        }
    }
}

// A client error in what the server adds to the wire format is a 400 naming the parameter, before any
// session exists: SDKs retry a 500.
TEST(ResponseFormat, RejectsWhatItCannotHonourAsTheClientsError) {
    const std::string invalidFormat = "400 invalid_request_error: Invalid 'response_format': ";
    const struct {
        std::string members;
        std::string mapped;
    } cases[] = {
        {R"(,"response_format":{"type":"xml"})",
         invalidFormat + R"(the type "xml" is none of "text", "json_object" and "json_schema".)"},
        {R"(,"response_format":{"type":"json_schema"})",
         invalidFormat + R"(a "json_schema" format needs its schema in json_schema.schema.)"},
        {R"(,"response_format":{"type":"json_schema","json_schema":{"name":"n"}})",
         invalidFormat + R"(a "json_schema" format needs its schema in json_schema.schema.)"},
        {R"(,"response_format":{"type":"json_schema","json_schema":{"name":"n","schema":true}})",
         invalidFormat + "json_schema.schema must be a JSON Schema object."},
        {R"(,"response_format":{"type":"json_schema","json_schema":{"name":"n","schema":)"
         R"({"type":"object","properties":{"n":{"type":"object"}}}}})",
         invalidFormat + R"(the schema cannot be expressed: The schema "n" defines the type "n" more than once.)"},
        {R"(,"stop":["a","b","c","d","e"])",
         "400 invalid_request_error: Invalid 'stop': at most 4 stop sequences are allowed."},
        {R"(,"stop":["a",""])", "400 invalid_request_error: Invalid 'stop': a stop sequence must not be empty."},
        {R"(,"stop":"")", "400 invalid_request_error: Invalid 'stop': a stop sequence must not be empty."},
    };
    for (const auto& c : cases) {
        const auto model = std::make_shared<ScriptedModel>(Script{.snapshots = {"never"}});
        for (const bool streamed : {false, true}) {
            try {
                if (streamed)
                    stream(CompletionEngine(model), hi(c.members));
                else
                    CompletionEngine(model).complete(request(hi(c.members)));
                ADD_FAILURE() << c.members << " was answered";
            } catch (...) {
                const MappedError mapped = ErrorMapper::map(std::current_exception());
                EXPECT_EQ(std::to_string(mapped.status) + " " + mapped.type + ": " + mapped.message, c.mapped);
            }
        }
        EXPECT_TRUE(model->sessions().empty()) << c.members;
    }
    // What is not even the right kind of value is a decoding fault at its path, as everywhere in a body.
    for (const std::string members : {R"(,"stop":5)", R"(,"stop":["a",1])", R"(,"response_format":"json")"})
        EXPECT_THROW(request(hi(members)), JSONCoding::DecodingError) << members;
}

} // namespace
} // namespace brindle
