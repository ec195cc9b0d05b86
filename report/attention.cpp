#include "report/attention.h"

namespace vrel {

Attention AttentionOf(const PhotoRecord& record) {
    if (IsPass(record.verdict)) {
        const auto& notes = record.measures.advisories;
        return notes && !notes->empty() ? Attention::Advised : Attention::Passed;
    }
    if (record.corrected) {
        return Attention::Corrected;
    }
    switch (record.verdict) {
    case CheckVerdict::NotJpeg:
    case CheckVerdict::FileSizeOutOfRange:
    case CheckVerdict::PixelSizeOutOfRange:
    case CheckVerdict::BackgroundRejected:
    case CheckVerdict::FaceCountWrong:
    case CheckVerdict::PlacementWrong:
    case CheckVerdict::NotCentred:
        break;
    default:
        return Attention::Damaged;
    }
    // A JPEG that could not be read or decoded whole is no photo to judge.
    const std::string measure = record.why.is_object() && record.why.contains("measure") &&
                                        record.why["measure"].is_string()
                                    ? record.why["measure"].get<std::string>()
                                    : std::string();
    if (measure == "readable" || measure == "decode" || measure == "damaged" ||
        measure == "review") {
        return Attention::Damaged;
    }
    return Attention::Refused;
}

std::string AttentionLines(const AttentionCounts& c) {
    const auto n = [&](Attention a) { return std::to_string(c[a]); };
    return "  passed: " + std::to_string(c[Attention::Passed] + c[Attention::Advised]) + " (" +
           n(Attention::Advised) +
           " with advisories)\n  corrected, to confirm: " + n(Attention::Corrected) +
           "\n  refused, to tell the applicant: " + n(Attention::Refused) +
           "\n  damaged or unreadable: " + n(Attention::Damaged) +
           "\n  for a person to look at: " + std::to_string(c.ToReview()) + "\n";
}

} // namespace vrel
