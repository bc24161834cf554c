#include "BrindleKit/ErrorMapping.h"

#include "BrindleKit/ToolBridge.h"
#include "BrindleKit/TranscriptBuilder.h"

#include <gtest/gtest.h>

namespace brindle {
namespace {

using model::GenerationError;
using Case = GenerationError::Case;
using TranscriptBuilder::BuildError;

MappedError generation(Case errorCase) {
    return ErrorMapper::map(std::make_exception_ptr(GenerationError(errorCase, "backend says no")));
}

TEST(ErrorMapper, AnswersEachKindOfErrorFromOneTable) {
    const std::string contextLength = "This model's maximum context length has been exceeded by the request.";
    const auto toolFailed = std::make_exception_ptr(std::runtime_error("socket gone"));
    const auto toolCallError = model::ToolCallError("get_weather", toolFailed);
    const std::optional<std::string> none;
    const struct {
        const char* label;
        MappedError mapped;
        std::int64_t status;
        std::string message, type;
        std::optional<std::string> code;
    } rows[] = {
        {"empty messages", ErrorMapper::map(std::make_exception_ptr(BuildError(BuildError::Kind::emptyMessages,
                                                                               "messages array is empty"))),
         400, "messages array is empty", "invalid_request_error", none},
        {"context window", generation(Case::exceededContextWindowSize), 400, contextLength, "invalid_request_error",
         "context_length_exceeded"},
        {"assets unavailable", generation(Case::assetsUnavailable), 503,
         "The on-device model is not ready. Check Apple Intelligence in System Settings.", "service_unavailable",
         "model_not_ready"},
        {"guardrail", generation(Case::guardrailViolation), 400,
         "The on-device model declined this request (Apple Intelligence safety guardrails).", "invalid_request_error",
         "content_filter"},
        {"rate limited", generation(Case::rateLimited), 429, "The on-device model is rate limited. Retry shortly.",
         "rate_limit_error", none},
        {"other generation case", generation(Case::unsupportedGuide), 500, "backend says no", "api_error", none},
        {"tool call failed", ErrorMapper::map(std::make_exception_ptr(toolCallError)), 500,
         std::string("Tool call failed: ") + toolCallError.what(), "api_error", none},
        {"rejected schema", ErrorMapper::map(std::make_exception_ptr(model::GenerationSchema::SchemaError("dup f"))),
         500, "dup f", "api_error", none},
        {"no error at all", ErrorMapper::map(std::exception_ptr()), 500, "unknown error", "api_error", none},
        {"context length with detail", ErrorMapper::contextLengthExceeded("5000 tokens"), 400,
         contextLength + " 5000 tokens", "invalid_request_error", "context_length_exceeded"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(row.mapped.status, row.status) << row.label;
        EXPECT_EQ(row.mapped.message, row.message) << row.label;
        EXPECT_EQ(row.mapped.type, row.type) << row.label;
        EXPECT_EQ(row.mapped.code, row.code) << row.label;
    }
}

TEST(ErrorMapper, WritesTheErrorBodyWithoutAnAbsentCode) {
    EXPECT_EQ((MappedError{400, "too long", "invalid_request_error", "context_length_exceeded"}).bodyJSON(),
              R"({"error":{"message":"too long","type":"invalid_request_error","code":"context_length_exceeded"}})");
    EXPECT_EQ((MappedError{429, "slow down", "rate_limit_error", std::nullopt}).bodyJSON(),
              R"({"error":{"message":"slow down","type":"rate_limit_error"}})");
}

} // namespace
} // namespace brindle
