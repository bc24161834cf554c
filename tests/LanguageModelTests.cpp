#include "BrindleModel/LanguageModel.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace brindle::model {
namespace {

using Schema = DynamicGenerationSchema;

Schema object(std::string name, std::vector<std::pair<std::string, Schema>> properties) {
    std::vector<Schema::Property> built;
    for (auto& [key, schema] : properties)
        built.push_back({key, std::nullopt, std::make_shared<const Schema>(std::move(schema)), false});
    return Schema(std::move(name), std::nullopt, std::move(built));
}

TEST(GenerationSchema, RejectsATypeNameUsedTwiceAndAPropertyNamedTwice) {
    const Schema text(Schema::ValueType::string), choice("t", std::nullopt, std::vector<std::string>{"a", "b"});
    const struct {
        const char* label;
        Schema root;
        std::vector<Schema> dependencies;
        bool rejected;
    } cases[] = {
        {"two nested objects share a name", object("t", {{"x", object("n", {})}, {"y", object("n", {})}}), {}, true},
        {"a choice named like the root", object("t", {{"u", choice}}), {}, true},
        {"an array item named like another object",
         object("t", {{"x", object("n", {})}, {"y", Schema::arrayOf(object("n", {}))}}), {}, true},
        {"a dependency named like the root", object("t", {}), {object("t", {})}, true},
        {"a property named twice", object("t", {{"p", text}, {"p", text}}), {}, true},
        {"one property name in two objects", object("t", {{"p", text}, {"q", object("q", {{"p", text}})}}), {}, false},
    };
    for (const auto& c : cases)
        if (c.rejected)
            EXPECT_THROW(GenerationSchema(c.root, c.dependencies), GenerationSchema::SchemaError) << c.label;
        else
            EXPECT_NO_THROW(GenerationSchema(c.root, c.dependencies)) << c.label;
}

TEST(GeneratedContent, TakesStrictJSONOrWrapsAPlainString) {
    EXPECT_EQ(GeneratedContent::fromJSON(R"( { "b" : 1.5, "a" : [true, null, "x/y"] } )").jsonString(),
              R"({"a":[true,null,"x/y"],"b":1.5})");
    for (const std::string plain : {"city=Oslo", R"({"a":1} extra)", "", "say \"hi\"\n"})
        EXPECT_THROW(GeneratedContent::fromJSON(plain), GeneratedContent::InvalidJSON) << plain;
    EXPECT_EQ(GeneratedContent(std::string("say \"hi\"\n")).jsonString(), R"("say \"hi\"\n")");
}

} // namespace
} // namespace brindle::model
