#pragma once
// What a client asks of the built-in model in its last user message, so that every road a real model can
// take is reachable offline. Each directive is written [brindle:NAME=VALUE]:
//   [brindle:fail=CASE]  the generation fails with that GenerationError case (exceededContextWindowSize,
//                        assetsUnavailable, guardrailViolation, unsupportedGuide, unsupportedLanguageOrLocale,
//                        decodingFailure, rateLimited, concurrentRequests, refusal);
//   [brindle:after=N]    the failure comes once N words of the answer are out (at the end of a shorter
//                        answer); without it, before anything else, a tool call included;
//   [brindle:pace=MS]    each growth of the answer waits MS milliseconds, at most 10,000; the wait ends at
//                        once when the client hangs up.
// An unknown name or a bad value is ignored like any other text, and the first valid value of a name wins.
// Directives stay in the prompt: the model reads them as it reads everything else.

#include "BrindleModel/LanguageModel.h"

#include <chrono>
#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

namespace brindle::model {

struct BuiltinDirectives {
    static constexpr std::chrono::milliseconds kLongestPace{10'000};

    std::optional<GenerationError::Case> failure;
    std::size_t failAfterWords = 0;
    std::chrono::milliseconds pace{0};

    static BuiltinDirectives read(std::string_view text);

    // Nothing asked of the delivery: no failure and no pace.
    bool empty() const { return !failure && pace.count() == 0; }

    // The failure asked for, when it comes before any text: throws it.
    void failIfFirst() const;
    // The error a failure on cue throws: its description names the case.
    static GenerationError cueFailure(GenerationError::Case errorCase);
};

// The answer as it grows, word by word: each growth comes after the paced wait, and the failure on cue once
// its words are out.
class CuedGrowth {
public:
    // wordEnds: the byte offsets at which the answer's words end, in order.
    CuedGrowth(std::vector<std::size_t> wordEnds, const BuiltinDirectives& directives);

    // The length of the next longer prefix, or nothing when the whole answer is out. Throws the failure on cue.
    std::optional<std::size_t> next();

private:
    std::vector<std::size_t> wordEnds_;
    BuiltinDirectives directives_;
    std::size_t grown_ = 0; // words out so far
};

} // namespace brindle::model
