#include "BrindleBase/Unicode.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <unordered_map>
#include <vector>

#include <sys/random.h>

#include <simdjson.h>
#include <utf8proc.h>

namespace brindle::Unicode {

namespace {

// One code point at `offset`: its value and length in bytes; an invalid byte is the value -1, length 1.
struct CodePoint {
    std::int32_t value;
    std::size_t length;
};

CodePoint codePointAt(std::string_view text, std::size_t offset) {
    const auto byte = static_cast<unsigned char>(text[offset]);
    if (byte < 0x80) return {byte, 1};
    utf8proc_int32_t value = -1;
    const auto length = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(text.data() + offset),
                                         static_cast<utf8proc_ssize_t>(text.size() - offset), &value);
    if (length <= 0) return {-1, 1};
    return {value, static_cast<std::size_t>(length)};
}

// The grapheme cluster properties of a code point: its Grapheme_Cluster_Break value, whether it
// is Extended_Pictographic, and its Indic_Conjunct_Break value. utf8proc has the first two, but Debian 12's is
// Unicode 15.0, which lacks the conjunct rule (GB9c) that keeps क्ष one character; so the rules are here, over
// tables generated from the Unicode data (GraphemeBreakData.inc).
enum class B : std::uint8_t {
    Other,
    CR,
    LF,
    Control,
    Extend,
    ZWJ,
    Regional_Indicator,
    Prepend,
    SpacingMark,
    L,
    V,
    T,
    LV,
    LVT
};
enum class C : std::uint8_t { None, Linker, Consonant, Extend };

struct Properties {
    B breakValue = B::Other;
    bool pictographic = false;
    C conjunct = C::None;
};

struct PropertyRange {
    char32_t first, last;
    B breakValue;
    bool pictographic;
    C conjunct;
};

constexpr PropertyRange kPropertyRanges[] = {
#include "BrindleBase/GraphemeBreakData.inc"
};

// A two-stage table built once from the ranges, on first use: blocks of 128 code points with identical blocks
// shared (some tens of KiB in all), so a lookup is two loads instead of a search through 1,500 ranges. A code
// point's properties are packed in a byte there: break value, then pictographic, then conjunct part.
class PropertyTable {
public:
    PropertyTable() {
        std::unordered_map<std::string, std::uint16_t> known;
        const PropertyRange* range = std::begin(kPropertyRanges);
        std::string block(kBlockSize, '\0');
        for (char32_t start = 0; start < kCodePoints; start += kBlockSize) {
            for (char32_t offset = 0; offset < kBlockSize; ++offset) {
                const char32_t codePoint = start + offset;
                while (range != std::end(kPropertyRanges) && range->last < codePoint) ++range;
                const bool listed = range != std::end(kPropertyRanges) && range->first <= codePoint;
                block[offset] = static_cast<char>(listed ? packed(*range) : 0);
            }
            const auto [found, added] = known.try_emplace(block, static_cast<std::uint16_t>(known.size()));
            if (added) blocks_ += block;
            blockOf_.push_back(found->second);
        }
    }
    Properties at(char32_t codePoint) const {
        const auto byte =
            static_cast<std::uint8_t>(blocks_[blockOf_[codePoint / kBlockSize] * kBlockSize + codePoint % kBlockSize]);
        return {static_cast<B>(byte & 0x0F), (byte & 0x10) != 0, static_cast<C>(byte >> 5)};
    }

private:
    static constexpr char32_t kCodePoints = 0x110000, kBlockSize = 128;
    static std::uint8_t packed(const PropertyRange& range) {
        return static_cast<std::uint8_t>(static_cast<unsigned>(range.breakValue) | (range.pictographic ? 0x10u : 0u) |
                                         (static_cast<unsigned>(range.conjunct) << 5));
    }
    std::vector<std::uint16_t> blockOf_;
    std::string blocks_;
};

Properties propertiesOf(char32_t codePoint) {
    static const PropertyTable table;
    return table.at(codePoint);
}

bool isControl(B value) {
    return value == B::Control || value == B::CR || value == B::LF;
}

// The extended grapheme cluster rules of Unicode Standard Annex #29, fed one code point at a time.
class ClusterBreaker {
public:
    // Whether a cluster starts at this code point; an invalid byte (-1) stands alone.
    bool breaksBefore(std::int32_t codePoint) {
        if (codePoint < 0) {
            *this = ClusterBreaker();
            return true;
        }
        const Properties current = propertiesOf(static_cast<char32_t>(codePoint));
        const bool breaks = first_ || breaksBetween(current);
        advance(current);
        first_ = false;
        return breaks;
    }

private:
    bool breaksBetween(const Properties& current) const {
        const B before = previous_.breakValue, after = current.breakValue;
        if (before == B::CR && after == B::LF) return false;    // GB3
        if (isControl(before) || isControl(after)) return true; // GB4, GB5
        if (before == B::L && (after == B::L || after == B::V || after == B::LV || after == B::LVT))
            return false;                                                                          // GB6
        if ((before == B::LV || before == B::V) && (after == B::V || after == B::T)) return false; // GB7
        if ((before == B::LVT || before == B::T) && after == B::T) return false;                   // GB8
        if (after == B::Extend || after == B::ZWJ || after == B::SpacingMark) return false;        // GB9, GB9a
        if (before == B::Prepend) return false;                                                    // GB9b
        if (current.conjunct == C::Consonant && conjunct_ == Conjunct::afterLinker) return false;  // GB9c
        if (before == B::ZWJ && pictograph_ == Pictograph::afterJoiner && current.pictographic) return false; // GB11
        if (before == B::Regional_Indicator && after == B::Regional_Indicator && oddIndicators_)
            return false; // GB12, GB13
        return true;      // GB999
    }

