#pragma once
// Decoding helpers for the units that decode records. Kept out of JSONValue.h so that only the few
// translation units that decode pay for the parser's header.

#include "BrindleBase/JSONValue.h"

#include <simdjson.h>

#include <array>
#include <optional>
#include <tuple>

namespace brindle::JSONCoding {

// Where a value sits in the document: a chain of keys and indexes, rendered only when a fault is reported.
struct CodingPath {
    const CodingPath* parent = nullptr;
    std::string_view key;  // set for a member
    std::size_t index = 0; // used when key is empty and parent is set
    // Set on the root of a document whose numbers beyond a double's range were replaced by placeholders.
    bool holdsOutOfRangePlaceholders = false;
    std::string render() const;
};

// One value of a parsed document together with its position.
class Node {
public:
    Node(simdjson::dom::element element, const CodingPath& path) : element_(element), path_(path) {}

    simdjson::dom::element element() const { return element_; }
    const CodingPath& path() const { return path_; }
    bool isNull() const { return element_.is_null(); }
    bool isString() const { return element_.is_string(); }
    bool isArray() const { return element_.is_array(); }
    bool isObject() const { return element_.is_object(); }

    // Each throws DecodingError: valueNotFound for null, typeMismatch for another kind; a number beyond a
    // double's range is dataCorrupted, "Unsupported JSON value".
    std::string string() const;
    bool boolean() const;
    double number() const;
    std::int64_t integer() const;

    // For a value decoded only to be checked: dataCorrupted, "Unsupported JSON value", at the value's own
    // position when it holds a number that a finite double cannot hold.
    void refuseOutOfRangeWithin() const;

    [[noreturn]] void fail(DecodingError::Kind kind, const std::string& description) const;
    [[noreturn]] void mismatch(const char* expected) const;

private:
    // Throws dataCorrupted, "Unsupported JSON value", for a number that a finite double cannot hold.
    void refuseOutOfRange() const;

    simdjson::dom::element element_;
    const CodingPath& path_;
};

// How many elements an array holds (the parser's count stops at 16,777,215); 0 for any other value.
inline std::size_t elementCount(const Node& node) {
    simdjson::dom::array array;
    return node.element().get_array().get(array) == simdjson::SUCCESS ? array.size() : 0;
}
// The same for the members of an object.
inline std::size_t memberCount(const Node& node) {
    simdjson::dom::object object;
    return node.element().get_object().get(object) == simdjson::SUCCESS ? object.size() : 0;
}

// Calls use(element node) for each array element in order; throws typeMismatch when not an array.
template <class Use> void forEachElement(const Node& node, Use&& use) {
    simdjson::dom::array array;
    if (node.element().get_array().get(array) != simdjson::SUCCESS) node.mismatch("an array");
    std::size_t index = 0;
    for (simdjson::dom::element element : array) {
        const CodingPath path{&node.path(), {}, index++};
        use(Node(element, path));
    }
}

// Calls use(key, member node) for each member in document order; the node must be an object.
template <class Use> void forEachMember(const Node& node, Use&& use) {
    const simdjson::dom::object object = node.element().get_object().value_unsafe();
    for (auto member : object) {
        const CodingPath path{&node.path(), member.key, 0};
        use(member.key, Node(member.value, path));
    }
}

// What a reading through Cursor cannot decide: the document is then decoded again through Node, which reports
// its fault exactly.
struct Undecided {};
// Met by a Cursor reading a value whole for its faults: a number beyond a double's range within it.
struct BeyondRange {};

// [[noreturn]] builders of the faults Node and Cursor report alike.
[[noreturn]] void throwMismatch(const CodingPath& path, const char* expected, const char* found);
[[noreturn]] void throwMissing(const CodingPath& path, std::string_view key);
[[noreturn]] void throwUnsupported(const CodingPath& path);

// The quick pass: one walk over the document in its own order, straight into records, with no parsed
// document in between (the parser keeps only its index of structural characters, 4 bytes each, where the
// full document took 8 bytes per value more). Every value is read, so every value is checked, kept or not.
// It decides only what it is sure of and throws Undecided for everything else: any fault, a number the
// parser does not take as it is, a missing required key, nesting near the limit.
//
// A document the quick pass gives up on is read for its faults of form first (Decoder::decidedQuickly), and once
// known to be well formed, read again deciding: each fault is then reported as Node reports it, at its position,
// and a record keeps the first one while it reads on (decodeRecord), so that the fault reported is still the first
// in declared order; with no fault, it is decoded whole the same way. The full document would otherwise be built
// for no more than its fault, at 16 bytes for each number of a body of numbers.
class Cursor {
public:
    enum class Mode { quick, deciding };
    Cursor(simdjson::ondemand::value value, std::size_t depth, const CodingPath& path, Mode mode)
        : value_(value), depth_(depth), path_(&path), mode_(mode) {}

