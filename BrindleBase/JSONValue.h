#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace brindle {

class JSONWriter;
namespace JSONCoding {
class Node;
class Cursor;
} // namespace JSONCoding

// Drops a list's elements from count on.
template <class T> void dropFrom(std::vector<T>& list, std::size_t count) {
    list.erase(list.begin() + static_cast<std::ptrdiff_t>(count), list.end());
}

// Members in byte order of their keys, each key once: of members that share a key, the last one given is kept, as in
// a JSON value (a record reads the first). Members is a list with operator[] and dropFrom, keyOf gives a member's key
// as a string_view. Members out of order are sorted through a list of their positions, whose order also keeps members
// of one key in the order given: std::stable_sort took a buffer of half the members, 28 bytes for each of a schema's
// properties where a position takes 8. Each position carries the first four bytes of its key, which decide most
// comparisons without reaching for the key.
template <class Members, class KeyOf> void keepLastOfEachKey(Members& members, KeyOf keyOf) {
    const std::size_t count = members.size();
    bool sorted = true;
    for (std::size_t index = 1; index < count && sorted; ++index)
        sorted = !(keyOf(members[index]) < keyOf(members[index - 1]));
    if (!sorted) {
        constexpr std::uint64_t kPosition = 0xFFFF'FFFF; // a body holds far fewer than 2^32 members
        std::vector<std::uint64_t> order(count);
        for (std::size_t index = 0; index < count; ++index) {
            const std::string_view key = keyOf(members[index]);
            std::uint64_t prefix = 0;
            for (std::size_t byte = 0; byte < 4; ++byte)
                prefix = prefix << 8 | (byte < key.size() ? static_cast<unsigned char>(key[byte]) : 0u);
            order[index] = prefix << 32 | index;
        }
        std::sort(order.begin(), order.end(), [&](std::uint64_t left, std::uint64_t right) {
            if ((left ^ right) >> 32) return left < right;
            const int byKey = keyOf(members[left & kPosition]).compare(keyOf(members[right & kPosition]));
            return byKey < 0 || (byKey == 0 && left < right);
        });
        for (std::uint64_t& position : order) position &= kPosition;
        // Position at takes the member that stood at order[at]: each cycle of that permutation is followed once.
        for (std::size_t start = 0; start < count; ++start) {
            if (order[start] == start) continue;
            auto held = std::move(members[start]);
            std::size_t at = start;
            for (std::size_t from = order[at]; from != start; at = from, from = order[at]) {
                members[at] = std::move(members[from]);
                order[at] = at;
            }
            members[at] = std::move(held);
            order[at] = at;
        }
    }
    std::size_t kept = 0;
    for (std::size_t index = 0; index < count; ++index) {
        if (index + 1 < count && keyOf(members[index + 1]) == keyOf(members[index])) continue;
        if (kept != index) members[kept] = std::move(members[index]);
        ++kept;
    }
    dropFrom(members, kept);
}
// The same for key-value pairs.
template <class Members> void keepLastOfEachKey(Members& members) {
    keepLastOfEachKey(members, [](const auto& member) { return std::string_view(member.first); });
}

// The one dynamic JSON value: tool_choice and tool parameter schemas. Numbers are always double.
struct JSONValue {
    using Array = std::vector<JSONValue>;

    // Members with unique keys, held in byte order of their keys in one block: a tree of nodes cost 128 bytes
    // for each member, and a request of 200,000 tools carries a million members in their parameters.
    class Object {
    public:
        using value_type = std::pair<std::string, JSONValue>;
        using const_iterator = std::vector<value_type>::const_iterator;

        Object() = default;
        Object(std::initializer_list<value_type> members) : Object(std::vector<value_type>(members)) {}
        // Of members that share a key, the last one given is kept.
        explicit Object(std::vector<value_type> members);

