#pragma once
// The platform's on-device model, reached through the C bridge of PlatformBridge.h. Everything the server
// relies on lives here in C++: the session description, the reading of the bridge's statuses as the model
// interface's errors, and the transcript the engine searches for tool calls. The Swift side only forwards.

#include "BrindleModel/LanguageModel.h"

#include <memory>
#include <string>
#include <vector>

namespace brindle::model {

class PlatformModel final : public SystemLanguageModel {
public:
    // Asks the platform every time: the answer changes while model assets download.
    Availability availability() const override;
    // Throws GenerationSchema::SchemaError when the platform rejects a tool's schema, std::runtime_error
    // for any other failure to create the session. The tools are called from the platform's threads,
    // possibly concurrently, while a generation runs.
    std::shared_ptr<LanguageModelSession> makeSession(std::vector<std::shared_ptr<Tool>> tools,
                                                      Transcript transcript) const override;
};

namespace PlatformDescription {

// The JSON text the bridge builds a platform session from: the tools with their schema trees, and the
// transcript entries. Throws JSONCoding::EncodingError for a non-finite temperature in a prompt entry.
std::string session(const std::vector<std::shared_ptr<Tool>>& tools, const Transcript& transcript);

// The JSON text of one schema NODE, as a guided generation hands it to the bridge.
std::string schemaNode(const GenerationSchema& schema);

} // namespace PlatformDescription

} // namespace brindle::model
