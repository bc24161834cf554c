#include "BrindleKit/JSONValue.h"

#include "BrindleKit/JSONDecoding.h"
#include "BrindleKit/Unicode.h"

#include <charconv>
#include <cmath>
#include <memory>

namespace brindle {

namespace {

using JSONCoding::DecodingError;
using JSONCoding::Node;
using Kind = DecodingError::Kind;

const char* kindName(simdjson::dom::element_type type) {
    switch (type) {
    case simdjson::dom::element_type::ARRAY: return "an array";
    case simdjson::dom::element_type::OBJECT: return "an object";
    case simdjson::dom::element_type::INT64:
    case simdjson::dom::element_type::UINT64:
    case simdjson::dom::element_type::DOUBLE: return "a number";
    case simdjson::dom::element_type::STRING: return "a string";
    case simdjson::dom::element_type::BOOL: return "a boolean";
    case simdjson::dom::element_type::NULL_VALUE: return "null";
    }
    return "a value";
}

std::string where(const std::string& path) { return path.empty() ? "the top level" : path; }

// Largest magnitude below which every integer is exact in a double.
constexpr double kExactIntegerLimit = 9007199254740992.0; // 2^53
// The parser refuses integer literals beyond 64 bits, so from 2^63 on a number is written with an exponent
// (the shortest form could otherwise be a long run of digits, such as 33333333333333331968).
constexpr double kIntegerLiteralLimit = 9223372036854775808.0; // 2^63

} // namespace

// ---- Decoding ----

namespace JSONCoding {

std::string CodingPath::render() const {
    if (!parent) return {};
    std::string prefix = parent->render();
    if (!key.empty()) return prefix.empty() ? std::string(key) : prefix + "." + std::string(key);
    return prefix + "[" + std::to_string(index) + "]";
}

void Node::fail(DecodingError::Kind kind, const std::string& description) const {
    throw DecodingError(kind, path_.render(), description);
}

void Node::mismatch(const char* expected) const {
    const std::string at = where(path_.render());
    if (isNull()) fail(Kind::valueNotFound, "expected " + std::string(expected) + " at " + at + " but found null");
    fail(Kind::typeMismatch,
         "expected " + std::string(expected) + " at " + at + " but found " + kindName(element_.type()));
}

std::string Node::string() const {
    std::string_view text;
    if (element_.get_string().get(text) != simdjson::SUCCESS) mismatch("a string");
    return std::string(text);
}

bool Node::boolean() const {
    bool value = false;
    if (element_.get_bool().get(value) != simdjson::SUCCESS) mismatch("a boolean");
    return value;
}

double Node::number() const {
    double value = 0;
    if (element_.get_double().get(value) != simdjson::SUCCESS) mismatch("a number");
    return value;
}

// Integers accept only whole numbers in the signed 64-bit range; 3.0 and 3e0 count as 3, 3.5 does not.
std::int64_t Node::integer() const {
    std::int64_t value = 0;
    if (element_.get_int64().get(value) == simdjson::SUCCESS) return value;
    double number = 0;
    if (element_.get_double().get(number) == simdjson::SUCCESS && std::trunc(number) == number &&
        number >= -9223372036854775808.0 && number < 9223372036854775808.0)
        return static_cast<std::int64_t>(number);
    mismatch("an integer in the signed 64-bit range");
}

KeyedContainer::KeyedContainer(const Node& node) : node_(node) {
    if (node.element().get_object().get(object_) != simdjson::SUCCESS) node.mismatch("an object");
}

void KeyedContainer::missing(std::string_view key) const {
    node_.fail(Kind::keyNotFound,
               "required key \"" + std::string(key) + "\" not found at " + where(node_.path().render()));
}

namespace {

std::string parseFailure(simdjson::error_code error) {
    if (error == simdjson::DEPTH_ERROR)
        return "the data is nested more than " + std::to_string(kMaxDepth) + " levels deep";
    if (error == simdjson::EMPTY) return "the data is empty, not JSON";
    return std::string("the data is not valid JSON (") + simdjson::error_message(error) + ")";
}

// A parser keeps its buffers between documents, which is what makes it fast; each thread gets one. One
// that grew past 64 KiB is let go as soon as its document has been used: kept until the connection's next
// request, it held up to twelve times the body (12 MiB after a 1 MiB request) for as long as the client
// stayed connected, while on a thread of its own a connection seldom sends a second large body to reuse it for.
constexpr std::size_t kKeptParserCapacity = 64u << 10;

std::unique_ptr<simdjson::dom::parser>& threadParser() {
    thread_local std::unique_ptr<simdjson::dom::parser> parser;
    // No constructor argument: it would cap the document size, not the depth; allocate() sets the depth.
    if (!parser) parser = std::make_unique<simdjson::dom::parser>();
    return parser;
}

class LargeParserRelease {
public:
    explicit LargeParserRelease(std::unique_ptr<simdjson::dom::parser>& parser) : parser_(parser) {}
    ~LargeParserRelease() {
        if (parser_->capacity() > kKeptParserCapacity) parser_.reset();
    }
    LargeParserRelease(const LargeParserRelease&) = delete;
    LargeParserRelease& operator=(const LargeParserRelease&) = delete;

private:
    std::unique_ptr<simdjson::dom::parser>& parser_;
};

} // namespace

static_assert(Decoder::kParserPadding >= simdjson::SIMDJSON_PADDING);

void Decoder::parseThen(std::string_view json, bool padded, const std::function<void(const Node&)>& use) const {
    std::unique_ptr<simdjson::dom::parser>& owner = threadParser();
    const LargeParserRelease release(owner);
    simdjson::dom::parser& parser = *owner;
    if (json.size() > parser.capacity() && parser.allocate(json.size(), kMaxDepth) != simdjson::SUCCESS)
        throw DecodingError(Kind::dataCorrupted, "", "the data is too large to decode");
    simdjson::dom::element root;
    // Unpadded input is copied into a padded buffer of the parser's first: for a large body, a copy of
    // every byte into freshly mapped pages.
    const simdjson::error_code error = parser.parse(json.data(), json.size(), !padded).get(root);
    if (error != simdjson::SUCCESS) throw DecodingError(Kind::dataCorrupted, "", parseFailure(error));
    const CodingPath path;
    use(Node(root, path));
}

const Decoder& decoder() {
    static const Decoder instance;
    return instance;
}

const Encoder& encoder() {
    static const Encoder instance;
    return instance;
}

} // namespace JSONCoding

namespace {

// Any number the parser accepted is finite; the attempt order makes 1 a number and true a bool.
JSONValue decodeAny(const Node& node) {
    using simdjson::dom::element_type;
    switch (node.element().type()) {
    case element_type::NULL_VALUE: return JSONValue(nullptr);
    case element_type::BOOL: return JSONValue(node.boolean());
    case element_type::INT64:
    case element_type::UINT64:
    case element_type::DOUBLE: {
        const double number = node.number();
        if (!std::isfinite(number)) node.fail(Kind::dataCorrupted, "Unsupported JSON value");
        return JSONValue(number);
    }
    case element_type::STRING: return JSONValue(node.string());
    case element_type::ARRAY: {
        JSONValue::Array array;
        JSONCoding::forEachElement(node, [&array](const Node& element) { array.push_back(decodeAny(element)); });
        return JSONValue(std::move(array));
    }
    case element_type::OBJECT: {
        JSONValue::Object object;
        simdjson::dom::object members = node.element().get_object().value_unsafe();
        for (auto member : members) {
            const JSONCoding::CodingPath path{&node.path(), member.key, 0};
            object.insert_or_assign(std::string(member.key), decodeAny(Node(member.value, path)));
        }
        return JSONValue(std::move(object));
    }
    }
    node.fail(Kind::dataCorrupted, "Unsupported JSON value");
}

} // namespace

// A value that fits no case fails as a whole, at its own position.
JSONValue JSONValue::decode(const JSONCoding::Node& node) {
    try {
        return decodeAny(node);
    } catch (const DecodingError&) {
        node.fail(Kind::dataCorrupted, "Unsupported JSON value at " + where(node.path().render()));
    }
}

// ---- Equality ----

bool operator==(const JSONValue& left, const JSONValue& right) {
    if (left.storage.index() != right.storage.index()) return false;
    if (const auto* text = left.stringValue()) return Unicode::canonicallyEqual(*text, *right.stringValue());
    if (const auto* object = left.objectValue()) {
        const JSONValue::Object& other = *right.objectValue();
        if (object->size() != other.size()) return false;
        for (const auto& [key, value] : *object) {
            const auto found = other.find(key);
            if (found == other.end() || !(value == found->second)) return false;
        }
        return true;
    }
    return left.storage == right.storage; // bool, double (NaN never equal, 0 == -0), arrays, null
}

// ---- Encoding ----

void JSONValue::encode(JSONWriter& writer) const {
    std::visit(
        [&writer](const auto& payload) {
            using T = std::decay_t<decltype(payload)>;
            if constexpr (std::is_same_v<T, bool>) writer.boolean(payload);
            else if constexpr (std::is_same_v<T, double>) writer.number(payload);
            else if constexpr (std::is_same_v<T, std::string>) writer.string(payload);
            else if constexpr (std::is_same_v<T, Array>) writer.value(payload);
            else if constexpr (std::is_same_v<T, Object>) {
                writer.beginObject();
                for (const auto& [key, value] : payload) writer.field(key, value);
                writer.endObject();
            } else writer.null();
        },
        storage);
}

void JSONWriter::key(std::string_view name) {
    string(name);
    out_ += ':';
}

namespace {

void appendEscaped(std::string& out, std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::size_t plainStart = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c != '"' && c != '\\') continue;
        out.append(text, plainStart, i - plainStart);
        plainStart = i + 1;
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        default: out += "\\u00"; out += kHex[c >> 4]; out += kHex[c & 0xF];
        }
    }
    out.append(text, plainStart, text.size() - plainStart);
}

} // namespace

