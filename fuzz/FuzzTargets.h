#pragma once
// The fuzz targets, one function each, kept apart from libFuzzer's entry point so that the ordinary test
// suite can replay every corpus input through them (FuzzCorpusTests) with no fuzzing toolchain.
// Each takes arbitrary bytes, must neither crash nor hang on any of them, and throws InvariantBroken when
// the code under test does something it promises never to do.

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace brindle::fuzz {

class InvariantBroken : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

inline void check(bool holds, const std::string& what) {
    if (!holds) throw InvariantBroken(what);
}

// The built-in model's directives ("[brindle:pace=MS]", "[brindle:fail=CASE]") are for rehearsing clients; in a
// target they would only make it wait or fail on purpose. Every one is broken before the model sees the text.
inline std::string withoutDirectives(std::string_view text) {
    constexpr std::string_view marker = "[brindle:";
    std::string result(text);
    for (auto at = result.find(marker); at != std::string::npos; at = result.find(marker, at))
        result[at + marker.size() - 1] = '-';
    return result;
}

// Request framing as the connection loop drives it, in segments the input chooses.
void framing(std::string_view input);
// The chat-completion body decoder, and what the router does next with a decoded body.
void chatRequest(std::string_view input);
// Any JSON value as a tool's parameter schema.
void schemaTranslator(std::string_view input);
// Any decoded message list through the transcript builder.
void transcriptBuilder(std::string_view input);
// Model snapshots, taken from the input, cut into stream events.
void streamDeltas(std::string_view input);
// A prompt line, then any JSON as a tool's parameter schema: the built-in model's arguments for that tool.
void toolArguments(std::string_view input);

} // namespace brindle::fuzz