        const_iterator begin() const { return members_.begin(); }
        const_iterator end() const { return members_.end(); }
        std::size_t size() const { return members_.size(); }
        bool empty() const { return members_.empty(); }
        const_iterator find(std::string_view key) const;
        // Adds the member unless its key is taken; members added in key order are appended without a search.
        void emplace(std::string key, JSONValue value);

    private:
        std::vector<value_type> members_;
    };

    std::variant<bool, double, std::string, Array, Object, std::nullptr_t> storage{nullptr};

    JSONValue() = default;
    JSONValue(bool value) : storage(value) {}
    JSONValue(double value) : storage(value) {}
    JSONValue(std::string value) : storage(std::move(value)) {}
    JSONValue(const char* value) : storage(std::string(value)) {}
    JSONValue(Array value) : storage(std::move(value)) {}
    JSONValue(Object value) : storage(std::move(value)) {}
    JSONValue(std::nullptr_t) : storage(nullptr) {}

    const std::string* stringValue() const { return std::get_if<std::string>(&storage); }
    const Array* arrayValue() const { return std::get_if<Array>(&storage); }
    const Object* objectValue() const { return std::get_if<Object>(&storage); }

    // Tries null, bool, number, string, array, object in that order; throws JSONCoding::DecodingError.
    static JSONValue decode(const JSONCoding::Node& node);
    static JSONValue decode(JSONCoding::Cursor& node);
    // Throws JSONCoding::EncodingError for a non-finite number.
    void encode(JSONWriter& writer) const;

    // Same case and equal payloads; strings compare by canonical equivalence, numbers as doubles.
    friend bool operator==(const JSONValue& left, const JSONValue& right);
};

// Compact JSON text: no whitespace, slashes unescaped, non-ASCII written as UTF-8. Invalid UTF-8 in a
// string is replaced by U+FFFD, so whatever the writer returns is valid UTF-8.
class JSONWriter {
public:
    void beginObject() {
        separate();
        out_ += '{';
    }
    void endObject() { out_ += '}'; }
    void beginArray() {
        separate();
        out_ += '[';
    }
    void endArray() { out_ += ']'; }
    void key(std::string_view name);
    void string(std::string_view text);
    void integer(std::int64_t number);
    void boolean(bool value);
    void number(double value); // throws JSONCoding::EncodingError when not finite
    void null();

    // Record fields: a required field always writes its key; an absent optional field writes nothing.
    template <class T> void field(std::string_view name, const T& value);
    template <class T> void field(std::string_view name, const std::optional<T>& value) {
        if (value) field(name, *value);
    }
    template <class T> void value(const T& value);

    const std::string& text() const { return out_; }
    std::string take() { return std::move(out_); }

private:
    void separate() {
        if (!out_.empty() && out_.back() != '{' && out_.back() != '[' && out_.back() != ':') out_ += ',';
    }
    std::string out_;
};

