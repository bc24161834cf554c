#pragma once
// A tool's JSON Schema (type, properties, required, items, enum, description) becomes the model's
// generation schema. Everything else in a schema is ignored (a request keeps nothing else: JSONSchema); whatever
// cannot be placed becomes a string.

#include "BrindleBase/JSONValue.h"
#include "BrindleModel/LanguageModel.h"

#include <optional>
#include <string>

namespace brindle::SchemaTranslator {

// Never fails.
model::DynamicGenerationSchema dynamicSchema(const JSONValue& schema, const std::string& name,
                                             const std::optional<std::string>& description);

// An absent schema (null) counts as {}. Throws model::GenerationSchema::SchemaError when the finished schema is
// rejected.
model::GenerationSchema generationSchema(const JSONValue* schema, const std::string& name);

} // namespace brindle::SchemaTranslator
