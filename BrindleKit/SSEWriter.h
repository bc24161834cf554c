#pragma once
// The server-sent events of one streamed chat completion, and the token estimates reported in usage.

#include "BrindleBase/TokenEstimator.h"
#include "BrindleKit/OpenAIModels.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace brindle {

// One writer per streamed answer: every chunk shares its id, created time and model, and the "assistant"
// role goes out once, with the first content or tool-calls frame. Each operation returns one whole event.
class SSEWriter {
public:
    struct DeltaToolCall {
        std::int64_t index;
        std::string id;
        std::string type;
        FunctionCall function;
        void encode(JSONWriter& writer) const;
    };

    SSEWriter(std::string model, std::chrono::system_clock::time_point now);

    std::string contentFrame(std::string_view text);
    std::string toolCallsFrame(const std::vector<ToolCall>& toolCalls);
    std::string finishFrame(std::string_view reason) const;
    std::string usageFrame(const Usage& usage) const;
    // The event that ends a failed stream: the error body alone, no chunk members, so it needs no writer.
    // ErrorMapper::sendErrorFrame is its one caller.
    static std::string errorFrame(std::string message, std::string type, std::optional<std::string> code);
    static std::string doneFrame() { return "data: [DONE]\n\n"; }

    const std::string& id() const { return id_; }
    std::int64_t created() const { return created_; }
    const std::string& model() const { return model_; }

private:
    struct Delta;
    std::string frame(const Delta& delta, const char* finishReason, const Usage* usage, bool withChoice) const;
    bool takeRole();

    std::string id_;
    std::int64_t created_;
    std::string model_;
    bool sentRole_ = false;
};

// The usage estimate of a request's messages, beside the estimate of one text.
namespace TokenEstimator {
// Per message: estimate of its text (empty when it has none) plus 4.
std::int64_t estimate(const std::vector<ChatMessage>& messages);
} // namespace TokenEstimator

// "chatcmpl-" followed by a fresh random UUID.
std::string makeCompletionID();
// Whole seconds since 1970, the fraction cut off.
std::int64_t unixSeconds(std::chrono::system_clock::time_point time);

} // namespace brindle