namespace JSONCoding {

// The four kinds a decoding fault can be, with where it happened ("messages[0].content") and a
// readable description that names both.
class DecodingError : public std::runtime_error {
public:
    enum class Kind { keyNotFound, valueNotFound, typeMismatch, dataCorrupted };
    DecodingError(Kind kind, std::string path, const std::string& description)
        : std::runtime_error(description), kind(kind), path(std::move(path)) {}
    Kind kind;
    std::string path; // empty at the top level
};

class EncodingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Deepest nesting a document may have, counting every array, object and the value at the bottom (an empty
// innermost array or object counts as no level). Decoding, comparing and destroying values recurse, so the
// bound is what keeps a hostile body from exhausting a thread's stack.
inline constexpr std::size_t kMaxDepth = 256;

// The shared decoder: strict JSON (RFC 8259) into records. Records decode in their declared key order,
// so the first fault met in that order is the one reported.
class Decoder {
public:
    // Throws DecodingError.
    template <class T> T decode(std::string_view json) const { return decodeWith<T>(json, false); }
    // The same; a string with room for the parser's padding past its end is parsed in place, not copied.
    template <class T> T decode(const std::string& json) const {
        return decodeWith<T>(json, json.capacity() - json.size() >= kParserPadding);
    }
    template <class T> T decode(const char* json) const { return decode<T>(std::string_view(json)); }
    // The same for bytes followed by kParserPadding readable bytes (a request body as the server reads it).
    template <class T> T decodePadded(std::string_view json) const { return decodeWith<T>(json, true); }
    // Without the quick pass: what the quick pass must agree with, for the fuzzers to compare.
    template <class T> T decodeByKeys(std::string_view json) const {
        std::optional<T> result;
        parseThen(json, false, [&result](const Node& root) { result.emplace(T::decode(root)); });
        return std::move(*result);
    }

    // How far past the end of its input the parser reads.
    static constexpr std::size_t kParserPadding = 64;
    // Lets go of the parsers this thread keeps for its next document (up to about six times the last one), for a
    // thread about to wait long.
    static void releaseThreadParsers();

private:
    // Types that can be decoded through a Cursor are first, and almost always only, decoded that way.
    template <class T> T decodeWith(std::string_view json, bool padded) const {
        std::optional<T> result;
        if constexpr (requires(Cursor & cursor) { T::decode(cursor); }) {
            // Each reading's record goes before the next is read: one only checking still holds what is not a list.
            const auto use = [&result](Cursor& root) {
                result.reset();
                result.emplace(T::decode(root));
            };
            if (decidedQuickly(json, padded, use)) return std::move(*result);
            result.reset();
            // What neither reading through Cursor decided is checked first, its lists let go as they are read, and
            // decoded whole only when no fault is found. Decoded at once, a body of millions of records with a fault at
            // its end was held as records beside the parser's document.
            parseThen(json, padded, [&result](const Node& root) {
                findFirstFault([&root] { T::decode(root); });
                result.emplace(T::decode(root));
            });
            return std::move(*result);
        }
        parseThen(json, padded, [&result](const Node& root) { result.emplace(T::decode(root)); });
        return std::move(*result);
    }
    // Runs decode only checking: every list is read element by element and let go (JSONCoding::onlyChecking()).
    static void findFirstFault(const std::function<void()>& decode);
    // Throws the document's first fault when the readings through Cursor can tell it: one of form, else the first in
    // declared order. False when they cannot decide: use was then given a part of the document only.
    bool decidedQuickly(std::string_view json, bool padded, const std::function<void(Cursor&)>& use) const;
    // padded: the bytes up to kParserPadding past the end of json may be read.
    void parseThen(std::string_view json, bool padded, const std::function<void(const Node&)>& use) const;
};

// The shared encoder; encoding keeps no state, so one instance serves every thread.
class Encoder {
public:
    // Throws EncodingError.
    template <class T> std::string encode(const T& value) const {
        JSONWriter writer;
        writer.value(value);
        return writer.take();
    }
};

const Decoder& decoder();
const Encoder& encoder();

// Never fails: "{}" when encoding fails.
template <class T> std::string encodeString(const T& value) noexcept {
    try {
        return encoder().encode(value);
    } catch (...) {
        return "{}";
    }
}

} // namespace JSONCoding

template <class T> void JSONWriter::field(std::string_view name, const T& v) {
    key(name);
    value(v);
}

template <class T> void JSONWriter::value(const T& v) {
    if constexpr (std::is_convertible_v<const T&, std::string_view>) {
        string(v);
    } else if constexpr (std::is_same_v<T, bool>) {
        boolean(v);
    } else if constexpr (std::is_integral_v<T>) {
        integer(static_cast<std::int64_t>(v));
    } else if constexpr (std::is_floating_point_v<T>) {
        number(v);
    } else if constexpr (requires {
                             v.begin();
                             v.end();
                             typename T::value_type;
                         }) {
        beginArray();
        for (const auto& element : v) value(element);
        endArray();
    } else {
        v.encode(*this);
    }
}

} // namespace brindle
