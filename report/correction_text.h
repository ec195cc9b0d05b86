#pragma once

#include "correct/correction.h"

#include <string>

namespace vrel {

// One step of a correction in words, in Chinese ("重新裁剪构图"); the backdrop step names its
// colour ("更换为白色背景").
std::string StepText(CorrectionStep step, const BackdropColour& backdrop);

// The steps joined with "、": what the desktop tool and the reports say was done.
std::string StepsText(const std::vector<CorrectionStep>& steps, const BackdropColour& backdrop);

// A warning about a corrected photo in words ("enlarged": little fine detail).
std::string CorrectionWarningText(const std::string& warning);

} // namespace vrel
