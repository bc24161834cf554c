#pragma once
// The one table from a failure to what the client sees: status, message, OpenAI type and code. Every error
// answer of the server, a JSON answer or the event that ends a stream, is a row of it.

#include "BrindleKit/CompletionEngine.h"

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>

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

// The router's own rows: a body that is no chat-completion request (400), a model that cannot be used (503,
// the probe's reason or "unknown"), a method and path without a route (404 whatever the method: there is no 405).
MappedError undecodableBody(std::string_view decoderText);
MappedError modelUnavailable(const std::optional<std::string>& reason);
MappedError notFound(std::string_view method, std::string_view path);
// The answer to an overflowing context window; a detail, when given, follows its fixed sentence after a blank.
MappedError contextLengthExceeded(const std::optional<std::string>& detail);

// The one writer of the event that ends a stream already begun: the message, type and code of map(error),
// the status having gone out as 200 with the stream's head. Nothing follows it, not even the done marker.
// Throws what send throws.
void sendErrorFrame(const CompletionEngine::FrameSender& send, std::exception_ptr error);

// The text form of an error: its what(), or its type's name when it has none.
std::string describe(std::exception_ptr error);
} // namespace ErrorMapper

} // namespace brindle
