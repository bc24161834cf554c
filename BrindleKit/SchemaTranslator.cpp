#include "BrindleKit/SchemaTranslator.h"

#include <algorithm>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

namespace brindle::SchemaTranslator {

namespace {

using model::DynamicGenerationSchema;
using ValueType = DynamicGenerationSchema::ValueType;

DynamicGenerationSchema plainString() {
    return DynamicGenerationSchema(ValueType::string);
}

// Properties reach the model in code-point order of their names, which is the byte order of UTF-8 and the order a
// schema keeps them in.
DynamicGenerationSchema objectSchema(JSONSchema::Members& members, const std::string& name,
                                     std::optional<std::string> description) {
    auto& kept = members.properties;
    // Each required name is searched for among the sorted properties: a list searched for each property made a schema
    // whose every property is required cost the square of its size, and a set of the names cost more than the names.
    std::vector<bool> required(kept.size());
    for (std::string_view requiredName : members.required) {
        const auto found =
            std::lower_bound(kept.begin(), kept.end(), requiredName,
                             [](const auto& property, std::string_view key) { return property.first < key; });
        if (found != kept.end() && found->first == requiredName) required[found - kept.begin()] = true;
    }
    std::vector<DynamicGenerationSchema::Property> properties;
    properties.reserve(kept.size());
    for (std::size_t index = 0; index < kept.size(); ++index) {
        auto& [propertyName, value] = kept[index];
        // An object or a set of choices keeps the description too, as its own.
        const bool sharesDescription =
            value.type == JSONSchema::Type::object || (value.members && !value.members->choices.empty());
        std::unique_ptr<const std::string> own;
        if (value.description)
            own = sharesDescription ? std::make_unique<const std::string>(*value.description)
                                    : std::move(value.description);
        auto schema = DynamicGenerationSchema::shared(dynamicSchema(std::move(value), propertyName, std::nullopt));
        properties.push_back({std::move(propertyName), std::move(own), std::move(schema), !required[index]});
    }
    return DynamicGenerationSchema(name, std::move(description), std::move(properties));
}

} // namespace

// Recursion follows the nesting of the schema value. Schemas arrive in request bodies, whose nesting the
// JSON decoder already bounds (JSONCoding::kMaxDepth), so plain recursion cannot exhaust the stack.
model::DynamicGenerationSchema dynamicSchema(JSONSchema schema, const std::string& name,
                                             std::optional<std::string> description) {
    JSONSchema::Members members = schema.members ? std::move(*schema.members) : JSONSchema::Members();
    // Its own description, else the one it inherits.
    if (schema.description) description = std::move(*schema.description);

    // String choices win over whatever the type says.
    if (!members.choices.empty())
        return DynamicGenerationSchema(name, std::move(description), std::move(members.choices));

    using Type = JSONSchema::Type;
    switch (schema.type) {
    case Type::object: return objectSchema(members, name, std::move(description));
    case Type::integer: return DynamicGenerationSchema(ValueType::integer);
    case Type::number: return DynamicGenerationSchema(ValueType::number);
    case Type::boolean: return DynamicGenerationSchema(ValueType::boolean);
    // Items default to strings. The name matters only where the item is an object or a set of choices.
    case Type::array:
        return DynamicGenerationSchema::arrayOf(dynamicSchema(std::move(members.items), name + "Item", std::nullopt));
    case Type::string:
    case Type::none: break;
    }
    return plainString();
}

model::GenerationSchema generationSchema(std::optional<JSONSchema> schema, const std::string& name) {
    return model::GenerationSchema(dynamicSchema(schema ? std::move(*schema) : JSONSchema(), name, std::nullopt), {});
}

} // namespace brindle::SchemaTranslator
