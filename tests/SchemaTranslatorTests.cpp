#include "BrindleKit/SchemaTranslator.h"

#include <gtest/gtest.h>

#include <string>

namespace brindle {
namespace {

using model::DynamicGenerationSchema;
using Kind = DynamicGenerationSchema::Kind;

JSONValue json(std::string_view text) {
    return JSONCoding::decoder().decode<JSONValue>(text);
}

// What the model sees: name"description"{key?"description":child} (? optional), name<a|b>, [item]{bounds}.
std::string render(const DynamicGenerationSchema& schema) {
    static const char* const kValueNames[] = {"string", "integer", "number", "boolean"};
    const auto quoted = [](const auto& text) { return text ? "\"" + *text + "\"" : std::string(); };
    const std::string described = quoted(schema.description());
    switch (schema.kind()) {
    case Kind::object: {
        std::string text = schema.name() + described + "{";
        for (const auto& property : schema.properties())
            text += (text.back() == '{' ? "" : ",") + property.name + (property.isOptional ? "?" : "") +
                    quoted(property.description) + ":" + render(*property.schema);
        return text + "}";
    }
    case Kind::anyOf: {
        std::string text = schema.name() + described + "<";
        for (const auto& choice : schema.choices()) text += (text.back() == '<' ? "" : "|") + choice;
        return text + ">";
    }
    case Kind::array:
        return "[" + render(*schema.item()) + "]" + described +
               (schema.minimumElements() || schema.maximumElements() ? "{bounds}" : "");
    default: return kValueNames[static_cast<int>(schema.kind())] + described;
    }
}

TEST(SchemaTranslator, TranslatesTheUnderstoodSubset) {
    const struct {
        const char* label;
        std::string schema;
        std::string expected;
        std::optional<std::string> description = std::nullopt;
    } cases[] = {
        {"given description if none of its own", R"({"type":"object","description":5})", R"(f"given"{})", "given"},
        {"own description wins", R"({"type":"object","description":"own"})", R"(f"own"{})", "given"},
        {"what cannot be placed is a string",
         R"({"type":"object","properties":{"n":{"type":"null"},"d":{"type":"date"},"l":{"type":["string"]},)"
         R"("t":true,"a":[{"type":"integer"}],"e":{}}})",
         "f{a?:string,d?:string,e?:string,l?:string,n?:string,t?:string}"},
        {"value types carry no description or bounds",
         R"({"type":"object","properties":{"i":{"type":"integer","description":"d","minimum":1},)"
         R"("n":{"type":"number"},"b":{"type":"boolean"},"s":{"type":"string","pattern":"x","enum":"s"}}})",
         R"(f{b?:boolean,i?"d":integer,n?:number,s?:string})"},
        {"required, descriptions and choices",
         R"({"type":"object","description":"Weather","required":["city",1,"zz"],"properties":{)"
         R"("unit":{"enum":["c","f"],"description":"Unit"},"city":{"type":"string","description":"The city"}}})",
         R"(f"Weather"{city"The city":string,unit?"Unit":unit"Unit"<c|f>})"},
        {"names in code-point order", R"({"type":"object","properties":{"b":1,"\u00e9":1,"A":1,"a":1}})",
         "f{A?:string,a?:string,b?:string,\xC3\xA9?:string}"},
        {"objects: required not a list, properties not an object, nested names bare",
         R"({"type":"object","properties":{"r":{"type":"object","required":"a","properties":{"a":{}}},)"
         R"("p":{"type":"object","properties":[{"type":"string"}]}}})",
         "f{p?:p{},r?:r{a?:string}}"},
        {"enums: numbers ignored, strings win over any type, a non-list ignored",
         R"({"type":"object","properties":{"a":{"type":"integer","enum":[1,2]},"b":{"enum":[1,"x",2]},)"
         R"("c":{"type":"integer","enum":["a","b"]},"d":{"type":"object","enum":["a"]},)"
         R"("e":{"type":"boolean","enum":"a"}}})",
         "f{a?:integer,b?:b<x>,c?:c<a|b>,d?:d<a>,e?:boolean}"},
        {"arrays: items default to strings, bounds ignored, item names follow the parent's",
         R"({"type":"object","properties":{"tags":{"type":"array","description":"d"},"n":{"type":"array","items":5},)"
         R"("b":{"type":"array","items":{"type":"integer"},"minItems":1,"maxItems":3},"e":{"type":"array",)"
         R"("items":{"enum":["x"]}},"m":{"type":"array","items":{"type":"array","items":{"type":"object"}}}}})",
         R"(f{b?:[integer],e?:[eItem<x>],m?:[[mItemItem{}]],n?:[string],tags?"d":[string]})"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(render(SchemaTranslator::dynamicSchema(json(c.schema), "f", c.description)), c.expected) << c.label;
}

TEST(SchemaTranslator, FinishesSchemaUnderTheToolNameAndPassesOnItsRejection) {
    const auto finished = [](std::optional<JSONValue> schema) {
        return render(SchemaTranslator::generationSchema(schema, "f").root());
    };
    EXPECT_EQ(finished(std::nullopt), "string");
    EXPECT_EQ(finished(json("{}")), "string");
    EXPECT_EQ(finished(json(R"({"type":"object","properties":{}})")), "f{}");
    EXPECT_THROW(finished(json(R"({"type":"object","properties":{"f":{"type":"object"}}})")),
                 model::GenerationSchema::SchemaError);
}

} // namespace
} // namespace brindle
