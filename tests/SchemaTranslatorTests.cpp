#include "BrindleKit/SchemaTranslator.h"

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace brindle {
namespace {

using Kind = model::DynamicGenerationSchema::Kind;

// Properties enough for several of the pieces a request holds them in, given out of order, a third of the names twice
// with another type the second time, every fifth name required: the model's schema holds each name once, in byte
// order, with the type given last and optional unless required.
TEST(SchemaTranslator, TranslatesPropertiesAcrossPiecesAsTheLastOfEachNameInOrder) {
    constexpr std::pair<const char*, Kind> kTypes[] = {
        {"string", Kind::string}, {"integer", Kind::integer}, {"number", Kind::number}, {"boolean", Kind::boolean}};
    const std::size_t names = 3 * PiecedList<SchemaProperties::Entry>::kPerPiece + 7;
    std::mt19937 random(20'261'207);
    std::vector<std::size_t> given(names + names / 3);
    for (std::size_t index = 0; index < given.size(); ++index) given[index] = index < names ? index : random() % names;
    std::shuffle(given.begin(), given.end(), random);

    std::map<std::string, Kind> expected;
    std::string body = R"({"type":"object","properties":{)";
    for (std::size_t index = 0; index < given.size(); ++index) {
        const std::string name = "p" + std::to_string(given[index]);
        const auto& [typeName, kind] = kTypes[index % 4];
        body += (index ? ",\"" : "\"") + name + R"(":{"type":")" + typeName + "\"}";
        expected[name] = kind;
    }
    std::set<std::string> required;
    body += R"(},"required":[)";
    for (std::size_t name = 0; name < names; name += 5) {
        required.insert("p" + std::to_string(name));
        body += (name ? ",\"p" : "\"p") + std::to_string(name) + "\"";
    }
    body += "]}";

    const model::DynamicGenerationSchema translated =
        SchemaTranslator::dynamicSchema(JSONCoding::decoder().decode<JSONSchema>(body), "tool", std::nullopt);
    ASSERT_EQ(translated.properties().size(), expected.size());
    auto want = expected.begin();
    for (const auto& property : translated.properties()) {
        ASSERT_EQ(property.name, want->first);
        ASSERT_EQ(property.schema->kind(), want->second) << property.name;
        ASSERT_EQ(property.isOptional, !required.contains(property.name)) << property.name;
        ++want;
    }
}

} // namespace
} // namespace brindle
