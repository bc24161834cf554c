#pragma once
// Whether the model can be used right now, asked fresh every time.

#include "BrindleBase/JSONValue.h"
#include "BrindleModel/LanguageModel.h"

#include <optional>
#include <string>

namespace brindle {

struct AvailabilityStatus {
    bool available;
    std::optional<std::string> reason; // absent when available
    void encode(JSONWriter& writer) const;
};

namespace AvailabilityProbe {
// Never fails.
AvailabilityStatus probe(const model::SystemLanguageModel& model);
} // namespace AvailabilityProbe

} // namespace brindle
