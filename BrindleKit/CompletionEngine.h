#pragma once
// Turns one chat-completion request into model output: one JSON answer, or a stream of event frames.
// Every request gets a fresh session built from the messages it carries; nothing is kept between requests.

#include "BrindleKit/OpenAIModels.h"
#include "BrindleModel/LanguageModel.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace brindle {

class CompletionEngine {
public:
    // Hands one finished frame to the client; may throw FDConnection::WriteFailed.
    using FrameSender = std::function<void(const std::string& frame)>;

    // A request value the engine cannot honour: the client's error, naming the parameter.
    class InvalidParameter : public std::invalid_argument {
    public:
        InvalidParameter(std::string parameter, const std::string& problem)
            : std::invalid_argument("Invalid '" + parameter + "': " + problem), parameter(std::move(parameter)) {}
        std::string parameter;
    };

    struct PreparedRequest {
        std::shared_ptr<model::LanguageModelSession> session;
        std::string prompt;
        model::GenerationOptions options;
        std::optional<model::GenerationSchema> schema; // a json_schema response format: guided generation
        bool wantsJSONObject = false;                  // a json_object response format
        std::vector<std::string> stopSequences;
    };

    explicit CompletionEngine(std::shared_ptr<const model::SystemLanguageModel> model);

    // Throws InvalidParameter for a response format or stop sequences it cannot honour, and what the schema
    // translation and the transcript builder throw. Takes the request's tools: each one is let go as soon as
    // the model's view of it is made, so that a request's schemas and their translations are never all held
    // at once (a request may carry hundreds of thousands of tools).
    PreparedRequest prepare(ChatCompletionRequest& request) const;
    // The JSON text of the answer; throws preparation and model errors.
    std::string complete(ChatCompletionRequest request) const;
    // Sends every frame of the answer through send. Throws when nothing could be sent, and whatever send
    // throws; after the first content frame, model errors end the stream with an error frame instead.
    void streamCompletion(ChatCompletionRequest request, const FrameSender& send) const;

private:
    std::shared_ptr<const model::SystemLanguageModel> model_;
};

} // namespace brindle
