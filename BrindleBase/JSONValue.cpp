#include "BrindleBase/JSONValue.h"

#include "BrindleBase/JSONDecoding.h"
#include "BrindleBase/Unicode.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <memory>
#include <optional>
#include <string_view>

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

std::string where(const std::string& path) {
    return path.empty() ? "the top level" : path;
}

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

void throwMismatch(const CodingPath& path, const char* expected, const char* found) {
    const std::string at = where(path.render());
    if (std::string_view(found) == "null")
        throw DecodingError(Kind::valueNotFound, path.render(),
                            "expected " + std::string(expected) + " at " + at + " but found null");
    throw DecodingError(Kind::typeMismatch, path.render(),
                        "expected " + std::string(expected) + " at " + at + " but found " + found);
}

void throwMissing(const CodingPath& path, std::string_view key) {
    throw DecodingError(Kind::keyNotFound, path.render(),
                        "required key \"" + std::string(key) + "\" not found at " + where(path.render()));
}

void throwUnsupported(const CodingPath& path) {
    throw DecodingError(Kind::dataCorrupted, path.render(), "Unsupported JSON value at " + where(path.render()));
}

void Node::fail(DecodingError::Kind kind, const std::string& description) const {
    throw DecodingError(kind, path_.render(), description);
}

void Node::mismatch(const char* expected) const {
    throwMismatch(path_, expected, kindName(element_.type()));
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

void Node::refuseOutOfRange() const {
    if (element_.type() != simdjson::dom::element_type::UINT64) return;
    const CodingPath* root = &path_;
    while (root->parent) root = root->parent;
    if (root->holdsOutOfRangePlaceholders) throwUnsupported(path_);
}

namespace {

bool holdsOutOfRange(simdjson::dom::element element) {
    using simdjson::dom::element_type;
    switch (element.type()) {
    case element_type::UINT64: return true;
    case element_type::ARRAY: {
        const simdjson::dom::array array = element.get_array().value_unsafe();
        return std::any_of(array.begin(), array.end(), holdsOutOfRange);
    }
    case element_type::OBJECT: {
        const simdjson::dom::object object = element.get_object().value_unsafe();
        return std::any_of(object.begin(), object.end(),
                           [](const auto& member) { return holdsOutOfRange(member.value); });
    }
    default: return false;
    }
}

} // namespace

void Node::refuseOutOfRangeWithin() const {
    const CodingPath* root = &path_;
    while (root->parent) root = root->parent;
    if (root->holdsOutOfRangePlaceholders && holdsOutOfRange(element_)) throwUnsupported(path_);
}

double Node::number() const {
    refuseOutOfRange();
    double value = 0;
    if (element_.get_double().get(value) != simdjson::SUCCESS) mismatch("a number");
    return value;
}

// Integers accept only whole numbers in the signed 64-bit range; 3.0 and 3e0 count as 3, 3.5 does not.
std::int64_t Node::integer() const {
    refuseOutOfRange();
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
    throwMissing(node_.path(), key);
}

namespace {

const char* kindName(simdjson::ondemand::json_type type) {
    using simdjson::ondemand::json_type;
    switch (type) {
    case json_type::array: return "an array";
    case json_type::object: return "an object";
    case json_type::number: return "a number";
    case json_type::string: return "a string";
    case json_type::boolean: return "a boolean";
    case json_type::null: return "null";
    }
    return "a value";
}

// A JSON number: -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?. When it is one, whether it is an integer
// literal and whether its magnitude is at least 1 (the leading significant digit's power of ten, with the
// exponent capped far beyond any double's, is not negative).
struct NumberShape {
    bool valid = false, integer = true, atLeastOne = false;
};

NumberShape shapeOf(std::string_view token) {
    NumberShape shape;
    std::size_t i = token.starts_with('-') ? 1 : 0;
    const auto digitsFrom = [&token](std::size_t at) {
        std::size_t end = at;
        while (end < token.size() && token[end] >= '0' && token[end] <= '9') ++end;
        return end - at;
    };
    const std::size_t integerDigits = digitsFrom(i);
    if (integerDigits == 0 || (integerDigits > 1 && token[i] == '0')) return shape;
    const std::size_t integerStart = i;
    i += integerDigits;
    std::size_t fractionDigits = 0;
    if (i < token.size() && token[i] == '.') {
        shape.integer = false;
        fractionDigits = digitsFrom(i + 1);
        if (fractionDigits == 0) return shape;
        i += 1 + fractionDigits;
    }
    long exponent = 0;
    if (i < token.size() && (token[i] == 'e' || token[i] == 'E')) {
        shape.integer = false;
        const bool negative = i + 1 < token.size() && token[i + 1] == '-';
        i += 1 + (i + 1 < token.size() && (token[i + 1] == '-' || token[i + 1] == '+'));
        const std::size_t exponentDigits = digitsFrom(i);
        if (exponentDigits == 0) return shape;
        for (std::size_t d = i; d < i + exponentDigits; ++d)
            exponent = std::min(exponent * 10 + (token[d] - '0'), 100'000L);
        if (negative) exponent = -exponent;
        i += exponentDigits;
    }
    if (i != token.size()) return shape;
    shape.valid = true;
    // The power of ten of the first non-zero digit.
    long power = static_cast<long>(integerDigits) - 1;
    const std::size_t fractionStart = integerStart + integerDigits + 1;
    for (std::size_t n = 0; n < integerDigits + fractionDigits; ++n, --power) {
        const char digit = n < integerDigits ? token[integerStart + n] : token[fractionStart + n - integerDigits];
        if (digit == '0') continue;
        shape.atLeastOne = power + exponent >= 0;
        break;
    }
    return shape;
}

// How the copy of a document made for the parser (withNumbersRespelled) holds a number token.
enum class Respelling { asWritten, asDouble, beyondRange };

Respelling respellingOf(std::string_view token, double& value) {
    const NumberShape shape = shapeOf(token);
    std::int64_t whole = 0;
    if (!shape.valid ||
        (shape.integer && std::from_chars(token.data(), token.data() + token.size(), whole).ec == std::errc()))
        return Respelling::asWritten;
    if (std::from_chars(token.data(), token.data() + token.size(), value).ec == std::errc())
        return Respelling::asDouble;
    // Nearer zero than any double, it is kept: the parser reads it as zero or the nearest subnormal.
    return shape.atLeastOne ? Respelling::beyondRange : Respelling::asWritten;
}

bool beyondDoubleRange(std::string_view token) {
    double value = 0;
    return respellingOf(token, value) == Respelling::beyondRange;
}

// A scalar's token as the parser gives it runs on to the next structural character.
std::string_view withoutTrailingSpace(std::string_view token) {
    while (!token.empty() &&
           (token.back() == ' ' || token.back() == '\n' || token.back() == '\r' || token.back() == '\t'))
        token.remove_suffix(1);
    return token;
}

} // namespace

simdjson::ondemand::json_type Cursor::type() {
    simdjson::ondemand::json_type kind;
    if (value_.type().get(kind) != simdjson::SUCCESS) throw Undecided{};
    return kind;
}

bool Cursor::isNull() {
    bool null = false;
    if (value_.is_null().get(null) != simdjson::SUCCESS) throw Undecided{};
    return null;
}

bool Cursor::isString() {
    return type() == simdjson::ondemand::json_type::string;
}

std::string_view Cursor::stringView() {
    std::string_view text;
    if (value_.get_string().get(text) != simdjson::SUCCESS) mismatch("a string");
    return text;
}

// A string without escapes is copied straight from the document: unescaping it first wrote every byte once
// more, into pages of the parser's own that a large body had to fault in.
std::string Cursor::string() {
    const std::string_view token = withoutTrailingSpace(value_.raw_json_token());
    if (token.size() >= 2 && token.front() == '"' && token.find('"', 1) == token.size() - 1 &&
        token.find('\\') == std::string_view::npos) {
        simdjson::ondemand::raw_json_string raw;
        if (value_.get_raw_json_string().get(raw) != simdjson::SUCCESS) throw Undecided{};
        return std::string(token.substr(1, token.size() - 2));
    }
    return std::string(stringView());
}

bool Cursor::boolean() {
    bool value = false;
    if (value_.get_bool().get(value) != simdjson::SUCCESS) mismatch("a boolean");
    return value;
}

// The parser's get_number misreads decimals of 19 digits or more as zero, and get_double those of 21 digits
// or more (0.123456789012345678901 as 0.0128): numbers of more than 19 digits are read as the whole-document
// parser reads them, rounded correctly, which is what from_chars does; the quick pass leaves them to that parser.
double Cursor::number() {
    if (type() != simdjson::ondemand::json_type::number) mismatch("a number");
    const std::string_view token = withoutTrailingSpace(value_.raw_json_token());
    const std::string_view digits = token.substr(0, token.find_first_of("eE"));
    double value = 0;
    if (std::count_if(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }) > 19) {
        if (mode_ == Mode::deciding &&
            std::from_chars(token.data(), token.data() + token.size(), value).ec == std::errc())
            return value;
    } else if (value_.get_double().get(value) == simdjson::SUCCESS && std::isfinite(value)) {
        return value;
    }
    if (mode_ == Mode::deciding && beyondDoubleRange(token)) throwUnsupported(*path_);
    throw Undecided{};
}

std::int64_t Cursor::integer() {
    constexpr const char* kExpected = "an integer in the signed 64-bit range";
    if (type() != simdjson::ondemand::json_type::number) mismatch(kExpected);
    const std::string_view token = value_.raw_json_token();
    const bool literal = token.find_first_of(".eE") == std::string_view::npos;
    std::int64_t value = 0;
    if (literal && value_.get_int64().get(value) == simdjson::SUCCESS) return value;
    // A literal beyond 64 bits is read as the whole-document parser reads it once respelled: as a double.
    if (literal && mode_ == Mode::quick) throw Undecided{};
    const double number = this->number();
    if (std::trunc(number) == number && number >= -9223372036854775808.0 && number < 9223372036854775808.0)
        return static_cast<std::int64_t>(number);
    mismatch(kExpected);
}

void Cursor::skip() {
    using simdjson::ondemand::json_type;
    switch (type()) {
    case json_type::object: return forEachMember([](std::string_view, Cursor& member) { member.skip(); });
    case json_type::array: return forEachElement([](Cursor& element) { element.skip(); });
    case json_type::number:
        if (mode_ == Mode::quick) {
            number();
        } else if (beyondDoubleRange(withoutTrailingSpace(value_.raw_json_token()))) {
            throw BeyondRange{};
        }
        return;
    case json_type::string:
        if (mode_ == Mode::quick) stringView();
        return;
    case json_type::boolean:
        if (mode_ == Mode::quick) boolean();
        return;
    case json_type::null:
        if (mode_ == Mode::quick && !isNull()) throw Undecided{};
        return;
    }
    throw Undecided{};
}

std::size_t Cursor::elementCount() {
    std::size_t count = 0;
    if (value_.count_elements().get(count) != simdjson::SUCCESS) throw Undecided{};
    return count;
}

std::size_t Cursor::memberCount() {
    std::size_t count = 0;
    if (value_.count_fields().get(count) != simdjson::SUCCESS) throw Undecided{};
    return count;
}

void Cursor::mismatch(const char* expected) {
    if (mode_ == Mode::quick) throw Undecided{};
    throwMismatch(*path_, expected, kindName(type()));
}

void Cursor::missing(std::string_view key) const {
    if (mode_ == Mode::quick) throw Undecided{};
    throwMissing(*path_, key);
}

// A key without escapes is read straight from the document, where it ends at the first quotation mark before its
// value: unescaped, every key was written once more, into pages of the parser's own.
std::string_view Cursor::keyOf(simdjson::ondemand::field& field) {
    const char* start = field.key().raw();
    const std::string_view before(start, static_cast<std::size_t>(field.value().raw_json_token().data() - start));
    const std::size_t end = before.find('"');
    if (end != std::string_view::npos && before.substr(0, end).find('\\') == std::string_view::npos)
        return before.substr(0, end);
    std::string_view key;
    if (field.unescaped_key().get(key) != simdjson::SUCCESS) throw Undecided{};
    return key;
}

// Nesting close to the limit is left to the parser's own count in the quick pass; a document read deciding is
// known to be within it.
std::size_t Cursor::nestedDepth() const {
    if (mode_ == Mode::quick && depth_ + 8 >= kMaxDepth) throw Undecided{};
    return depth_ + 1;
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

template <class Parser> std::unique_ptr<Parser>& keptParser() {
    thread_local std::unique_ptr<Parser> parser;
    return parser;
}

template <class Parser> std::unique_ptr<Parser>& threadParser() {
    std::unique_ptr<Parser>& parser = keptParser<Parser>();
    // No constructor argument: it would cap the document size, not the depth; allocate() sets the depth.
    if (!parser) parser = std::make_unique<Parser>();
    return parser;
}

template <class Parser> class LargeParserRelease {
public:
    explicit LargeParserRelease(std::unique_ptr<Parser>& parser) : parser_(parser) {}
    ~LargeParserRelease() {
        if (parser_->capacity() > kKeptParserCapacity) parser_.reset();
    }
    LargeParserRelease(const LargeParserRelease&) = delete;
    LargeParserRelease& operator=(const LargeParserRelease&) = delete;

private:
    std::unique_ptr<Parser>& parser_;
};

// What simdjson reads back as the same double: the shortest such spelling with an exponent, so that it is
// never an integer literal too long for 64 bits.
void appendSpelling(std::string& out, double value) {
    char digits[32];
    out.append(digits, std::to_chars(digits, digits + sizeof digits, value, std::chars_format::scientific).ptr);
}

// The parser refuses integer literals beyond 64 bits, and numbers beyond a double's range, with one error
// for the whole document. This copy of the document spells every number a double holds the way the parser
// reads back the same double, and replaces every number beyond a double's range by a placeholder, the
// integer 2^64 - 1: no other number of the copy is an unsigned 64-bit integer, so decoding tells them by their
// type and fails at their own position. Nothing when no number needed either.
std::optional<std::string> withNumbersRespelled(std::string_view json) {
    std::string copy;
    copy.reserve(json.size() + json.size() / 8 + Decoder::kParserPadding);
    bool changed = false;
    for (std::size_t i = 0; i < json.size();) {
        const char c = json[i];
        if (c == '"') {
            std::size_t end = i + 1;
            while (end < json.size() && json[end] != '"') end += json[end] == '\\' ? 2 : 1;
            end = std::min(end + 1, json.size());
            copy.append(json, i, end - i);
            i = end;
            continue;
        }
        if (c != '-' && (c < '0' || c > '9')) {
            const std::size_t next = std::min(json.find_first_of("\"-0123456789", i), json.size());
            copy.append(json, i, next - i);
            i = next;
            continue;
        }
        std::size_t end = i;
        const std::string_view numberCharacters = "0123456789+-.eE";
        while (end < json.size() && numberCharacters.find(json[end]) != std::string_view::npos) ++end;
        const std::string_view token = json.substr(i, end - i);
        i = end;
        double value = 0;
        switch (respellingOf(token, value)) {
        case Respelling::asWritten: copy += token; break;
        case Respelling::asDouble:
            appendSpelling(copy, value);
            changed = true;
            break;
        case Respelling::beyondRange:
            copy += "18446744073709551615";
            changed = true;
            break;
        }
    }
    if (!changed) return std::nullopt;
    return copy;
}

} // namespace

static_assert(Decoder::kParserPadding >= simdjson::SIMDJSON_PADDING);

void Decoder::parseThen(std::string_view json, bool padded, const std::function<void(const Node&)>& use) const {
    std::unique_ptr<simdjson::dom::parser>& owner = threadParser<simdjson::dom::parser>();
    const LargeParserRelease release(owner);
    simdjson::dom::parser& parser = *owner;
    if (json.size() > parser.capacity() && parser.allocate(json.size(), kMaxDepth) != simdjson::SUCCESS)
        throw DecodingError(Kind::dataCorrupted, "", "the data is too large to decode");
    simdjson::dom::element root;
    // Unpadded input is copied into a padded buffer of the parser's first: for a large body, a copy of
    // every byte into freshly mapped pages.
    simdjson::error_code error = parser.parse(json.data(), json.size(), !padded).get(root);
    CodingPath path;
    std::optional<std::string> respelled;
    if (error == simdjson::NUMBER_ERROR && (respelled = withNumbersRespelled(json))) {
        if (respelled->size() > parser.capacity() && parser.allocate(respelled->size(), kMaxDepth) != simdjson::SUCCESS)
            throw DecodingError(Kind::dataCorrupted, "", "the data is too large to decode");
        error = parser.parse(respelled->data(), respelled->size(), false).get(root);
        path.holdsOutOfRangePlaceholders = true;
    }
    if (error != simdjson::SUCCESS) throw DecodingError(Kind::dataCorrupted, "", parseFailure(error));
    use(Node(root, path));
}

namespace {
thread_local bool checkingOnly = false;
} // namespace

bool onlyChecking() {
    return checkingOnly;
}

void Decoder::findFirstFault(const std::function<void()>& decode) {
    struct Checking { // what it was before, should a decoding ever decode a document of its own
        bool before = std::exchange(checkingOnly, true);
        ~Checking() { checkingOnly = before; }
    } const checking;
    decode();
}

void Decoder::releaseThreadParsers() {
    keptParser<simdjson::dom::parser>().reset();
    keptParser<simdjson::ondemand::parser>().reset();
}

namespace {

constexpr std::string_view kSpace = " \t\n\r";

// The fault of an object's member that could not be read (whose key is not followed by a colon, or is no string): the
// full parser reads a key before the colon after it, so a key with a bad escape is the fault, else the structure.
simdjson::error_code memberFault(simdjson::ondemand::document& document, std::string_view json) {
    const char* at = nullptr;
    if (document.current_location().get(at) != simdjson::SUCCESS || at < json.data()) return simdjson::TAPE_ERROR;
    const std::string_view before = json.substr(0, static_cast<std::size_t>(at - json.data()));
    const std::size_t close = before.find_last_not_of(kSpace);
    if (close == std::string_view::npos || before[close] != '"') return simdjson::TAPE_ERROR;
    // The opening quote is the nearest one before that no backslash escapes: none can stand inside the key.
    const auto escaped = [&before](std::size_t quote) {
        const std::size_t run = quote - (before.find_last_not_of('\\', quote - 1) + 1);
        return run % 2 == 1;
    };
    std::size_t open = close;
    do {
        if (open == 0) return simdjson::TAPE_ERROR;
        open = before.rfind('"', open - 1);
    } while (open != std::string_view::npos && open > 0 && escaped(open));
    if (open == std::string_view::npos) return simdjson::TAPE_ERROR;
    // The key read alone, by the same parser.
    const simdjson::padded_string key(before.substr(open, close - open + 1));
    simdjson::ondemand::parser parser;
    simdjson::ondemand::document alone;
    std::string_view text;
    if (parser.iterate(key).get(alone) != simdjson::SUCCESS) return simdjson::TAPE_ERROR;
    const simdjson::error_code fault = alone.get_string().get(text);
    return fault == simdjson::STRING_ERROR ? fault : simdjson::TAPE_ERROR;
}

// The first fault of form in a value read whole, as the full parser reports it, numbers taken as it takes them once
// respelled (withNumbersRespelled); SUCCESS when there is none. The faults of the parser's first stage (an invalid
// UTF-8 sequence, a string left open, a control character in one) end the iteration before any reading. open: the
// arrays and objects around the value that hold something, which the parser counts against kMaxDepth.
simdjson::error_code formFault(simdjson::ondemand::value value, std::size_t open,
                               simdjson::ondemand::document& document, std::string_view json) {
    using simdjson::ondemand::json_type;
    json_type type;
    if (value.type().get(type) != simdjson::SUCCESS) return simdjson::TAPE_ERROR;
    // A scalar's token runs to the next structural character, and the document is padded past its end.
    const std::string_view token = value.raw_json_token();
    const auto separatorAt = [&token](std::size_t offset) {
        return simdjson::internal::structural_or_whitespace[static_cast<unsigned char>(token.data()[offset])] != 0;
    };
    const auto atom = [&](std::string_view word, simdjson::error_code fault) {
        return std::string_view(token.data(), word.size()) == word && separatorAt(word.size()) ? simdjson::SUCCESS
                                                                                               : fault;
    };
    // The parser counts the arrays and objects that hold something, and refuses the one that reaches kMaxDepth.
    const bool container = type == json_type::array || type == json_type::object;
    if (container && token.data()[token.size()] != (type == json_type::array ? ']' : '}') && open + 1 >= kMaxDepth)
        return simdjson::DEPTH_ERROR;
    switch (type) {
    case json_type::array: {
        simdjson::ondemand::array array;
        if (value.get_array().get(array) != simdjson::SUCCESS) return simdjson::TAPE_ERROR;
        for (auto element : array) {
            simdjson::ondemand::value item;
            if (element.get(item) != simdjson::SUCCESS) return simdjson::TAPE_ERROR;
            if (const simdjson::error_code fault = formFault(item, open + 1, document, json)) return fault;
        }
        return simdjson::SUCCESS;
    }
    case json_type::object: {
        simdjson::ondemand::object object;
        if (value.get_object().get(object) != simdjson::SUCCESS) return simdjson::TAPE_ERROR;
        for (auto member : object) {
            simdjson::ondemand::field field;
            std::string_view key;
            if (std::move(member).get(field) != simdjson::SUCCESS) return memberFault(document, json);
            if (const simdjson::error_code fault = field.unescaped_key().get(key)) return fault;
            if (const simdjson::error_code fault = formFault(field.value(), open + 1, document, json)) return fault;
        }
        return simdjson::SUCCESS;
    }
    case json_type::number: {
        const std::string_view number = withoutTrailingSpace(token);
        return shapeOf(number).valid && separatorAt(number.size()) ? simdjson::SUCCESS : simdjson::NUMBER_ERROR;
    }
    case json_type::string: {
        std::string_view text;
        return value.get_string().get(text);
    }
    case json_type::boolean:
        return token.front() == 't' ? atom("true", simdjson::T_ATOM_ERROR) : atom("false", simdjson::F_ATOM_ERROR);
    case json_type::null: return atom("null", simdjson::N_ATOM_ERROR);
    }
    return simdjson::TAPE_ERROR;
}

// The document's root as an array or object, and whether only whitespace follows it; a scalar at the top level is
// read differently by the parser, and such documents are small.
bool containerRoot(simdjson::ondemand::document& document, simdjson::ondemand::value& root) {
    simdjson::ondemand::json_type kind;
    return document.get_value().get(root) == simdjson::SUCCESS && root.type().get(kind) == simdjson::SUCCESS &&
           (kind == simdjson::ondemand::json_type::object || kind == simdjson::ondemand::json_type::array);
}

bool atEnd(simdjson::ondemand::document& document) {
    const char* rest = nullptr;
    return document.current_location().get(rest) != simdjson::SUCCESS;
}

} // namespace

bool Decoder::decidedQuickly(std::string_view json, bool padded, const std::function<void(Cursor&)>& use) const {
    std::string copy;
    if (!padded) {
        copy.reserve(json.size() + kParserPadding);
        copy.assign(json);
        json = copy;
    }
    std::unique_ptr<simdjson::ondemand::parser>& owner = threadParser<simdjson::ondemand::parser>();
    const LargeParserRelease release(owner);
    simdjson::ondemand::parser& parser = *owner;
    if (json.size() > parser.capacity() && parser.allocate(json.size()) != simdjson::SUCCESS) return false;
    // Each reading starts from a fresh iteration: one that ended in an error keeps it.
    simdjson::ondemand::document document;
    simdjson::ondemand::value root;
    const auto iterate = [&] {
        return parser.iterate(json.data(), json.size(), json.size() + kParserPadding).get(document) ==
                   simdjson::SUCCESS &&
               containerRoot(document, root);
    };
    const CodingPath path;
    const auto refuseTrailing = [&document] {
        if (!atEnd(document)) throw DecodingError(Kind::dataCorrupted, "", parseFailure(simdjson::TAPE_ERROR));
    };
    if (!iterate()) return false;
    try {
        Cursor cursor(root, 0, path, Cursor::Mode::quick);
        use(cursor);
        refuseTrailing();
        return true;
    } catch (const Undecided&) {
    }
    // Read once more for its first fault of form, which is what the full parser would report; then, deciding, for the
    // first fault in declared order, its lists let go; and when it has none, decoded whole. The full parser looks at
    // the document's last character first: an array or object left open is refused before anything in it.
    if (!iterate()) return false;
    const char opening = json[json.find_first_not_of(kSpace)]; // the root is an array or object
    if (json[json.find_last_not_of(kSpace)] != (opening == '{' ? '}' : ']'))
        throw DecodingError(Kind::dataCorrupted, "", parseFailure(simdjson::TAPE_ERROR));
    if (const simdjson::error_code fault = formFault(root, 0, document, json))
        throw DecodingError(Kind::dataCorrupted, "", parseFailure(fault));
    refuseTrailing();
    try {
        if (!iterate()) return false;
        Cursor checking(root, 0, path, Cursor::Mode::deciding);
        findFirstFault([&] { use(checking); }); // throws the fault it decides
        if (!iterate()) return false;
        Cursor cursor(root, 0, path, Cursor::Mode::deciding);
        use(cursor);
        return true;
    } catch (const Undecided&) {
    } catch (const BeyondRange&) {
    }
    return false;
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

// Decoded lists are never added to: the room a list gained by doubling as it was read is given back.
JSONValue withoutSpareRoom(JSONValue::Array array) {
    array.shrink_to_fit();
    return JSONValue(std::move(array));
}

// The attempt order makes 1 a number and true a bool.
JSONValue decodeAny(const Node& node) {
    using simdjson::dom::element_type;
    switch (node.element().type()) {
    case element_type::NULL_VALUE: return JSONValue(nullptr);
    case element_type::BOOL: return JSONValue(node.boolean());
    case element_type::INT64:
    case element_type::UINT64:
    case element_type::DOUBLE: return JSONValue(node.number());
    case element_type::STRING: return JSONValue(node.string());
    case element_type::ARRAY: {
        JSONValue::Array array;
        JSONCoding::forEachElement(node, [&array](const Node& element) { array.push_back(decodeAny(element)); });
        return withoutSpareRoom(std::move(array));
    }
    case element_type::OBJECT: {
        std::vector<JSONValue::Object::value_type> members;
        JSONCoding::forEachMember(node, [&members](std::string_view key, const Node& member) {
            members.emplace_back(std::string(key), decodeAny(member));
        });
        return JSONValue(JSONValue::Object(std::move(members)));
    }
    }
    node.fail(Kind::dataCorrupted, "Unsupported JSON value");
}

JSONValue decodeAny(JSONCoding::Cursor& node) {
    using simdjson::ondemand::json_type;
    switch (node.type()) {
    case json_type::null:
        if (!node.isNull()) throw JSONCoding::Undecided{};
        return JSONValue(nullptr);
    case json_type::boolean: return JSONValue(node.boolean());
    case json_type::number: return JSONValue(node.number());
    case json_type::string: return JSONValue(node.string());
    case json_type::array: {
        JSONValue::Array array;
        node.forEachElement([&array](JSONCoding::Cursor& element) { array.push_back(decodeAny(element)); });
        return withoutSpareRoom(std::move(array));
    }
    case json_type::object: {
        std::vector<JSONValue::Object::value_type> members;
        node.forEachMember([&members](std::string_view key, JSONCoding::Cursor& member) {
            members.emplace_back(std::string(key), decodeAny(member));
        });
        return JSONValue(JSONValue::Object(std::move(members)));
    }
    }
    throw JSONCoding::Undecided{};
}

} // namespace

// A value that fits no case fails as a whole, at its own position.
JSONValue JSONValue::decode(JSONCoding::Cursor& node) {
    try {
        return decodeAny(node);
    } catch (const DecodingError&) {
        JSONCoding::throwUnsupported(node.path());
    }
}
JSONValue JSONValue::decode(const JSONCoding::Node& node) {
    try {
        return decodeAny(node);
    } catch (const DecodingError&) {
        JSONCoding::throwUnsupported(node.path());
    }
}

// ---- Objects ----

namespace {
bool keyBefore(const JSONValue::Object::value_type& member, std::string_view key) {
    return member.first < key;
}
} // namespace

JSONValue::Object::Object(std::vector<value_type> members) : members_(std::move(members)) {
    keepLastOfEachKey(members_);
    members_.shrink_to_fit();
}

JSONValue::Object::const_iterator JSONValue::Object::find(std::string_view key) const {
    const auto found = std::lower_bound(members_.begin(), members_.end(), key, keyBefore);
    return found != members_.end() && found->first == key ? found : members_.end();
}

void JSONValue::Object::emplace(std::string key, JSONValue value) {
    const auto at = members_.empty() || members_.back().first < key
                        ? members_.end()
                        : std::lower_bound(members_.begin(), members_.end(), key, keyBefore);
    if (at == members_.end() || at->first != key) members_.emplace(at, std::move(key), std::move(value));
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
            if constexpr (std::is_same_v<T, bool>)
                writer.boolean(payload);
            else if constexpr (std::is_same_v<T, double>)
                writer.number(payload);
            else if constexpr (std::is_same_v<T, std::string>)
                writer.string(payload);
            else if constexpr (std::is_same_v<T, Array>)
                writer.value(payload);
            else if constexpr (std::is_same_v<T, Object>) {
                writer.beginObject();
                for (const auto& [key, value] : payload) writer.field(key, value);
                writer.endObject();
            } else
                writer.null();
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
        default:
            out += "\\u00";
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
        }
    }
    out.append(text, plainStart, text.size() - plainStart);
}

} // namespace

void JSONWriter::string(std::string_view text) {
    separate();
    out_ += '"';
    if (Unicode::isValidUTF8(text))
        appendEscaped(out_, text);
    else
        appendEscaped(out_, Unicode::repairedUTF8(text));
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