    void advance(const Properties& current) {
        if (current.conjunct == C::Consonant)
            conjunct_ = Conjunct::consonant;
        else if (current.conjunct == C::Linker && conjunct_ != Conjunct::none)
            conjunct_ = Conjunct::afterLinker;
        else if (current.conjunct != C::Extend)
            conjunct_ = Conjunct::none;

        const bool afterPictograph = pictograph_ == Pictograph::pictograph;
        if (current.pictographic)
            pictograph_ = Pictograph::pictograph;
        else if (afterPictograph && current.breakValue == B::ZWJ)
            pictograph_ = Pictograph::afterJoiner;
        else if (!(afterPictograph && current.breakValue == B::Extend))
            pictograph_ = Pictograph::none;

        oddIndicators_ = current.breakValue == B::Regional_Indicator && !oddIndicators_;
        previous_ = current;
    }

    // Consonant [Extend Linker]* Linker [Extend Linker]*: afterLinker, where a consonant joins.
    enum class Conjunct : std::uint8_t { none, consonant, afterLinker };
    // Extended_Pictographic Extend* ZWJ: afterJoiner, where a pictograph joins.
    enum class Pictograph : std::uint8_t { none, pictograph, afterJoiner };

    Properties previous_;
    bool first_ = true;
    Conjunct conjunct_ = Conjunct::none;
    Pictograph pictograph_ = Pictograph::none;
    bool oddIndicators_ = false; // the run of regional indicators up to here has odd length
};

// Calls atClusterStart(byteOffset) for every extended grapheme cluster in order, until it returns false.
template <class AtClusterStart> void forEachCluster(std::string_view text, AtClusterStart&& atClusterStart) {
    ClusterBreaker breaker;
    for (std::size_t offset = 0; offset < text.size();) {
        const CodePoint current = codePointAt(text, offset);
        if (breaker.breaksBefore(current.value) && !atClusterStart(offset)) return;
        offset += current.length;
    }
}

} // namespace

namespace {

std::size_t countClusters(std::string_view text) {
    std::size_t count = 0;
    forEachCluster(text, [&count](std::size_t) {
        ++count;
        return true;
    });
    return count;
}

// Eight ASCII bytes, none of them CR: within them every pair of characters is split.
bool isPlainASCIIBlock(std::string_view text, std::size_t offset) {
    std::uint64_t block;
    std::memcpy(&block, text.data() + offset, sizeof block);
    constexpr std::uint64_t kHighBits = 0x8080808080808080, kOnes = 0x0101010101010101;
    const std::uint64_t carriageReturns = block ^ (kOnes * '\r'); // a zero byte where a CR was
    return (block & kHighBits) == 0 && ((carriageReturns - kOnes) & ~carriageReturns & kHighBits) == 0;
}

} // namespace

// Most text is ASCII, and counting it pair by pair was the largest cost of a request with a large body. A
// position after an ASCII character other than CR, at an ASCII character, always starts a cluster and
// resets the break state, so the text is cut there into pieces that are counted on their own: runs of
// plain blocks of eight at once (the run's last character may still join what follows, so it is left to
// the next piece), everything else through the cluster rules.
std::size_t characterCount(std::string_view text) {
    std::size_t count = 0, pieceStart = 0;
    for (std::size_t offset = 0; offset + 8 <= text.size();) {
        const bool afterPlainASCII =
            offset == 0 || (static_cast<unsigned char>(text[offset - 1]) < 0x80 && text[offset - 1] != '\r');
        if (!afterPlainASCII || !isPlainASCIIBlock(text, offset)) {
            ++offset;
            continue;
        }
        count += countClusters(text.substr(pieceStart, offset - pieceStart));
        for (; offset + 16 <= text.size() && isPlainASCIIBlock(text, offset + 8); offset += 8) count += 8;
        count += 7;
        offset += 7;
        pieceStart = offset;
    }
    return count + countClusters(text.substr(pieceStart));
}

