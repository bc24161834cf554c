#include "BrindleModel/LanguageModel.h"

#include <algorithm>
#include <array>
#include <set>

namespace brindle::model {

// ---- Schemas ----

DynamicGenerationSchema::DynamicGenerationSchema(ValueType type) {
    switch (type) {
    case ValueType::string: kind_ = Kind::string; break;
    case ValueType::integer: kind_ = Kind::integer; break;
    case ValueType::number: kind_ = Kind::number; break;
    case ValueType::boolean: kind_ = Kind::boolean; break;
    }
}

DynamicGenerationSchema::DynamicGenerationSchema(std::string name, std::optional<std::string> description,
                                                 std::vector<Property> properties)
    : kind_(Kind::object), name_(std::move(name)), description_(std::move(description)),
      properties_(std::move(properties)) {}

DynamicGenerationSchema::DynamicGenerationSchema(std::string name, std::optional<std::string> description,
                                                 StringList anyOf)
    : kind_(Kind::anyOf), name_(std::move(name)), description_(std::move(description)), choices_(std::move(anyOf)) {}

DynamicGenerationSchema DynamicGenerationSchema::arrayOf(DynamicGenerationSchema item,
                                                         std::optional<std::int64_t> minimumElements,
                                                         std::optional<std::int64_t> maximumElements) {
    DynamicGenerationSchema schema;
    schema.kind_ = Kind::array;
    schema.item_ = shared(std::move(item));
    schema.minimumElements_ = minimumElements;
    schema.maximumElements_ = maximumElements;
    return schema;
}

std::shared_ptr<const DynamicGenerationSchema> DynamicGenerationSchema::shared(DynamicGenerationSchema schema) {
    static const std::array<std::shared_ptr<const DynamicGenerationSchema>, 4> plain{
        std::make_shared<const DynamicGenerationSchema>(ValueType::string),
        std::make_shared<const DynamicGenerationSchema>(ValueType::integer),
        std::make_shared<const DynamicGenerationSchema>(ValueType::number),
        std::make_shared<const DynamicGenerationSchema>(ValueType::boolean)};
    switch (schema.kind_) {
    case Kind::string: return plain[0];
    case Kind::integer: return plain[1];
    case Kind::number: return plain[2];
    case Kind::boolean: return plain[3];
    case Kind::object:
    case Kind::anyOf:
    case Kind::array: break;
    }
    return std::make_shared<const DynamicGenerationSchema>(std::move(schema));
}

namespace {

using Property = DynamicGenerationSchema::Property;

// The first property whose name an earlier one has. The translation gives properties in order of their names, where
// a repeat is next to its twin: a set of every name cost more than the properties themselves.
const Property* repeatedProperty(const std::vector<Property>& properties) {
    const auto byName = [](const Property& left, const Property& right) { return left.name < right.name; };
    if (std::is_sorted(properties.begin(), properties.end(), byName)) {
        const auto twin =
            std::adjacent_find(properties.begin(), properties.end(),
                               [](const Property& left, const Property& right) { return left.name == right.name; });
        return twin == properties.end() ? nullptr : &*std::next(twin);
    }
    std::set<std::string_view> names;
    for (const auto& property : properties)
        if (!names.insert(property.name).second) return &property;
    return nullptr;
}

// Named schemas become types the model refers to by name, so a name may stand for one type only.
void checkNames(const DynamicGenerationSchema& schema, const std::string& rootName,
                std::set<std::string_view>& typeNames) {
    using Kind = DynamicGenerationSchema::Kind;
    if (schema.kind() == Kind::object || schema.kind() == Kind::anyOf) {
        if (!typeNames.insert(schema.name()).second)
            throw GenerationSchema::SchemaError("The schema \"" + rootName + "\" defines the type \"" + schema.name() +
                                                "\" more than once.");
    }
    if (schema.kind() == Kind::object) {
        const Property* repeated = repeatedProperty(schema.properties());
        for (const auto& property : schema.properties()) {
            if (&property == repeated)
                throw GenerationSchema::SchemaError("The type \"" + schema.name() + "\" has the property \"" +
                                                    property.name + "\" more than once.");
            checkNames(*property.schema, rootName, typeNames);
        }
    }
    if (schema.kind() == Kind::array) checkNames(*schema.item(), rootName, typeNames);
}

} // namespace

GenerationSchema::GenerationSchema(DynamicGenerationSchema root, std::vector<DynamicGenerationSchema> dependencies) {
    std::set<std::string_view> typeNames;
    const std::string rootName = root.name();
    checkNames(root, rootName, typeNames);
    for (const auto& dependency : dependencies) checkNames(dependency, rootName, typeNames);
    root_ = DynamicGenerationSchema::shared(std::move(root));
}

// ---- Generated content ----

// Strict JSON, or nothing: the caller wraps text that is not JSON as a plain string.
GeneratedContent GeneratedContent::fromJSON(std::string_view json) {
    try {
        return GeneratedContent(JSONCoding::decoder().decode<JSONValue>(json));
    } catch (const JSONCoding::DecodingError& error) {
        throw InvalidJSON(error.what());
    }
}

GeneratedContent GeneratedContent::fromPlatformJSON(std::string_view json) {
    GeneratedContent content = fromJSON(json);
    content.platformText_ = std::string(json);
    return content;
}

std::string GeneratedContent::jsonString() const {
    return platformText_ ? *platformText_ : JSONCoding::encodeString(value_);
}

// ---- Errors ----

namespace {
std::string describeUnderlying(const std::exception_ptr& error) {
    try {
        if (error) std::rethrow_exception(error);
    } catch (const std::exception& underlying) {
        return underlying.what();
    } catch (...) {
    }
    return "unknown error";
}
} // namespace

ToolCallError::ToolCallError(std::string toolName, std::exception_ptr underlyingError)
    : std::runtime_error("ToolCallError(tool: " + toolName +
                         ", underlyingError: " + describeUnderlying(underlyingError) + ")"),
      toolName(std::move(toolName)), underlyingError(std::move(underlyingError)) {}

} // namespace brindle::model
