#pragma once

#include "check/check_run.h"
#include "check/settings.h"

#include <nlohmann/json.hpp>

#include <string>

namespace vrel {

// Why a photo was rejected, in numbers an operator can pass on: the failing measure and the
// bound it missed, as structured values and as one sentence in Chinese.
struct Explanation {
    std::string text;           // empty for a pass
    nlohmann::ordered_json why; // null for a pass
};

// A single-precision value as JSON, written with the fewest digits that read back as it.
nlohmann::json FloatJson(float value);

Explanation Explain(const ReviewResult& result, const CheckSettings& settings);

} // namespace vrel
