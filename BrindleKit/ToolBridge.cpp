#include "BrindleKit/ToolBridge.h"

#include "BrindleKit/SchemaTranslator.h"

#include <utility>

namespace brindle {

void ToolCallRecorder::record(std::string name, std::string argumentsJSON) {
    const std::lock_guard<std::mutex> guard(lock_);
    recorded_.push_back({std::move(name), std::move(argumentsJSON)});
}

std::vector<ToolCallRecorder::Call> ToolCallRecorder::calls() const {
    const std::lock_guard<std::mutex> guard(lock_);
    return recorded_;
}

ProxyTool::ProxyTool(const FunctionSpec& function, std::shared_ptr<ToolCallRecorder> recorder)
    : name_(function.name), description_(function.description.value_or("")),
      parameters_(SchemaTranslator::generationSchema(function.parameters, function.name)), recorder_(std::move(recorder)) {}

// The tool runs on the client: throwing ends the generation, and the engine answers with the recorded call.
std::string ProxyTool::call(const model::GeneratedContent& arguments) {
    recorder_->record(name_, arguments.jsonString());
    throw CapturedToolCall();
}

} // namespace brindle