std::string_view dropCharacters(std::string_view text, std::size_t count) {
    if (count == 0) return text;
    std::size_t seen = 0;
    std::size_t start = text.size();
    forEachCluster(text, [&](std::size_t offset) {
        if (seen++ < count) return true;
        start = offset;
        return false;
    });
    return text.substr(start);
}

CharacterScan scanCharacters(std::string_view text, std::size_t skip) {
    CharacterScan scan;
    scan.afterSkipped = text.size();
    forEachCluster(text, [&](std::size_t offset) {
        if (scan.count == skip) scan.afterSkipped = offset;
        scan.lastStart = offset;
        ++scan.count;
        return true;
    });
    return scan;
}

std::size_t characterStartAtOrBefore(std::string_view text, std::size_t offset) {
    std::size_t start = 0;
    forEachCluster(text, [&](std::size_t clusterStart) {
        if (clusterStart > offset) return false;
        start = clusterStart;
        return true;
    });
    return start;
}

bool isValidUTF8(std::string_view text) {
    return simdjson::validate_utf8(text.data(), text.size());
}

std::string repairedUTF8(std::string_view text) {
    std::string repaired;
    repaired.reserve(text.size());
    for (std::size_t offset = 0; offset < text.size();) {
        const CodePoint current = codePointAt(text, offset);
        if (current.value < 0)
            repaired += "\xEF\xBF\xBD";
        else
            repaired.append(text, offset, current.length);
        offset += current.length;
    }
    return repaired;
}

namespace {

bool isASCII(std::string_view text) {
    for (const char c : text)
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    return true;
}

// NFC of a valid UTF-8 text (NUL bytes included); nothing when utf8proc refuses it.
std::optional<std::string> composed(std::string_view text) {
    utf8proc_uint8_t* mapped = nullptr;
    const auto length =
        utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(text.data()), static_cast<utf8proc_ssize_t>(text.size()),
                     &mapped, static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
    if (length < 0) return std::nullopt;
    std::unique_ptr<utf8proc_uint8_t, decltype(&std::free)> owner(mapped, &std::free);
    return std::string(reinterpret_cast<const char*>(mapped), static_cast<std::size_t>(length));
}

} // namespace

bool canonicallyEqual(std::string_view left, std::string_view right) {
    if (left == right) return true;
    if (isASCII(left) && isASCII(right)) return false;
    const auto leftNFC = composed(left), rightNFC = composed(right);
    return leftNFC && rightNFC && *leftNFC == *rightNFC;
}

namespace {

// Random bytes from the kernel, fetched 16 identifiers at a time: a chat completion hands out five or more,
// and one system call each was a quarter of the time its handler took. Each thread has its own pool; the
// process never forks, so no two processes share one.
class RandomPool {
public:
    void take(unsigned char* out, std::size_t count) {
        while (count > 0) {
            if (next_ == bytes_.size()) refill();
            const std::size_t taken = std::min(count, bytes_.size() - next_);
            std::memcpy(out, bytes_.data() + next_, taken);
            out += taken;
            count -= taken;
            next_ += taken;
        }
    }

private:
    void refill() {
        std::size_t filled = 0;
        while (filled < bytes_.size()) {
            const ssize_t got = getrandom(bytes_.data() + filled, bytes_.size() - filled, 0);
            if (got > 0)
                filled += static_cast<std::size_t>(got);
            else if (got < 0 && errno != EINTR)
                throw std::runtime_error("getrandom failed");
        }
        next_ = 0;
    }

    std::array<unsigned char, 256> bytes_{};
    std::size_t next_ = bytes_.size();
};

} // namespace

std::string randomUUID() {
    thread_local RandomPool pool;
    std::array<unsigned char, 16> bytes{};
    pool.take(bytes.data(), bytes.size());
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40); // version 4
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80); // RFC 4122 variant
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    text.reserve(36);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
        text += kHex[bytes[i] >> 4];
        text += kHex[bytes[i] & 0x0F];
    }
    return text;
}

} // namespace brindle::Unicode
