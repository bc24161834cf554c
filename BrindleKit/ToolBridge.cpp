#include "BrindleKit/ToolBridge.h"

#include "BrindleKit/SchemaTranslator.h"

namespace brindle {

ProxyTool::ProxyTool(FunctionSpec function)
    : name_(function.name), description_(function.description.value_or("")),
      parameters_(SchemaTranslator::generationSchema(std::move(function.parameters), function.name)) {}

} // namespace brindle
