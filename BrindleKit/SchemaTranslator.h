#pragma once
// A tool's JSON Schema (type, properties, required, items, enum, description) becomes the model's
// generation schema; a request keeps nothing else of a schema (JSONSchema). Whatever cannot be placed becomes a
// string.

#include "BrindleKit/OpenAIModels.h"
#include "BrindleModel/LanguageModel.h"

#include <optional>
#include <string>

namespace brindle::SchemaTranslator {

// Never fails.
model::DynamicGenerationSchema dynamicSchema(const JSONSchema& schema, const std::string& name,
                                             const std::optional<std::string>& description);

// An absent schema (null) counts as {}. Throws model::GenerationSchema::SchemaError when the finished schema is
// rejected.
model::GenerationSchema generationSchema(const JSONSchema* schema, const std::string& name);

} // namespace brindle::SchemaTranslator
