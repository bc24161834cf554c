#include "BrindleKit/ToolBridge.h"

#include <gtest/gtest.h>

#include <string>

namespace brindle {
namespace {

JSONValue json(std::string_view text) { return JSONCoding::decoder().decode<JSONValue>(text); }

TEST(ProxyTool, OffersTheClientToolAndHandsEveryCallBack) {
    ProxyTool ping(FunctionSpec{"ping", std::nullopt, std::nullopt});
    EXPECT_EQ(ping.description(), "");
    EXPECT_EQ(ping.parameters().root().kind(), model::DynamicGenerationSchema::Kind::string) << "from {}";
    ProxyTool weather(FunctionSpec{"get_weather", "Look up", json(R"({"type":"object","properties":{"city":{}}})")});
    EXPECT_EQ(weather.parameters().root().name(), "get_weather");
    EXPECT_THROW(ProxyTool(FunctionSpec{"f", {}, json(R"({"type":"object","properties":{"f":{"type":"object"}}})")}),
                 model::GenerationSchema::SchemaError);

    EXPECT_EQ(weather.call(model::GeneratedContent::fromJSON(R"({"city":"Paris"})")), std::nullopt);
}

} // namespace
} // namespace brindle
