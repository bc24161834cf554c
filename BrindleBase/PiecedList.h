#pragma once

#include <algorithm>
#include <cstddef>
#include <utility>
#include <vector>

namespace brindle {

// A list held in pieces of about 256 KiB rather than in one block, so that whoever takes its elements in order lets
// each piece go as soon as it has been taken (takeEach): what the elements become never stands beside all of what they
// were. Each piece is its own mapping, given back to the system when it goes.
template <class T> class PiecedList {
public:
    static constexpr std::size_t kPerPiece = std::max<std::size_t>(1, ((256u << 10) - 64) / sizeof(T));

    // Sizes the pieces for this many elements in all, so that none is given room it will not use.
    void expect(std::size_t count) { expected_ = count; }
    void push_back(T value) {
        if (pieces_.empty() || pieces_.back().size() == kPerPiece) {
            pieces_.emplace_back();
            if (expected_ > size_) pieces_.back().reserve(std::min(kPerPiece, expected_ - size_));
        }
        pieces_.back().push_back(std::move(value));
        ++size_;
    }
    std::size_t size() const { return size_; }
    T& operator[](std::size_t index) { return pieces_[index / kPerPiece][index % kPerPiece]; }
    const T& operator[](std::size_t index) const { return pieces_[index / kPerPiece][index % kPerPiece]; }
    // Drops the elements from count on.
    friend void dropFrom(PiecedList& list, std::size_t count) {
        if (count >= list.size_) return;
        list.pieces_.resize((count + kPerPiece - 1) / kPerPiece);
        if (!list.pieces_.empty()) {
            std::vector<T>& last = list.pieces_.back();
            last.erase(last.begin() + static_cast<std::ptrdiff_t>(count - (list.pieces_.size() - 1) * kPerPiece),
                       last.end());
        }
        list.size_ = count;
    }

    template <class Use> void forEach(Use&& use) const {
        for (const std::vector<T>& piece : pieces_)
            for (const T& element : piece) use(element);
    }
    // Hands each element to take in order, as an lvalue to move from; the list is empty after.
    template <class Take> void takeEach(Take&& take) {
        for (std::vector<T>& piece : pieces_) {
            for (T& element : piece) take(element);
            std::vector<T>().swap(piece);
        }
        pieces_.clear();
        size_ = 0;
    }

private:
    std::vector<std::vector<T>> pieces_;
    std::size_t size_ = 0;
    std::size_t expected_ = 0;
};

} // namespace brindle
