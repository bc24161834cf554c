#pragma once
// Cheap token estimates from text length alone: about one token per four user-perceived characters. The
// built-in model measures its context window with them, and the server reports them as usage.

#include <cstdint>
#include <string_view>

namespace brindle::TokenEstimator {

// Characters divided by 4, rounded down; 1 for a text of fewer than 4 characters.
std::int64_t estimate(std::string_view text);

} // namespace brindle::TokenEstimator
