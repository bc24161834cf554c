#include "BrindleKit/SchemaTranslator.h"

#include <gtest/gtest.h>

#include <string>

namespace brindle {
namespace {

using model::DynamicGenerationSchema;
using Kind = DynamicGenerationSchema::Kind;

JSONValue json(std::string_view text) { return JSONCoding::decoder().decode<JSONValue>(text); }

std::string quoted(const std::optional<std::string>& description) {
    return description ? "\"" + *description + "\"" : "";
}

// A compact picture of everything the model sees of a schema:
//   object     name"description"{key?"description":child,...}   (? marks an optional property)
//   choices    name"description"<a|b>
//   array      [item], with {min,max} appended when a bound is set
//   values     string, integer, number, boolean
std::string render(const DynamicGenerationSchema& schema) {
    switch (schema.kind()) {
    case Kind::string: return "string";
    case Kind::integer: return "integer";
    case Kind::number: return "number";
    case Kind::boolean: return "boolean";
    case Kind::object: {
        std::string text = schema.name() + quoted(schema.description()) + "{";
        for (const auto& property : schema.properties()) {
            if (text.back() != '{') text += ",";
            text += property.name + (property.isOptional ? "?" : "") + quoted(property.description) + ":" +
                    render(*property.schema);
        }
        return text + "}";
    }
    case Kind::anyOf: {
        std::string text = schema.name() + quoted(schema.description()) + "<";
        for (const auto& choice : schema.choices()) text += (text.back() == '<' ? "" : "|") + choice;
        return text + ">";
    }
    case Kind::array: {
        std::string text = "[" + render(*schema.item()) + "]";
        if (schema.minimumElements() || schema.maximumElements()) text += "{bounds}";
        return text;
    }
    }
    return "?";
}

TEST(SchemaTranslator, TranslatesTheUnderstoodSubset) {
    const struct {
        const char* label;
        const char* schema;
        const char* name;
        std::optional<std::string> description;
        std::string expected;
    } cases[] = {
        {"not an object", R"("object")", "f", "d", "string"},
        {"an array is not an object", R"([{"type":"integer"}])", "f", {}, "string"},
        {"empty object", "{}", "f", "d", "string"},
        {"type null", R"({"type":"null"})", "f", {}, "string"},
        {"unknown type name", R"({"type":"date"})", "f", {}, "string"},
        {"type as a list of names", R"({"type":["string","null"]})", "f", {}, "string"},
        {"value types carry no description or bounds",
         R"({"type":"object","properties":{"i":{"type":"integer","description":"d","minimum":1},)"
         R"("n":{"type":"number"},"b":{"type":"boolean"},"s":{"type":"string","pattern":"x","enum":"s"}}})",
         "f",
         {},
         R"(f{b?:boolean,i?"d":integer,n?:number,s?:string})"},
        {"required, descriptions and choices",
         R"({"type":"object","description":"Weather","required":["city"],"properties":{)"
         R"("unit":{"enum":["c","f"],"description":"Unit"},"city":{"type":"string","description":"The city"}}})",
         "get_weather",
         {},
         R"(get_weather"Weather"{city"The city":string,unit?"Unit":unit"Unit"<c|f>})"},
        {"names in code-point order",
         R"({"type":"object","properties":{"b":1,"\u00e9":1,"A":1,"z":1,"a":1}})",
         "f",
         {},
         "f{A?:string,a?:string,b?:string,z?:string,\xC3\xA9?:string}"},
        {"required names of other kinds or unknown are ignored",
         R"({"type":"object","required":[1,"a","zz",null],"properties":{"a":{"type":"string"},"b":{"type":"string"}}})",
         "f",
         {},
         "f{a:string,b?:string}"},
        {"required that is not a list",
         R"({"type":"object","required":"a","properties":{"a":{"type":"string"}}})",
         "f",
         {},
         "f{a?:string}"},
        {"properties that are not an object", R"({"type":"object","properties":[{"type":"string"}]})", "f", {}, "f{}"},
        {"a property that is not an object",
         R"({"type":"object","properties":{"flag":true}})",
         "f",
         {},
         "f{flag?:string}"},
        {"nested objects take the bare property name",
         R"({"type":"object","properties":{"inner":{"type":"object","properties":{"x":{"type":"number"}}}}})",
         "outer",
         {},
         "outer{inner?:inner{x?:number}}"},
        {"given description used when the schema has none", R"({"type":"object"})", "f", "given", R"(f"given"{})"},
        {"own description wins", R"({"type":"object","description":"own"})", "f", "given", R"(f"own"{})"},
        {"description that is not a string", R"({"type":"object","description":5})", "f", {}, "f{}"},
        {"numeric enum ignored", R"({"type":"integer","enum":[1,2,3]})", "f", {}, "integer"},
        {"strings kept from a mixed enum", R"({"enum":[1,"x",2]})", "f", {}, "f<x>"},
        {"string enum wins over the type",
         R"({"type":"integer","enum":["a","b"],"description":"d"})",
         "f",
         {},
         R"(f"d"<a|b>)"},
        {"string enum wins over an object", R"({"type":"object","enum":["a"],"properties":{"p":{}}})", "f", {}, "f<a>"},
        {"enum that is not a list", R"({"type":"boolean","enum":"a"})", "f", {}, "boolean"},
        {"array items default to strings", R"({"type":"array","description":"d"})", "tags", {}, "[string]"},
        {"array items that are not an object", R"({"type":"array","items":5})", "tags", {}, "[string]"},
        {"array bounds ignored",
         R"({"type":"array","items":{"type":"integer"},"minItems":1,"maxItems":3})",
         "f",
         {},
         "[integer]"},
        {"array item choices named after the array",
         R"({"type":"array","items":{"enum":["x","y"]}})",
         "tags",
         {},
         "[tagsItem<x|y>]"},
        {"array item objects",
         R"({"type":"array","items":{"type":"object","properties":{"x":{"type":"number"}}}})",
         "rows",
         {},
         "[rowsItem{x?:number}]"},
        {"arrays of arrays",
         R"({"type":"array","items":{"type":"array","items":{"type":"object"}}})",
         "m",
         {},
         "[[mItemItem{}]]"},
        {"array property items named after the property",
         R"({"type":"object","properties":{"rows":{"type":"array","items":{"type":"object"}}}})",
         "f",
         {},
         "f{rows?:[rowsItem{}]}"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(render(SchemaTranslator::dynamicSchema(json(c.schema), c.name, c.description)), c.expected)
            << c.label;
}

TEST(SchemaTranslator, FinishesSchemaUnderTheToolName) {
    const struct {
        const char* label;
        std::optional<JSONValue> schema;
        std::string expected;
    } cases[] = {
        {"absent parameters", std::nullopt, "string"},
        {"empty object", json("{}"), "string"},
        {"object without properties", json(R"({"type":"object","properties":{}})"), "f{}"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(render(SchemaTranslator::generationSchema(c.schema, "f").root()), c.expected) << c.label;
}

TEST(SchemaTranslator, PassesOnTheRejectionOfDuplicateNestedNames) {
    const struct {
        const char* label;
        const char* schema;
    } cases[] = {
        {"property named like the tool", R"({"type":"object","properties":{"f":{"type":"object"}}})"},
        {"same property name at two depths",
         R"({"type":"object","properties":{"a":{"type":"object","properties":{"a":{"enum":["x"]}}}}})"},
        {"array item named like a property",
         R"({"type":"object","properties":{"rowsItem":{"type":"object"},)"
         R"("rows":{"type":"array","items":{"type":"object"}}}})"},
    };
    for (const auto& c : cases)
        EXPECT_THROW(SchemaTranslator::generationSchema(json(c.schema), "f"), model::GenerationSchema::SchemaError)
            << c.label;
}

} // namespace
} // namespace brindle
