#pragma once
// The one table from an error to what the client sees: status, message, OpenAI type and code.

#include "BrindleKit/CompletionEngine.h"
#include "BrindleModel/LanguageModel.h"

#include <cstdint>
#include <exception>
#include <optional>
#include <string>

namespace brindle {

struct MappedError {
    std::int64_t status;
    std::string message;
    std::string type;
    std::optional<std::string> code;
    // The ErrorBody JSON of message, type and code; never fails ("{}" at worst).
    std::string bodyJSON() const;
};

namespace ErrorMapper {
// Never fails: build errors and invalid parameters are 400, model errors by their case, tool-call errors and
// the rest 500.
MappedError map(std::exception_ptr error);
MappedError map(const model::GenerationError& error);
MappedError contextLengthExceeded(const std::optional<std::string>& detail);

// The one writer of the event that ends a stream already begun: the message, type and code of map(error),
// the status having gone out as 200 with the stream's head. Nothing follows it, not even the done marker.
// Throws what send throws.
void sendErrorFrame(const CompletionEngine::FrameSender& send, std::exception_ptr error);

// The text form of an error: its what(), or its type's name when it has none.
std::string describe(std::exception_ptr error);
} // namespace ErrorMapper

} // namespace brindle
