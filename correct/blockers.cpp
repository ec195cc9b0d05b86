#include "correct/blockers.h"

#include <algorithm>
#include <iterator>

namespace vrel {
namespace {

// How fundamental a blocker is: what must change first in a new photo.
int Rank(CorrectionRule rule) {
    static const CorrectionRule order[] = {CorrectionRule::Faces,      CorrectionRule::TooSmall,
                                           CorrectionRule::Tilt,       CorrectionRule::Background,
                                           CorrectionRule::SpaceAbove, CorrectionRule::SpaceBelow,
                                           CorrectionRule::SpaceLeft,  CorrectionRule::SpaceRight};
    for (size_t i = 0; i < std::size(order); ++i) {
        if (rule == order[i]) {
            return static_cast<int>(i);
        }
    }
    return static_cast<int>(std::size(order));
}

} // namespace

const char* CorrectionRuleName(CorrectionRule rule) {
    switch (rule) {
    case CorrectionRule::None:
        return "none";
    case CorrectionRule::Passed:
        return "passed";
    case CorrectionRule::Unreadable:
        return "unreadable";
    case CorrectionRule::Damaged:
        return "damaged";
    case CorrectionRule::TooManyPixels:
        return "too_many_pixels";
    case CorrectionRule::Undecodable:
    case CorrectionRule::Stopped:
        return "undecodable";
    case CorrectionRule::Review:
        return "review";
    case CorrectionRule::NotAPhoto:
        return "not_a_photo";
    case CorrectionRule::Transparent:
        return "transparent";
    case CorrectionRule::Faces:
        return "faces";
    case CorrectionRule::TooSmall:
        return "too_small";
    case CorrectionRule::Tilt:
        return "tilt";
    case CorrectionRule::Background:
        return "background";
    case CorrectionRule::SpaceAbove:
        return "space_above";
    case CorrectionRule::SpaceBelow:
        return "space_below";
    case CorrectionRule::SpaceLeft:
        return "space_left";
    case CorrectionRule::SpaceRight:
        return "space_right";
    case CorrectionRule::Writer:
        return "writer";
    case CorrectionRule::Verdict:
        return "verdict";
    }
    return "unknown";
}

bool EndsTheCorrection(CorrectionRule rule) {
    switch (rule) {
    case CorrectionRule::Unreadable:
    case CorrectionRule::Damaged:
    case CorrectionRule::Undecodable:
    case CorrectionRule::Stopped:
    case CorrectionRule::Transparent:
    case CorrectionRule::Writer:
        return true;
    default:
        return false;
    }
}

std::vector<std::pair<const char*, double>> BlockerNumbers::Named() const {
    const std::pair<const char*, const std::optional<double>*> all[] = {
        {"pixels", &pixels},
        {"pixels_max", &pixels_max},
        {"faces", &faces},
        {"enlargement_needed", &enlargement_needed},
        {"enlargement_max", &enlargement_max},
        {"width", &width},
        {"height", &height},
        {"min_width", &min_width},
        {"min_height", &min_height},
        {"roll", &roll},
        {"roll_max", &roll_max},
        {"pixels_missing", &pixels_missing}};
    std::vector<std::pair<const char*, double>> named;
    for (const auto& [name, value] : all) {
        if (*value) {
            named.emplace_back(name, **value);
        }
    }
    return named;
}

void RankBlockers(std::vector<CorrectionBlocker>& blockers) {
    std::stable_sort(blockers.begin(), blockers.end(),
                     [](const auto& a, const auto& b) { return Rank(a.rule) < Rank(b.rule); });
}

} // namespace vrel
