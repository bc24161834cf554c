#include "BrindleBase/TokenEstimator.h"

#include "BrindleBase/Unicode.h"

namespace brindle::TokenEstimator {

std::int64_t estimate(std::string_view text) {
    const auto characters = static_cast<std::int64_t>(Unicode::characterCount(text));
    return characters > 3 ? characters / 4 : 1;
}

} // namespace brindle::TokenEstimator
