#include "BrindleKit/SchemaTranslator.h"

#include <algorithm>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

namespace brindle::SchemaTranslator {

namespace {

using model::DynamicGenerationSchema;
using ValueType = DynamicGenerationSchema::ValueType;

DynamicGenerationSchema plainString() {
    return DynamicGenerationSchema(ValueType::string);
}

const JSONValue* member(const JSONValue::Object& object, std::string_view key) {
    const auto found = object.find(key);
    return found == object.end() ? nullptr : &found->second;
}

// A member of another JSON kind counts as absent.
std::optional<std::string> stringMember(const JSONValue::Object& object, std::string_view key) {
    const JSONValue* value = member(object, key);
    const std::string* text = value ? value->stringValue() : nullptr;
    return text ? std::optional<std::string>(*text) : std::nullopt;
}

const JSONValue::Array* arrayMember(const JSONValue::Object& object, std::string_view key) {
    const JSONValue* value = member(object, key);
    return value ? value->arrayValue() : nullptr;
}

std::vector<std::string> stringElements(const JSONValue::Array* array) {
    std::vector<std::string> strings;
    if (!array) return strings;
    for (const JSONValue& element : *array)
        if (const std::string* text = element.stringValue()) strings.push_back(*text);
    return strings;
}

// Properties reach the model in code-point order of their names, not in the order of the request text.
// Byte order of UTF-8 is code-point order, and std::string compares bytes as unsigned char.
std::vector<const JSONValue::Object::value_type*> sortedProperties(const JSONValue::Object& schema) {
    std::vector<const JSONValue::Object::value_type*> sorted;
    const JSONValue* properties = member(schema, "properties");
    const JSONValue::Object* object = properties ? properties->objectValue() : nullptr;
    if (!object) return sorted;
    for (const auto& property : *object) sorted.push_back(&property);
    std::sort(sorted.begin(), sorted.end(),
              [](const auto* left, const auto* right) { return left->first < right->first; });
    return sorted;
}

DynamicGenerationSchema objectSchema(const JSONValue::Object& schema, const std::string& name,
                                     const std::optional<std::string>& description) {
    // A set: a list searched for each property made a schema whose every property is required cost the square of
    // its size (80,000 properties took seconds).
    const std::vector<std::string> requiredNames = stringElements(arrayMember(schema, "required"));
    const std::unordered_set<std::string_view> required(requiredNames.begin(), requiredNames.end());
    const auto sorted = sortedProperties(schema);
    std::vector<DynamicGenerationSchema::Property> properties;
    properties.reserve(sorted.size());
    for (const auto* property : sorted) {
        const auto& [propertyName, value] = *property;
        const JSONValue::Object* valueObject = value.objectValue();
        properties.push_back({propertyName, valueObject ? stringMember(*valueObject, "description") : std::nullopt,
                              DynamicGenerationSchema::shared(dynamicSchema(value, propertyName, std::nullopt)),
                              !required.contains(propertyName)});
    }
    return DynamicGenerationSchema(name, description, std::move(properties));
}

// Items default to strings. The name matters only where the item is an object or a set of choices.
DynamicGenerationSchema arraySchema(const JSONValue::Object& schema, const std::string& name) {
    static const JSONValue kStringItems(JSONValue::Object{{"type", JSONValue("string")}});
    const JSONValue* items = member(schema, "items");
    return DynamicGenerationSchema::arrayOf(dynamicSchema(items ? *items : kStringItems, name + "Item", std::nullopt));
}

} // namespace

// Recursion follows the nesting of the schema value. Schemas arrive in request bodies, whose nesting the
// JSON decoder already bounds (JSONCoding::kMaxDepth), so plain recursion cannot exhaust the stack.
model::DynamicGenerationSchema dynamicSchema(const JSONValue& schema, const std::string& name,
                                             const std::optional<std::string>& description) {
    const JSONValue::Object* object = schema.objectValue();
    if (!object) return plainString();
    std::optional<std::string> effectiveDescription = stringMember(*object, "description");
    if (!effectiveDescription) effectiveDescription = description;
    const std::optional<std::string> type = stringMember(*object, "type");

    // String choices win over whatever the type says.
    std::vector<std::string> choices = stringElements(arrayMember(*object, "enum"));
    if (!choices.empty()) return DynamicGenerationSchema(name, effectiveDescription, std::move(choices));

    if (!type) return plainString();
    if (*type == "object") return objectSchema(*object, name, effectiveDescription);
    if (*type == "string") return DynamicGenerationSchema(ValueType::string);
    if (*type == "integer") return DynamicGenerationSchema(ValueType::integer);
    if (*type == "number") return DynamicGenerationSchema(ValueType::number);
    if (*type == "boolean") return DynamicGenerationSchema(ValueType::boolean);
    if (*type == "array") return arraySchema(*object, name);
    return plainString();
}

model::GenerationSchema generationSchema(const JSONValue* schema, const std::string& name) {
    static const JSONValue kEmptyObject(JSONValue::Object{});
    return model::GenerationSchema(dynamicSchema(schema ? *schema : kEmptyObject, name, std::nullopt), {});
}

} // namespace brindle::SchemaTranslator
