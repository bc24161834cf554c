#include "BrindleKit/StopSequences.h"

#include "BrindleBase/Unicode.h"

#include <algorithm>

namespace brindle {

StopSequenceScan::Matcher::Matcher(std::string sequence)
    : sequence_(std::move(sequence)), fallback_(sequence_.size(), 0) {
    for (std::size_t i = 1, length = 0; i < sequence_.size(); ++i) {
        while (length > 0 && sequence_[i] != sequence_[length]) length = fallback_[length - 1];
        if (sequence_[i] == sequence_[length]) ++length;
        fallback_[i] = length;
    }
}

bool StopSequenceScan::Matcher::read(char byte) {
    while (matched_ > 0 && byte != sequence_[matched_]) matched_ = fallback_[matched_ - 1];
    if (byte == sequence_[matched_]) ++matched_;
    return matched_ == sequence_.size();
}

StopSequenceScan::StopSequenceScan(const std::vector<std::string>& sequences) {
    for (const std::string& sequence : sequences)
        if (!sequence.empty()) matchers_.emplace_back(sequence);
}

std::optional<std::size_t> StopSequenceScan::readOn(std::string_view text) {
    for (; !end_ && read_ < text.size(); ++read_) {
        std::size_t longest = 0; // of the sequences this byte completes
        for (Matcher& matcher : matchers_)
            if (matcher.read(text[read_])) longest = std::max(longest, matcher.size());
        if (longest > 0) end_ = read_ + 1 - longest;
    }
    return end_;
}

std::size_t StopSequenceScan::undecidedTail() const {
    std::size_t longest = 0;
    for (const Matcher& matcher : matchers_) longest = std::max(longest, matcher.matched());
    return longest;
}

void StopSequenceScan::restart() {
    for (Matcher& matcher : matchers_) matcher.restart();
    read_ = 0;
    end_.reset();
}

std::string cutAtStop(std::string answer, const std::vector<std::string>& sequences) {
    if (const auto end = StopSequenceScan(sequences).readOn(answer)) answer.resize(*end);
    return answer;
}

StopGuard::Visible StopGuard::visible(std::string snapshot) {
    if (stops_.empty()) return {std::move(snapshot), false};
    if (!std::string_view(snapshot).starts_with(previous_)) {
        stops_.restart();
        settled_ = 0;
    }
    const std::optional<std::size_t> end = stops_.readOn(snapshot);
    previous_ = snapshot;
    if (end) return {snapshot.substr(0, *end), true};
    if (snapshot.empty()) return {std::move(snapshot), false};
    // What may be shown ends where the undecided tail begins, or before the character that tail begins
    // within; it never shrinks, so neither does settled_.
    const std::size_t shown = snapshot.size() - stops_.undecidedTail();
    const std::size_t last = std::min(shown, snapshot.size() - 1);
    settled_ += Unicode::characterStartAtOrBefore(std::string_view(snapshot).substr(settled_), last - settled_);
    snapshot.resize(shown == snapshot.size() ? shown : settled_);
    return {std::move(snapshot), false};
}

} // namespace brindle
