#pragma once
// Client tools run on the client. Each is offered to the model as a proxy that, when called, records the
// call and stops the generation; the engine returns the recorded calls to the client as tool_calls.

#include "BrindleKit/OpenAIModels.h"
#include "BrindleModel/LanguageModel.h"

#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace brindle {

// The calls the model made during one request, in the order they were made. Proxies may record from
// any thread.
class ToolCallRecorder {
public:
    struct Call {
        std::string name;
        std::string argumentsJSON;
    };
    void record(std::string name, std::string argumentsJSON);
    std::vector<Call> calls() const;

private:
    mutable std::mutex lock_;
    std::vector<Call> recorded_;
};

using model::CapturedToolCall;

class ProxyTool final : public model::Tool {
public:
    // Throws model::GenerationSchema::SchemaError when the tool's parameters are rejected.
    ProxyTool(const FunctionSpec& function, std::shared_ptr<ToolCallRecorder> recorder);

    std::string name() const override { return name_; }
    std::string description() const override { return description_; }
    const model::GenerationSchema& parameters() const override { return parameters_; }
    // Records the call, then throws CapturedToolCall; never returns.
    std::string call(const model::GeneratedContent& arguments) override;

private:
    std::string name_;
    std::string description_;
    model::GenerationSchema parameters_;
    std::shared_ptr<ToolCallRecorder> recorder_;
};

} // namespace brindle
