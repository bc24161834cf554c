#include "BrindleKit/ErrorMapping.h"

#include "BrindleKit/ToolBridge.h"
#include "BrindleKit/TranscriptBuilder.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace brindle {
namespace errormapping_test {
struct OddThrow {};
} // namespace errormapping_test

namespace {

using model::GenerationError;
using Case = GenerationError::Case;
using TranscriptBuilder::BuildError;

std::exception_ptr generation(Case errorCase) {
    return std::make_exception_ptr(GenerationError(errorCase, "backend says no"));
}

std::string toolCallFailure(std::exception_ptr underlying) {
    return std::string("Tool call failed: ") + model::ToolCallError("get_weather", std::move(underlying)).what();
}

TEST(ErrorMapper, AnswersEachKindOfErrorFromOneTable) {
    const std::string contextLength = "This model's maximum context length has been exceeded by the request.";
    const auto toolFailed = std::make_exception_ptr(std::runtime_error("socket gone"));
    const auto captured = std::make_exception_ptr(CapturedToolCall());
    const std::optional<std::string> none;
    const struct {
        const char* label;
        MappedError mapped;
        std::int64_t status;
        std::string message, type;
        std::optional<std::string> code;
    } rows[] = {
        {"empty messages",
         ErrorMapper::map(
             std::make_exception_ptr(BuildError(BuildError::Kind::emptyMessages, "messages array is empty"))),
         400, "messages array is empty", "invalid_request_error", none},
        {"unsupported content",
         ErrorMapper::map(std::make_exception_ptr(BuildError(BuildError::Kind::unsupportedContent, "user message x"))),
         400, "user message x", "invalid_request_error", none},
        {"context window", ErrorMapper::map(generation(Case::exceededContextWindowSize)), 400, contextLength,
         "invalid_request_error", "context_length_exceeded"},
        {"assets unavailable", ErrorMapper::map(generation(Case::assetsUnavailable)), 503,
         "The on-device model is not ready. Check Apple Intelligence in System Settings.", "service_unavailable",
         "model_not_ready"},
        {"guardrail", ErrorMapper::map(generation(Case::guardrailViolation)), 400,
         "The on-device model declined this request (Apple Intelligence safety guardrails).", "invalid_request_error",
         "content_filter"},
        {"rate limited", ErrorMapper::map(generation(Case::rateLimited)), 429,
         "The on-device model is rate limited. Retry shortly.", "rate_limit_error", none},
        {"unsupported guide", ErrorMapper::map(generation(Case::unsupportedGuide)), 500, "backend says no", "api_error",
         none},
        {"unsupported language", ErrorMapper::map(generation(Case::unsupportedLanguageOrLocale)), 500,
         "backend says no", "api_error", none},
        {"decoding failure", ErrorMapper::map(generation(Case::decodingFailure)), 500, "backend says no", "api_error",
         none},
        {"concurrent requests", ErrorMapper::map(generation(Case::concurrentRequests)), 500, "backend says no",
         "api_error", none},
        {"refusal", ErrorMapper::map(generation(Case::refusal)), 500, "backend says no", "api_error", none},
        {"generation error mapped directly", ErrorMapper::map(GenerationError(Case::rateLimited, "x")), 429,
         "The on-device model is rate limited. Retry shortly.", "rate_limit_error", none},
        {"tool call failed", ErrorMapper::map(std::make_exception_ptr(model::ToolCallError("get_weather", toolFailed))),
         500, toolCallFailure(toolFailed), "api_error", none},
        {"tool call error around a captured call",
         ErrorMapper::map(std::make_exception_ptr(model::ToolCallError("get_weather", captured))), 500,
         toolCallFailure(captured), "api_error", none},
        {"bare captured call", ErrorMapper::map(captured), 500, "CapturedToolCall", "api_error", none},
        {"rejected schema",
         ErrorMapper::map(std::make_exception_ptr(model::GenerationSchema::SchemaError("two types named f"))), 500,
         "two types named f", "api_error", none},
        {"any std::exception", ErrorMapper::map(std::make_exception_ptr(std::logic_error("broken"))), 500, "broken",
         "api_error", none},
        {"a thrown int", ErrorMapper::map(std::make_exception_ptr(42)), 500, "int", "api_error", none},
        {"a thrown struct", ErrorMapper::map(std::make_exception_ptr(errormapping_test::OddThrow{})), 500,
         "brindle::errormapping_test::OddThrow", "api_error", none},
        {"no error at all", ErrorMapper::map(std::exception_ptr()), 500, "unknown error", "api_error", none},
        {"context length with detail", ErrorMapper::contextLengthExceeded("5000 tokens"), 400,
         contextLength + " 5000 tokens", "invalid_request_error", "context_length_exceeded"},
        {"context length without detail", ErrorMapper::contextLengthExceeded(std::nullopt), 400, contextLength,
         "invalid_request_error", "context_length_exceeded"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(row.mapped.status, row.status) << row.label;
        EXPECT_EQ(row.mapped.message, row.message) << row.label;
        EXPECT_EQ(row.mapped.type, row.type) << row.label;
        EXPECT_EQ(row.mapped.code, row.code) << row.label;
    }
}

TEST(ErrorMapper, WritesTheErrorBodyWithoutAnAbsentCode) {
    const struct {
        const char* label;
        MappedError mapped;
        std::string body;
    } cases[] = {
        {"with code",
         {400, "too long", "invalid_request_error", "context_length_exceeded"},
         R"({"error":{"message":"too long","type":"invalid_request_error","code":"context_length_exceeded"}})"},
        {"without code",
         {429, "slow down", "rate_limit_error", std::nullopt},
         R"({"error":{"message":"slow down","type":"rate_limit_error"}})"},
        {"escaped message",
         {500, "say \"hi\"\n/", "api_error", std::nullopt},
         R"({"error":{"message":"say \"hi\"\n/","type":"api_error"}})"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.mapped.bodyJSON(), c.body) << c.label;
}

} // namespace
} // namespace brindle