    const CodingPath& path() const { return *path_; }
    simdjson::ondemand::json_type type();
    bool isNull();
    bool isString();
    bool isArray() { return type() == simdjson::ondemand::json_type::array; }
    bool isObject() { return type() == simdjson::ondemand::json_type::object; }
    std::string_view stringView();
    std::string string();
    bool boolean();
    double number();
    std::int64_t integer();
    // Reads the value whole, keeping nothing; deciding, only its numbers are read, and one beyond a double's
    // range throws BeyondRange.
    void skip();
    // A member no field takes: read whole in the quick pass, since reading is what checks it; left to the
    // parser when deciding, as the document is then known to be well formed and such a member holds no fault.
    void pass() {
        if (mode_ == Mode::quick) skip();
    }
    // How many elements the array, or members the object, holds, read ahead without decoding them.
    std::size_t elementCount();
    std::size_t memberCount();

    // Each throws Undecided in the quick pass, and deciding what Node throws.
    [[noreturn]] void mismatch(const char* expected);
    [[noreturn]] void missing(std::string_view key) const;

    // Reads the value with read, as a value that fails whole: a number beyond a double's range anywhere within it is
    // reported at this value's position, as Node::refuseOutOfRangeWithin does.
    template <class Read> auto failingWhole(Read&& read) -> decltype(read()) {
        try {
            return read();
        } catch (const BeyondRange&) {
            if (mode_ == Mode::quick) throw Undecided{};
            throwUnsupported(*path_);
        }
    }

    template <class Use> void forEachElement(Use&& use) {
        simdjson::ondemand::array array;
        if (value_.get_array().get(array) != simdjson::SUCCESS) mismatch("an array");
        const std::size_t depth = nestedDepth();
        std::size_t index = 0;
        for (auto element : array) {
            simdjson::ondemand::value value;
            if (element.get(value) != simdjson::SUCCESS) throw Undecided{};
            const CodingPath path{path_, {}, index++};
            Cursor cursor(value, depth, path, mode_);
            use(cursor);
        }
    }
    // Calls use(key, value) for each member in document order.
    template <class Use> void forEachMember(Use&& use) {
        simdjson::ondemand::object object;
        if (value_.get_object().get(object) != simdjson::SUCCESS) mismatch("an object");
        const std::size_t depth = nestedDepth();
        for (auto member : object) {
            simdjson::ondemand::field field;
            if (std::move(member).get(field) != simdjson::SUCCESS) throw Undecided{};
            const std::string_view key = keyOf(field);
            simdjson::ondemand::value value = field.value();
            const CodingPath path{path_, key, 0};
            Cursor cursor(value, depth, path, mode_);
            use(key, cursor);
        }
    }

private:
    static std::string_view keyOf(simdjson::ondemand::field& field);
    std::size_t nestedDepth() const;
    simdjson::ondemand::value value_;
    std::size_t depth_;
    const CodingPath* path_;
    Mode mode_;
};

template <class Use> void forEachElement(Cursor& node, Use&& use) {
    node.forEachElement(std::forward<Use>(use));
}
template <class Use> void forEachMember(Cursor& node, Use&& use) {
    node.forEachMember(std::forward<Use>(use));
}
inline std::size_t elementCount(Cursor& node) {
    return node.elementCount();
}
inline std::size_t memberCount(Cursor& node) {
    return node.memberCount();
}

// Whether this thread is only checking a document for its first fault: lists are then read and let go.
bool onlyChecking();

template <class T> struct IsVector : std::false_type {};
template <class T> struct IsVector<std::vector<T>> : std::true_type {};
template <class T> struct IsOptional : std::false_type {};
template <class T> struct IsOptional<std::optional<T>> : std::true_type {};

// Node is a const Node or a Cursor.
template <class T, class NodeType> T decodeValue(NodeType& node) {
    if constexpr (std::is_same_v<T, std::string>) {
        return node.string();
    } else if constexpr (std::is_same_v<T, bool>) {
        return node.boolean();
    } else if constexpr (std::is_same_v<T, std::int64_t>) {
        return node.integer();
    } else if constexpr (std::is_same_v<T, double>) {
        return node.number();
    } else if constexpr (IsVector<T>::value) {
        if (onlyChecking()) {
            forEachElement(node, [](auto&& element) { decodeValue<typename T::value_type>(element); });
            return T();
        }
        // Sized before it is filled: grown by doubling, a list of millions of small records held its old and
        // new buffers at once at its last growth.
        T list;
        list.reserve(elementCount(node));
        forEachElement(node, [&list](auto&& element) { list.push_back(decodeValue<typename T::value_type>(element)); });
        return list;
    } else {
        return T::decode(node);
    }
}

// A record's members, read one declared key at a time.
class KeyedContainer {
public:
    explicit KeyedContainer(const Node& node); // throws typeMismatch when not an object

