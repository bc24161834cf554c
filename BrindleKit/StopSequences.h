#pragma once
// Where a client's stop sequences end an answer, plain or growing snapshot by snapshot. The answer ends just
// before the sequence that completes first, where a generating model would have stopped; of two completing
// at once, the longer one. Every byte of an answer is looked at once per sequence, however long the
// sequences and however many snapshots: sequences are the client's, of any length.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brindle {

class StopSequenceScan {
public:
    explicit StopSequenceScan(const std::vector<std::string>& sequences);

    // Reads on through `text`, whose beginning must be the text read so far (restart() first otherwise).
    // Returns where the answer ends once a sequence has completed.
    std::optional<std::size_t> readOn(std::string_view text);
    // How many bytes at the end of the text read could still grow into a stop sequence.
    std::size_t undecidedTail() const;
    void restart();
    bool empty() const { return matchers_.empty(); }

private:
    // One sequence and the longest part of it the text read so far ends with (Knuth-Morris-Pratt).
    class Matcher {
    public:
        explicit Matcher(std::string sequence);
        // True when the byte completes the sequence.
        bool read(char byte);
        std::size_t matched() const { return matched_; }
        std::size_t size() const { return sequence_.size(); }
        void restart() { matched_ = 0; }

    private:
        std::string sequence_;
        std::vector<std::size_t> fallback_; // [i]: the longest proper prefix that also ends sequence_[0..i]
        std::size_t matched_ = 0;
    };

    std::vector<Matcher> matchers_;
    std::size_t read_ = 0;
    std::optional<std::size_t> end_;
};

// The answer as the client gets it: cut at the first stop sequence.
std::string cutAtStop(std::string answer, const std::vector<std::string>& sequences);

// What of a growing answer may be shown: the text before a stop sequence, less a tail that could still become
// one, and never part of a user-perceived character (a stop sequence may begin with a combining mark).
// Snapshots are whole texts, usually the previous one plus a little.
class StopGuard {
public:
    explicit StopGuard(const std::vector<std::string>& sequences) : stops_(sequences) {}

    struct Visible {
        std::string text;
        bool stopped = false; // a stop sequence occurred: the answer ends with this text
    };
    Visible visible(std::string snapshot);
    // Once the answer is complete, nothing is held back: the last snapshot whole.
    Visible rest() const { return {previous_, false}; }

private:
    StopSequenceScan stops_;
    std::string previous_;
    // Where a character of the previous snapshot begins, at or before what was shown of it: characters begin
    // there in every snapshot that extends it, so the search for the next one starts there.
    std::size_t settled_ = 0;
};

} // namespace brindle
