#include "BrindleModel/LanguageModel.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace brindle::model {
namespace {

using Schema = DynamicGenerationSchema;
using Property = DynamicGenerationSchema::Property;

Property property(std::string name, Schema schema) {
    return {std::move(name), std::nullopt, std::make_shared<const Schema>(std::move(schema)), false};
}
Schema object(std::string name, std::vector<Property> properties) {
    return Schema(std::move(name), std::nullopt, std::move(properties));
}
Schema choice(std::string name) { return Schema(std::move(name), std::nullopt, std::vector<std::string>{"a", "b"}); }
Schema text() { return Schema(Schema::ValueType::string); }

TEST(GenerationSchema, RejectsATypeNameUsedTwiceAndAPropertyNamedTwice) {
    const struct {
        const char* label;
        std::function<GenerationSchema()> make;
        bool rejected;
    } cases[] = {
        {"two nested objects share a name",
         [] {
             return GenerationSchema(object("t", {property("x", object("n", {})), property("y", object("n", {}))}), {});
         },
         true},
        {"a choice named like the root", [] { return GenerationSchema(object("t", {property("u", choice("t"))}), {}); },
         true},
        {"an object inside an array named like another",
         [] {
             return GenerationSchema(
                 object("t", {property("x", object("n", {})), property("y", Schema::arrayOf(object("n", {})))}), {});
         },
         true},
        {"a dependency named like the root", [] { return GenerationSchema(object("t", {}), {object("t", {})}); }, true},
        {"a property named twice",
         [] {
             return GenerationSchema(object("t", {property("p", text()), property("p", text())}), {});
         },
         true},
        {"array items named differently",
         [] {
             return GenerationSchema(object("t", {property("rows", Schema::arrayOf(object("rowsItem", {}))),
                                                  property("cols", Schema::arrayOf(object("colsItem", {})))}),
                                     {});
         },
         false},
        {"one property name in two objects",
         [] {
             return GenerationSchema(
                 object("t", {property("p", text()), property("q", object("q", {property("p", text())}))}), {});
         },
         false},
        {"a plain string root", [] { return GenerationSchema(text(), {}); }, false},
    };
    for (const auto& c : cases) {
        if (c.rejected)
            EXPECT_THROW(c.make(), GenerationSchema::SchemaError) << c.label;
        else
            EXPECT_NO_THROW(c.make()) << c.label;
    }
}

TEST(GeneratedContent, TakesStrictJSONOrWrapsAPlainString) {
    const struct {
        std::string input;
        bool isJSON;
        std::string jsonString; // of fromJSON(input) when JSON, else of GeneratedContent(input)
    } cases[] = {
        {R"({"city":"Paris"})", true, R"({"city":"Paris"})"},
        {R"( { "b" : 1.5, "a" : [true, null, 2] } )", true, R"({"a":[true,null,2],"b":1.5})"},
        {R"("x/y")", true, R"("x/y")"},
        {"city=Oslo", false, R"("city=Oslo")"},
        {R"({"a":1)", false, R"("{\"a\":1")"},
        {R"({"a":1} extra)", false, R"("{\"a\":1} extra")"},
        {"", false, R"("")"},
        {"say \"hi\"\n", false, R"("say \"hi\"\n")"},
    };
    for (const auto& c : cases) {
        if (c.isJSON) {
            EXPECT_EQ(GeneratedContent::fromJSON(c.input).jsonString(), c.jsonString) << c.input;
        } else {
            EXPECT_THROW(GeneratedContent::fromJSON(c.input), GeneratedContent::InvalidJSON) << c.input;
            EXPECT_EQ(GeneratedContent(c.input).jsonString(), c.jsonString) << c.input;
        }
    }
}

} // namespace
} // namespace brindle::model
