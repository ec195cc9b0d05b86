#pragma once

#include "correct/correction.h"

#include <string>

namespace vrel {

// One step of a correction in words, in Chinese ("重新裁剪构图"); the backdrop step names its
// colour ("更换为白色背景").
std::string StepText(CorrectionStep step, const BackdropColour& backdrop);

// The steps joined with "、": what the desktop tool and the reports say was done.
std::string StepsText(const std::vector<CorrectionStep>& steps, const BackdropColour& backdrop);

// The name of a backdrop colour as the choices show it: 白色, 蓝色, or 指定颜色 #rrggbb.
std::string BackdropLabel(const BackdropColour& colour);

// A warning about a corrected photo in words ("enlarged": little fine detail).
std::string CorrectionWarningText(const std::string& warning);

// Why a backdrop was not replaced, in words (empty for None).
std::string BackdropRefusalText(BackdropRefusal refusal);

// One blocker in words, with its numbers and what the applicant can do. review: the verifying
// review of the corrected photo, which a verified blocker explains.
std::string BlockerText(const CorrectionBlocker& blocker, const CheckSettings& settings,
                        const ReviewResult& review);

// Why a photo was not corrected: every blocker's words, joined with "；".
std::string CorrectionReason(const Correction& correction, const CheckSettings& settings);

} // namespace vrel
