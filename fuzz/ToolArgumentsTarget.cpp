#include "fuzz/FuzzTargets.h"

#include "BrindleBase/JSONDecoding.h"
#include "BrindleKit/SchemaTranslator.h"
#include "BrindleModel/BuiltinModel.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <optional>

namespace brindle::fuzz {

namespace {

using model::DynamicGenerationSchema;
using Kind = DynamicGenerationSchema::Kind;

// A tool that keeps the arguments it is called with.
class RecordingTool final : public model::Tool {
public:
    explicit RecordingTool(model::GenerationSchema parameters) : parameters_(std::move(parameters)) {}
    std::string name() const override { return "tool"; }
    std::string description() const override { return ""; }
    const model::GenerationSchema& parameters() const override { return parameters_; }
    std::optional<std::string> call(const model::GeneratedContent& arguments) override {
        arguments_ = arguments.value();
        return "done";
    }
    const std::optional<JSONValue>& arguments() const { return arguments_; }

private:
    model::GenerationSchema parameters_;
    std::optional<JSONValue> arguments_;
};

// The value fits the schema node: the right kind, every required property and no stranger, a known choice.
void expectFits(const JSONValue& value, const DynamicGenerationSchema& schema) {
    switch (schema.kind()) {
    case Kind::string: return check(value.stringValue() != nullptr, "a string property holds no string");
    case Kind::integer: {
        const double* number = std::get_if<double>(&value.storage);
        return check(number && std::trunc(*number) == *number, "an integer property holds no integer");
    }
    case Kind::number: {
        const double* number = std::get_if<double>(&value.storage);
        return check(number && std::isfinite(*number), "a number property holds no finite number");
    }
    case Kind::boolean: return check(std::holds_alternative<bool>(value.storage), "a boolean property");
    case Kind::anyOf: {
        const std::string* text = value.stringValue();
        const auto& choices = schema.choices();
        return check(text && (choices.empty() ? text->empty() : std::ranges::find(choices, *text) != choices.end()),
                     "a choice that is not offered");
    }
    case Kind::array: {
        const JSONValue::Array* elements = value.arrayValue();
        check(elements && !elements->empty(), "an array property holds no elements");
        for (const JSONValue& element : *elements) expectFits(element, *schema.item());
        return;
    }
    case Kind::object: {
        const JSONValue::Object* members = value.objectValue();
        check(members != nullptr, "an object property holds no object");
        std::size_t known = 0;
        for (const auto& property : schema.properties()) {
            const auto found = members->find(property.name);
            if (found == members->end()) {
                check(property.isOptional, "a required property is missing: " + property.name);
                continue;
            }
            ++known;
            expectFits(found->second, *property.schema);
        }
        return check(known == members->size(), "arguments hold a property the schema does not name");
    }
    }
}

} // namespace

void toolArguments(std::string_view input) {
    const std::size_t split = std::min(input.find('\n'), input.size());
    JSONSchema schema;
    try {
        schema = JSONCoding::decoder().decode<JSONSchema>(input.substr(split == input.size() ? 0 : split + 1));
    } catch (const JSONCoding::DecodingError&) {
        return;
    }
    std::shared_ptr<RecordingTool> tool;
    try {
        tool = std::make_shared<RecordingTool>(SchemaTranslator::generationSchema(std::move(schema), "tool"));
    } catch (const model::GenerationSchema::SchemaError&) {
        return; // a type name repeats: refused before any generation
    }
    const std::string prompt = "call the tool " + withoutDirectives(input.substr(0, split));
    const auto session = model::BuiltinModel().makeSession({tool}, {});
    try {
        session->respond(prompt, {});
    } catch (const model::GenerationError& error) {
        check(error.errorCase == model::GenerationError::Case::exceededContextWindowSize,
              std::string("generation failed: ") + error.what());
        return;
    }
    check(tool->arguments().has_value(), "a prompt naming the tool did not call it");
    const DynamicGenerationSchema& root = tool->parameters().root();
    if (root.kind() == Kind::string) return check(*tool->arguments() == JSONValue(prompt), "string root: the prompt");
    expectFits(*tool->arguments(), root);
}

} // namespace brindle::fuzz
