#include "BrindleKit/Availability.h"

namespace brindle {

void AvailabilityStatus::encode(JSONWriter& writer) const {
    writer.beginObject();
    writer.field("available", available);
    writer.field("reason", reason);
    writer.endObject();
}

namespace AvailabilityProbe {

namespace {
// Reasons a later platform adds are reported as "unknown".
std::string reasonText(model::SystemLanguageModel::UnavailableReason reason) {
    using Reason = model::SystemLanguageModel::UnavailableReason;
    switch (reason) {
    case Reason::deviceNotEligible: return "deviceNotEligible";
    case Reason::appleIntelligenceNotEnabled: return "appleIntelligenceNotEnabled";
    case Reason::modelNotReady: return "modelNotReady";
    case Reason::other: return "unknown";
    }
    return "unknown";
}
} // namespace

AvailabilityStatus probe(const model::SystemLanguageModel& model) {
    const auto availability = model.availability();
    if (availability.isAvailable()) return {true, std::nullopt};
    return {false, reasonText(*availability.unavailableReason)};
}

} // namespace AvailabilityProbe
} // namespace brindle