void JSONWriter::string(std::string_view text) {
    separate();
    out_ += '"';
    if (Unicode::isValidUTF8(text)) appendEscaped(out_, text);
    else appendEscaped(out_, Unicode::repairedUTF8(text));
    out_ += '"';
}

void JSONWriter::integer(std::int64_t number) {
    separate();
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, number).ptr;
    out_.append(digits, end);
}

void JSONWriter::boolean(bool value) {
    separate();
    out_ += value ? "true" : "false";
}

// Whole numbers within the exact range of a double are written as integers (3, not 3.0); others in the
// shortest form that reads back to the same double.
void JSONWriter::number(double value) {
    if (!std::isfinite(value)) throw JSONCoding::EncodingError("a number that is not finite cannot be written");
    if (std::trunc(value) == value && std::fabs(value) < kExactIntegerLimit) {
        integer(static_cast<std::int64_t>(value));
        return;
    }
    separate();
    char digits[32];
    const auto end = std::fabs(value) < kIntegerLiteralLimit
                         ? std::to_chars(digits, digits + sizeof digits, value).ptr
                         : std::to_chars(digits, digits + sizeof digits, value, std::chars_format::scientific).ptr;
    out_.append(digits, end);
}

void JSONWriter::null() {
    separate();
    out_ += "null";
}

} // namespace brindle
