#include "fuzz/FuzzTargets.h"

#include "BrindleBase/JSONDecoding.h"
#include "BrindleKit/OpenAIModels.h"
#include "BrindleKit/SchemaTranslator.h"

#include <algorithm>
#include <optional>
#include <set>

namespace brindle::fuzz {

namespace {

using model::DynamicGenerationSchema;
using Kind = DynamicGenerationSchema::Kind;

const JSONValue* member(const JSONValue::Object& object, const std::string& key) {
    const auto found = object.find(key);
    return found == object.end() ? nullptr : &found->second;
}

std::optional<std::string> stringMember(const JSONValue::Object& object, const std::string& key) {
    const JSONValue* value = member(object, key);
    return value && value->stringValue() ? std::optional<std::string>(*value->stringValue()) : std::nullopt;
}

std::vector<std::string> stringElements(const JSONValue::Object& object, const std::string& key) {
    std::vector<std::string> strings;
    const JSONValue* value = member(object, key);
    if (value && value->arrayValue())
        for (const JSONValue& element : *value->arrayValue())
            if (element.stringValue()) strings.push_back(*element.stringValue());
    return strings;
}

void expectTranslation(const JSONValue& json, const DynamicGenerationSchema& schema, const std::string& name,
                       const std::optional<std::string>& inherited);

// An object schema's properties, in code-point order of their names (the map's byte order).
void expectProperties(const JSONValue::Object& object, const DynamicGenerationSchema& schema) {
    const JSONValue* properties = member(object, "properties");
    const JSONValue::Object* members = properties ? properties->objectValue() : nullptr;
    check(schema.properties().size() == (members ? members->size() : 0), "properties were lost or invented");
    if (!members) return;
    const std::vector<std::string> required = stringElements(object, "required");
    std::size_t index = 0;
    for (const auto& [propertyName, value] : *members) {
        const DynamicGenerationSchema::Property& property = schema.properties()[index++];
        check(property.name == propertyName, "properties are not in code-point order of their names");
        check(property.isOptional == (std::find(required.begin(), required.end(), propertyName) == required.end()),
              "a property's optionality does not follow \"required\"");
        const std::optional<std::string> own =
            value.objectValue() ? stringMember(*value.objectValue(), "description") : std::nullopt;
        check(property.description ? own == *property.description : !own, "a property's description");
        expectTranslation(value, *property.schema, propertyName, std::nullopt);
    }
}

// The translation rules, restated independently: the translated tree must match node for node.
void expectTranslation(const JSONValue& json, const DynamicGenerationSchema& schema, const std::string& name,
                       const std::optional<std::string>& inherited) {
    const JSONValue::Object* object = json.objectValue();
    if (!object) return check(schema.kind() == Kind::string, "a schema that is not an object must be a string");
    std::optional<std::string> description = stringMember(*object, "description");
    if (!description) description = inherited;
    const std::vector<std::string> choices = stringElements(*object, "enum");
    if (!choices.empty()) {
        check(schema.kind() == Kind::anyOf && std::ranges::equal(schema.choices(), choices),
              "string choices were not kept in order");
        check(schema.name() == name && schema.description() == description, "choices lost their name or description");
        return;
    }
    const std::string type = stringMember(*object, "type").value_or("");
    if (type == "integer") return check(schema.kind() == Kind::integer, "an integer schema");
    if (type == "number") return check(schema.kind() == Kind::number, "a number schema");
    if (type == "boolean") return check(schema.kind() == Kind::boolean, "a boolean schema");
    if (type == "array") {
        check(schema.kind() == Kind::array && schema.item(), "an array schema without its item");
        const JSONValue* items = member(*object, "items");
        static const JSONValue kStringItems(JSONValue::Object{{"type", JSONValue("string")}});
        return expectTranslation(items ? *items : kStringItems, *schema.item(), name + "Item", std::nullopt);
    }
    if (type != "object") return check(schema.kind() == Kind::string, "an unknown type must become a string");
    check(schema.kind() == Kind::object && schema.name() == name && schema.description() == description,
          "an object schema lost its kind, name or description");
    expectProperties(*object, schema);
}

// Named types in the order the finished schema checks them; true when a name repeats.
bool repeatsATypeName(const DynamicGenerationSchema& schema, std::set<std::string>& names) {
    if ((schema.kind() == Kind::object || schema.kind() == Kind::anyOf) && !names.insert(schema.name()).second)
        return true;
    for (const auto& property : schema.properties())
        if (repeatsATypeName(*property.schema, names)) return true;
    return schema.kind() == Kind::array && repeatsATypeName(*schema.item(), names);
}

} // namespace

void schemaTranslator(std::string_view input) {
    std::optional<JSONValue> json;
    try {
        json.emplace(JSONCoding::decoder().decode<JSONValue>(input));
    } catch (const JSONCoding::DecodingError& whole) {
        // What a request keeps of a schema is refused for the same fault.
        try {
            JSONCoding::decoder().decode<JSONSchema>(input);
        } catch (const JSONCoding::DecodingError& kept) {
            return check(std::string_view(kept.what()) == whole.what(), "a kept schema is refused for another fault");
        }
        return check(false, "a schema was kept whose whole value is refused");
    }
    check(*json == *json, "a decoded value does not equal itself");
    const JSONValue rewritten = JSONCoding::decoder().decode<JSONValue>(JSONCoding::encoder().encode(*json));
    check(rewritten == *json, "a value changed in a round trip through the writer");

    // What a request keeps of a schema translates as the rules say of the whole schema.
    const std::string name = "tool";
    const JSONSchema kept = JSONCoding::decoder().decode<JSONSchema>(input);
    check(kept.isObject == (json->objectValue() != nullptr), "a kept schema is an object where the whole is not");
    const DynamicGenerationSchema dynamic = SchemaTranslator::dynamicSchema(JSONSchema(kept), name, std::nullopt);
    expectTranslation(*json, dynamic, name, std::nullopt);
    std::set<std::string> names;
    const bool rejected = repeatsATypeName(dynamic, names);
    try {
        const model::GenerationSchema finished = SchemaTranslator::generationSchema(kept, name);
        check(!rejected, "a schema that repeats a type name was accepted");
        expectTranslation(*json, finished.root(), name, std::nullopt);
    } catch (const model::GenerationSchema::SchemaError&) {
        check(rejected, "a schema without a repeated type name was rejected");
    }
}

} // namespace brindle::fuzz
