#pragma once
// Client tools run on the client. Each is offered to the model as a proxy that hands its call back: the
// generation ends with it, and the engine returns the calls to the client as tool_calls.

#include "BrindleKit/OpenAIModels.h"
#include "BrindleModel/LanguageModel.h"

#include <optional>
#include <string>

namespace brindle {

class ProxyTool final : public model::Tool {
public:
    // Throws model::GenerationSchema::SchemaError when the tool's parameters are rejected.
    explicit ProxyTool(FunctionSpec function);

    std::string name() const override { return name_; }
    std::string description() const override { return description_; }
    const model::GenerationSchema& parameters() const override { return parameters_; }
    // Nothing: the call is the client's to make.
    std::optional<std::string> call(const model::GeneratedContent&) override { return std::nullopt; }

private:
    std::string name_;
    std::string description_;
    model::GenerationSchema parameters_;
};

} // namespace brindle
