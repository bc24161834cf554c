#include "BrindleKit/ToolBridge.h"

#include "BrindleKit/SchemaTranslator.h"

namespace brindle {

ProxyTool::ProxyTool(const FunctionSpec& function)
    : name_(function.name), description_(function.description.value_or("")),
      parameters_(
          SchemaTranslator::generationSchema(function.parameters ? &*function.parameters : nullptr, function.name)) {}

} // namespace brindle
