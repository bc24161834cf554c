#pragma once

#include <cstddef>
#include <initializer_list>
#include <iterator>
#include <string>
#include <string_view>

namespace brindle {

// Strings one after another in one buffer, each after its length: a list of millions of short strings costs a byte
// or two for each beyond its text, where a vector of strings costs 32 and a list of JSON values 40. Read in order only.
class StringList {
public:
    class const_iterator {
    public:
        using iterator_concept = std::forward_iterator_tag;
        using iterator_category = std::input_iterator_tag;
        using value_type = std::string_view;
        using difference_type = std::ptrdiff_t;
        using reference = std::string_view;

        const_iterator() = default;
        const_iterator(const char* entry, const char* end) : entry_(entry), end_(end) { read(); }
        std::string_view operator*() const { return text_; }
        const_iterator& operator++() {
            entry_ = text_.data() + text_.size();
            read();
            return *this;
        }
        const_iterator operator++(int) {
            const_iterator before = *this;
            ++*this;
            return before;
        }
        bool operator==(const const_iterator& other) const { return entry_ == other.entry_; }

    private:
        void read();
        const char* entry_ = nullptr;
        const char* end_ = nullptr;
        std::string_view text_;
    };
    using value_type = std::string_view;

    StringList() = default;
    StringList(std::initializer_list<std::string_view> texts) {
        for (std::string_view text : texts) push_back(text);
    }

    void push_back(std::string_view text);
    void shrink_to_fit() { packed_.shrink_to_fit(); }
    bool empty() const { return packed_.empty(); }
    std::string_view front() const { return *begin(); }
    const_iterator begin() const { return {packed_.data(), packed_.data() + packed_.size()}; }
    const_iterator end() const { return {packed_.data() + packed_.size(), packed_.data() + packed_.size()}; }

    // One packing for each list, so equal lists are equal bytes.
    friend bool operator==(const StringList&, const StringList&) = default;

private:
    std::string packed_; // for each string: its length in 7-bit groups, low first, the high bit marking more; its bytes
};

} // namespace brindle
