#pragma once
// Text as people see it: user-perceived characters (extended grapheme clusters, Unicode Standard Annex
// #29, by the rules of Unicode 17) and canonical equivalence (utf8proc); and the random identifiers the
// server hands out.

#include <cstddef>
#include <string>
#include <string_view>

namespace brindle::Unicode {

// Number of extended grapheme clusters. Invalid UTF-8 bytes count one each.
std::size_t characterCount(std::string_view text);

// The text without its first `count` user-perceived characters (empty when it has no more).
std::string_view dropCharacters(std::string_view text, std::size_t count);

// One pass over a text: its character count, the byte offset where its last character starts, and the byte
// offset just after its first `skip` characters (the text's size when it has no more).
struct CharacterScan {
    std::size_t count = 0;
    std::size_t lastStart = 0;
    std::size_t afterSkipped = 0;
};
CharacterScan scanCharacters(std::string_view text, std::size_t skip);

// The largest byte offset at or before `offset` (less than the text's size) where a user-perceived character
// begins. Reads the text only up to the character after it.
std::size_t characterStartAtOrBefore(std::string_view text, std::size_t offset);

// True when the two texts are canonically equivalent (equal after NFC normalisation).
bool canonicallyEqual(std::string_view left, std::string_view right);

bool isValidUTF8(std::string_view text);

// The text with every invalid UTF-8 sequence replaced by U+FFFD.
std::string repairedUTF8(std::string_view text);

// A random version-4 UUID in its 36-character lower-case hyphenated form, from getrandom().
std::string randomUUID();

} // namespace brindle::Unicode
