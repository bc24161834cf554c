#include "BrindleKit/ErrorMapping.h"

#include "BrindleBase/JSONValue.h"
#include "BrindleKit/CompletionEngine.h"
#include "BrindleKit/OpenAIModels.h"
#include "BrindleKit/SSEWriter.h"
#include "BrindleKit/TranscriptBuilder.h"

#include <cstdlib>
#include <memory>
#include <typeinfo>

#if __has_include(<cxxabi.h>)
#include <cxxabi.h>
#endif

namespace brindle {

namespace {

constexpr const char* kContextLengthMessage = "This model's maximum context length has been exceeded by the request.";
constexpr const char* kModelNotReadyMessage =
    "The on-device model is not ready. Check Apple Intelligence in System Settings.";
constexpr const char* kGuardrailMessage =
    "The on-device model declined this request (Apple Intelligence safety guardrails).";
constexpr const char* kRateLimitedMessage = "The on-device model is rate limited. Retry shortly.";

// A thrown value that is not a std::exception has no text of its own, so it is described by its type's
// name ("int", "brindle::SomeTag"). Must be called inside a catch handler.
std::string currentExceptionTypeName() {
#if __has_include(<cxxabi.h>)
    if (const std::type_info* type = abi::__cxa_current_exception_type()) {
        int status = 0;
        const std::unique_ptr<char, void (*)(void*)> demangled(
            abi::__cxa_demangle(type->name(), nullptr, nullptr, &status), std::free);
        return status == 0 && demangled ? demangled.get() : type->name();
    }
#endif
    return "unknown exception";
}

// The kinds of answer: each pairs a status with its OpenAI type (and code) once.
MappedError invalidRequest(std::string message, std::optional<std::string> code = std::nullopt) {
    return {400, std::move(message), "invalid_request_error", std::move(code)};
}
MappedError apiError(std::string message, std::int64_t status = 500) {
    return {status, std::move(message), "api_error", std::nullopt};
}
MappedError modelNotReady(std::string message) {
    return {503, std::move(message), "service_unavailable", "model_not_ready"};
}

// No default: a new case must be placed in this table before it compiles without warning.
MappedError mapGenerationError(const model::GenerationError& error) {
    using Case = model::GenerationError::Case;
    switch (error.errorCase) {
    case Case::exceededContextWindowSize: return ErrorMapper::contextLengthExceeded(std::nullopt);
    case Case::assetsUnavailable: return modelNotReady(kModelNotReadyMessage);
    case Case::guardrailViolation: return invalidRequest(kGuardrailMessage, "content_filter");
    case Case::rateLimited: return {429, kRateLimitedMessage, "rate_limit_error", std::nullopt};
    case Case::unsupportedGuide:
    case Case::unsupportedLanguageOrLocale:
    case Case::decodingFailure: // also the engine's answer that is not the JSON object asked for
    case Case::concurrentRequests:
    case Case::refusal: return apiError(error.what());
    }
    return apiError(error.what()); // a value outside the enumeration
}

} // namespace

// The writer replaces invalid UTF-8 with U+FFFD, so the text is always valid UTF-8; only a failed
// encoding falls back to "{}".
std::string MappedError::bodyJSON() const {
    return JSONCoding::encodeString(ErrorBody(message, type, code));
}

namespace ErrorMapper {

MappedError undecodableBody(std::string_view decoderText) {
    return invalidRequest("invalid request body: " + std::string(decoderText));
}

MappedError contextLengthExceeded(const std::optional<std::string>& detail) {
    std::string message = kContextLengthMessage;
    if (detail) message += " " + *detail;
    return invalidRequest(std::move(message), "context_length_exceeded");
}

MappedError notFound(std::string_view method, std::string_view path) {
    return apiError("no route for " + std::string(method) + " " + std::string(path), 404);
}

MappedError modelUnavailable(const std::optional<std::string>& reason) {
    return modelNotReady("The on-device model is unavailable (" + reason.value_or("unknown") +
                         "). Check Apple Intelligence in System Settings.");
}

// First matching type wins, so the more specific types come before std::exception.
MappedError map(std::exception_ptr error) {
    if (!error) return apiError(describe(error));
    try {
        std::rethrow_exception(error);
    } catch (const TranscriptBuilder::BuildError& buildError) {
        return invalidRequest(buildError.what());
    } catch (const CompletionEngine::InvalidParameter& invalid) {
        return invalidRequest(invalid.what());
    } catch (const model::GenerationError& generationError) {
        return mapGenerationError(generationError);
    } catch (const model::ToolCallError& toolCallError) {
        return apiError(std::string("Tool call failed: ") + toolCallError.what());
    } catch (const std::exception& other) {
        return apiError(other.what());
    } catch (...) {
        return apiError(currentExceptionTypeName());
    }
}

void sendErrorFrame(const CompletionEngine::FrameSender& send, std::exception_ptr error) {
    MappedError mapped = map(std::move(error));
    send(SSEWriter::errorFrame(std::move(mapped.message), std::move(mapped.type), std::move(mapped.code)));
}

std::string describe(std::exception_ptr error) {
    if (!error) return "unknown error";
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& described) {
        return described.what();
    } catch (...) {
        return currentExceptionTypeName();
    }
}

} // namespace ErrorMapper

} // namespace brindle
