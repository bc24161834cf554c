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

// Where a property of that name stands among properties sorted by name, or their count when none has it.
std::size_t positionOf(const SchemaProperties& sorted, std::string_view name) {
    std::size_t low = 0, high = sorted.size();
    while (low < high) {
        const std::size_t middle = low + (high - low) / 2;
        if (sorted.name(middle) < name)
            low = middle + 1;
        else
            high = middle;
    }
    return low < sorted.size() && sorted.name(low) == name ? low : sorted.size();
}

// Properties reach the model in code-point order of their names, which is the byte order of UTF-8.
DynamicGenerationSchema objectSchema(JSONSchema::Members& members, const std::string& name,
                                     std::optional<std::string> description) {
    auto& kept = members.properties;
    kept.keepLastOfEachName();
    // Each required name is searched for among the sorted properties: a list searched for each property made a schema
    // whose every property is required cost the square of its size, and a set of the names cost more than the names.
    std::vector<bool> required(kept.size() + 1);
    for (std::string_view requiredName : members.required) required[positionOf(kept, requiredName)] = true;
    std::vector<DynamicGenerationSchema::Property> properties;
    properties.reserve(kept.size());
    std::size_t index = 0;
    // Taken in order, each piece of the request's properties goes as soon as it has been moved out.
    kept.takeEach([&](std::string_view given, JSONSchema& value) {
        std::string propertyName(given);
        // An object or a set of choices keeps the description too, as its own.
        const bool sharesDescription =
            value.type == JSONSchema::Type::object || (value.members && !value.members->choices.empty());
        std::unique_ptr<const std::string> own;
        if (value.description)
            own = sharesDescription ? std::make_unique<const std::string>(*value.description)
                                    : std::move(value.description);
        auto schema = DynamicGenerationSchema::shared(dynamicSchema(std::move(value), propertyName, std::nullopt));
        properties.push_back({std::move(propertyName), std::move(own), std::move(schema), !required[index++]});
    });
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
