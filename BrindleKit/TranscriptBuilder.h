#pragma once
// A request's messages become the model's transcript (instructions and earlier turns) and the prompt to
// answer now.

#include "BrindleKit/OpenAIModels.h"
#include "BrindleModel/LanguageModel.h"

#include <stdexcept>
#include <string>
#include <vector>

namespace brindle::TranscriptBuilder {

struct BuildResult {
    model::Transcript transcript;
    std::string prompt;
};

// what() is the message the client sees.
class BuildError : public std::runtime_error {
public:
    enum class Kind { unsupportedContent, emptyMessages };
    BuildError(Kind kind, const std::string& description) : std::runtime_error(description), kind(kind) {}
    Kind kind;
};

// Throws BuildError. Given the model's meter, the transcript holds the turns only up to where the window is
// certainly exceeded, and the turns after are checked without being built: every error is the same as without
// it, and a session refuses such a conversation as it would the whole. The definitions go into the transcript as
// they are: a copy cost a request of a million tools 80 MiB.
BuildResult build(const std::vector<ChatMessage>& messages,
                  std::vector<model::Transcript::ToolDefinition> toolDefinitions, model::ContextMeter* meter = nullptr);

} // namespace brindle::TranscriptBuilder
