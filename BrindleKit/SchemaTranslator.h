#pragma once
// A tool's JSON Schema (type, properties, required, items, enum, description) becomes the model's
// generation schema; a request keeps nothing else of a schema (JSONSchema). Whatever cannot be placed becomes a
// string.

#include "BrindleKit/OpenAIModels.h"
#include "BrindleModel/LanguageModel.h"

#include <optional>
#include <string>

namespace brindle::SchemaTranslator {

// Never fails. The schema is taken apart as it is translated: its strings move into the model's schema instead of
// being copied beside themselves.
model::DynamicGenerationSchema dynamicSchema(JSONSchema schema, const std::string& name,
                                             std::optional<std::string> description);

// An absent schema counts as {}. Throws model::GenerationSchema::SchemaError when the finished schema is rejected.
model::GenerationSchema generationSchema(std::optional<JSONSchema> schema, const std::string& name);

} // namespace brindle::SchemaTranslator
