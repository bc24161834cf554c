#include "BrindleModel/BuiltinDirectives.h"

#include "BrindleBase/ClientPresence.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>

namespace brindle::model {

namespace {

using Case = GenerationError::Case;

constexpr std::string_view kOpening = "[brindle:";

struct NamedCase {
    std::string_view name;
    Case errorCase;
};
constexpr NamedCase kCases[] = {
    {"exceededContextWindowSize", Case::exceededContextWindowSize},
    {"assetsUnavailable", Case::assetsUnavailable},
    {"guardrailViolation", Case::guardrailViolation},
    {"unsupportedGuide", Case::unsupportedGuide},
    {"unsupportedLanguageOrLocale", Case::unsupportedLanguageOrLocale},
    {"decodingFailure", Case::decodingFailure},
    {"rateLimited", Case::rateLimited},
    {"concurrentRequests", Case::concurrentRequests},
    {"refusal", Case::refusal},
};

std::optional<Case> caseNamed(std::string_view name) {
    const auto found = std::ranges::find(kCases, name, &NamedCase::name);
    return found == std::end(kCases) ? std::nullopt : std::optional(found->errorCase);
}

std::string_view nameOf(Case errorCase) {
    return std::ranges::find(kCases, errorCase, &NamedCase::errorCase)->name;
}

// Decimal digits only; a value past every bound stays the largest number rather than wrapping.
std::optional<std::uint64_t> decimal(std::string_view text) {
    if (text.empty()) return std::nullopt;
    constexpr std::uint64_t kLargest = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value > (kLargest - 9) / 10 ? kLargest : value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return value;
}

bool isNameCharacter(char c) {
    return c >= 'a' && c <= 'z';
}

} // namespace

// One pass: a name is letters only and each closing bracket is looked for once, so a prompt full of
// openings without an end costs no more than its length.
BuiltinDirectives BuiltinDirectives::read(std::string_view text) {
    std::optional<Case> failure;
    std::optional<std::uint64_t> after, pace;
    std::size_t close = 0;
    for (std::size_t at = text.find(kOpening); at != std::string_view::npos; at = text.find(kOpening, at + 1)) {
        std::size_t nameEnd = at + kOpening.size();
        while (nameEnd < text.size() && isNameCharacter(text[nameEnd])) ++nameEnd;
        if (nameEnd == text.size() || text[nameEnd] != '=') continue;
        if (close <= nameEnd) close = text.find(']', nameEnd);
        if (close == std::string_view::npos) break;
        const std::string_view name = text.substr(at + kOpening.size(), nameEnd - at - kOpening.size());
        const std::string_view value = text.substr(nameEnd + 1, close - nameEnd - 1);
        if (name == "fail" && !failure)
            failure = caseNamed(value);
        else if (name == "after" && !after)
            after = decimal(value);
        else if (name == "pace" && !pace)
            pace = decimal(value);
    }
    BuiltinDirectives directives;
    directives.failure = failure;
    directives.failAfterWords =
        static_cast<std::size_t>(std::min<std::uint64_t>(after.value_or(0), std::numeric_limits<std::size_t>::max()));
    directives.pace = std::chrono::milliseconds(
        std::min<std::uint64_t>(pace.value_or(0), static_cast<std::uint64_t>(kLongestPace.count())));
    return directives;
}

void BuiltinDirectives::failIfFirst() const {
    if (failure && failAfterWords == 0) throw cueFailure(*failure);
}

GenerationError BuiltinDirectives::cueFailure(GenerationError::Case errorCase) {
    return GenerationError(errorCase, "The built-in model failed on cue: " + std::string(nameOf(errorCase)) + ".");
}

CuedGrowth::CuedGrowth(std::vector<std::size_t> wordEnds, const BuiltinDirectives& directives)
    : wordEnds_(std::move(wordEnds)), directives_(directives) {}

std::optional<std::size_t> CuedGrowth::next() {
    if (directives_.failure && grown_ == std::min(directives_.failAfterWords, wordEnds_.size()))
        throw BuiltinDirectives::cueFailure(*directives_.failure);
    if (grown_ == wordEnds_.size()) return std::nullopt;
    if (directives_.pace.count() > 0) ClientPresence::sleepWhileClientStays(directives_.pace);
    return wordEnds_[grown_++];
}

} // namespace brindle::model