    // Missing key: keyNotFound; null: valueNotFound; another type: typeMismatch.
    template <class T> T required(std::string_view key) const {
        simdjson::dom::element element;
        if (object_.at_key(key).get(element) != simdjson::SUCCESS) missing(key);
        const CodingPath path{&node_.path(), key, 0};
        const Node node(element, path);
        return decodeValue<T>(node);
    }
    // Missing key or null: absent; another type: typeMismatch.
    template <class T> std::optional<T> optional(std::string_view key) const {
        simdjson::dom::element element;
        if (object_.at_key(key).get(element) != simdjson::SUCCESS || element.is_null()) return std::nullopt;
        const CodingPath path{&node_.path(), key, 0};
        const Node node(element, path);
        return decodeValue<T>(node);
    }

private:
    [[noreturn]] void missing(std::string_view key) const;
    const Node& node_;
    simdjson::dom::object object_;
};

// One member of a record: its key and where it goes. A member of type std::optional is optional (absent
// when missing or null); any other is required.
template <class Record, class Member> struct Field {
    using Value = Member;
    std::string_view key;
    Member Record::*member;
    void store(Record& record, Value value) const { record.*member = std::move(value); }
};
template <class Record, class Member>
constexpr Field<Record, Member> field(std::string_view key, Member Record::*member) {
    return {key, member};
}

// A member the record keeps in a form of its own: decoded as the setter's parameter, then handed to it.
// A parameter of type std::optional is optional as above.
template <class Record, class Parameter> struct SetterField {
    using Value = Parameter;
    std::string_view key;
    void (Record::*set)(Parameter);
    void store(Record& record, Value value) const { (record.*set)(std::move(value)); }
};
template <class Record, class Parameter>
constexpr SetterField<Record, Parameter> field(std::string_view key, void (Record::*set)(Parameter)) {
    return {key, set};
}

// A member a record requires, of kind Value, but does not keep: decoded for its faults alone.
template <class Record, class Parameter> struct CheckedField {
    using Value = Parameter;
    std::string_view key;
    void store(Record&, Value) const {}
};
template <class Record, class Value> constexpr CheckedField<Record, Value> checkedField(std::string_view key) {
    return {key};
}

template <class FieldType> using FieldValue = typename std::remove_cvref_t<FieldType>::Value;

// A record from its fields: through Node in the fields' order, so that the first fault met in that order is
// the one reported.
template <class Record, class... Fields> Record decodeRecord(const Node& node, const std::tuple<Fields...>& fields) {
    const KeyedContainer container(node);
    Record record;
    std::apply(
        [&](const auto&... each) {
            const auto read = [&](const auto& one) {
                using Value = FieldValue<decltype(one)>;
                if constexpr (IsOptional<Value>::value)
                    one.store(record, container.optional<typename Value::value_type>(one.key));
                else
                    one.store(record, container.required<Value>(one.key));
            };
            (read(each), ...);
        },
        fields);
    return record;
}

// The same through a Cursor, in document order: the first member with a declared key is decoded, every
// other member is only read (a repeated key as well, as the declared-order path reads only the first). Deciding,
// a fault is kept while the members after it are read, and given way to by a fault in a member declared before
// it, or a required key declared before it and missing: what the declared order meets first.
template <class Record, class... Fields> Record decodeRecord(Cursor& node, const std::tuple<Fields...>& fields) {
    constexpr std::size_t count = sizeof...(Fields);
    Record record;
    std::array<bool, count> seen{};
    std::optional<DecodingError> fault;
    std::size_t faultAt = count;
    node.forEachMember([&](std::string_view key, Cursor& value) {
        std::size_t index = 0;
        bool used = false;
        const auto take = [&](const auto& one) {
            const std::size_t at = index++;
            if (used || seen[at] || key != one.key) return;
            used = seen[at] = true;
            if (at > faultAt) return; // never reached in declared order
            using Value = FieldValue<decltype(one)>;
            try {
                if constexpr (IsOptional<Value>::value) {
                    if (!value.isNull()) one.store(record, decodeValue<typename Value::value_type>(value));
                } else {
                    one.store(record, decodeValue<Value>(value));
                }
            } catch (const DecodingError& error) {
                fault = error;
                faultAt = at;
            }
        };
        std::apply([&](const auto&... each) { (take(each), ...); }, fields);
        if (!used) value.pass();
    });
    std::size_t index = 0;
    std::optional<std::string_view> missing;
    const auto check = [&](const auto& one) {
        const std::size_t at = index++;
        if (IsOptional<FieldValue<decltype(one)>>::value || seen[at] || at >= faultAt) return;
        missing = one.key;
        faultAt = at;
    };
    std::apply([&](const auto&... each) { (check(each), ...); }, fields);
    if (missing) node.missing(*missing);
    if (fault) throw *fault;
    return record;
}

} // namespace brindle::JSONCoding
