#include "BrindleBase/StringList.h"

namespace brindle {

void StringList::push_back(std::string_view text) {
    std::size_t length = text.size();
    do {
        const auto group = static_cast<unsigned char>(length & 0x7f);
        length >>= 7;
        packed_ += static_cast<char>(length ? group | 0x80 : group);
    } while (length);
    packed_ += text;
}

void StringList::const_iterator::read() {
    if (entry_ == end_) return;
    std::size_t length = 0;
    const char* at = entry_;
    for (unsigned shift = 0;; shift += 7) {
        const auto group = static_cast<unsigned char>(*at++);
        length |= std::size_t{group & 0x7fu} << shift;
        if (!(group & 0x80)) break;
    }
    text_ = std::string_view(at, length);
}

} // namespace brindle
