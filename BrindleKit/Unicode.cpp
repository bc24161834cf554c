#include "BrindleKit/Unicode.h"

#include <array>
#include <cerrno>
#include <optional>
#include <cstdlib>
#include <memory>
#include <stdexcept>

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

// Calls atClusterStart(byteOffset) for every extended grapheme cluster in order, until it returns false.
// Two ASCII characters in a row are always split (but CR LF), which skips the table lookups for the bulk
// of most texts; the break state is reset there so the next lookup starts from the ASCII character.
template <class AtClusterStart> void forEachCluster(std::string_view text, AtClusterStart&& atClusterStart) {
    utf8proc_int32_t state = 0;
    std::int32_t previous = -1;
    for (std::size_t offset = 0; offset < text.size();) {
        const CodePoint current = codePointAt(text, offset);
        bool breaks = true;
        if (offset > 0 && previous >= 0 && current.value >= 0) {
            if (previous < 0x80 && current.value < 0x80) {
                breaks = !(previous == '\r' && current.value == '\n');
                state = 0;
            } else {
                breaks = utf8proc_grapheme_break_stateful(previous, current.value, &state);
            }
        } else {
            state = 0;
        }
        if (breaks && !atClusterStart(offset)) return;
        previous = current.value;
        offset += current.length;
    }
}

} // namespace

std::size_t characterCount(std::string_view text) {
    std::size_t count = 0;
    forEachCluster(text, [&count](std::size_t) {
        ++count;
        return true;
    });
    return count;
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

bool isValidUTF8(std::string_view text) { return simdjson::validate_utf8(text.data(), text.size()); }

std::string repairedUTF8(std::string_view text) {
    std::string repaired;
    repaired.reserve(text.size());
    for (std::size_t offset = 0; offset < text.size();) {
        const CodePoint current = codePointAt(text, offset);
        if (current.value < 0) repaired += "\xEF\xBF\xBD";
        else repaired.append(text, offset, current.length);
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
    const auto length = utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(text.data()),
                                     static_cast<utf8proc_ssize_t>(text.size()), &mapped,
                                     static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
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

std::string randomUUID() {
    std::array<unsigned char, 16> bytes{};
    std::size_t filled = 0;
    while (filled < bytes.size()) {
        const ssize_t got = getrandom(bytes.data() + filled, bytes.size() - filled, 0);
        if (got > 0) filled += static_cast<std::size_t>(got);
        else if (got < 0 && errno != EINTR) throw std::runtime_error("getrandom failed");
    }
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
