#pragma once
// Decoding helpers for the units that decode records. Kept out of JSONValue.h so that only the few
// translation units that decode pay for the parser's header.

#include "BrindleBase/JSONValue.h"

#include <simdjson.h>

namespace brindle::JSONCoding {

// Where a value sits in the document: a chain of keys and indexes, rendered only when a fault is reported.
struct CodingPath {
    const CodingPath* parent = nullptr;
    std::string_view key;    // set for a member
    std::size_t index = 0;   // used when key is empty and parent is set
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

    // Each throws DecodingError: valueNotFound for null, typeMismatch for another kind; a number beyond a
    // double's range is dataCorrupted, "Unsupported JSON value".
    std::string string() const;
    bool boolean() const;
    double number() const;
    std::int64_t integer() const;

    [[noreturn]] void fail(DecodingError::Kind kind, const std::string& description) const;
    [[noreturn]] void mismatch(const char* expected) const;

private:
    // Throws dataCorrupted, "Unsupported JSON value", for a number that a finite double cannot hold.
    void refuseOutOfRange() const;

    simdjson::dom::element element_;
    const CodingPath& path_;
};

template <class T> T decodeValue(const Node& node);

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

// A record's members, read one declared key at a time.
class KeyedContainer {
public:
    explicit KeyedContainer(const Node& node); // throws typeMismatch when not an object

    // Missing key: keyNotFound; null: valueNotFound; another type: typeMismatch.
    template <class T> T required(std::string_view key) const {
        simdjson::dom::element element;
        if (object_.at_key(key).get(element) != simdjson::SUCCESS) missing(key);
        const CodingPath path{&node_.path(), key, 0};
        return decodeValue<T>(Node(element, path));
    }
    // Missing key or null: absent; another type: typeMismatch.
    template <class T> std::optional<T> optional(std::string_view key) const {
        simdjson::dom::element element;
        if (object_.at_key(key).get(element) != simdjson::SUCCESS || element.is_null()) return std::nullopt;
        const CodingPath path{&node_.path(), key, 0};
        return decodeValue<T>(Node(element, path));
    }

private:
    [[noreturn]] void missing(std::string_view key) const;
    const Node& node_;
    simdjson::dom::object object_;
};

template <class T> struct IsVector : std::false_type {};
template <class T> struct IsVector<std::vector<T>> : std::true_type {};

template <class T> T decodeValue(const Node& node) {
    if constexpr (std::is_same_v<T, std::string>) {
        return node.string();
    } else if constexpr (std::is_same_v<T, bool>) {
        return node.boolean();
    } else if constexpr (std::is_same_v<T, std::int64_t>) {
        return node.integer();
    } else if constexpr (std::is_same_v<T, double>) {
        return node.number();
    } else if constexpr (IsVector<T>::value) {
        T list;
        forEachElement(node, [&list](const Node& element) {
            list.push_back(decodeValue<typename T::value_type>(element));
        });
        return list;
    } else {
        return T::decode(node);
    }
}

} // namespace brindle::JSONCoding
