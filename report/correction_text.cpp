#include "report/correction_text.h"

namespace vrel {
namespace {

std::string ColourText(const BackdropColour& c) {
    if (c.name == "white") {
        return "白色";
    }
    if (c.name == "blue") {
        return "蓝色";
    }
    return c.name + " 色";
}

} // namespace

std::string StepText(CorrectionStep step, const BackdropColour& backdrop) {
    switch (step) {
    case CorrectionStep::Convert:
        return "转换格式与大小";
    case CorrectionStep::Reframe:
        return "重新裁剪构图";
    case CorrectionStep::Backdrop:
        return "更换为" + ColourText(backdrop) + "背景";
    case CorrectionStep::Straighten:
        return "校正头部倾斜";
    }
    return "";
}

std::string StepsText(const std::vector<CorrectionStep>& steps, const BackdropColour& backdrop) {
    std::string text;
    for (const CorrectionStep step : steps) {
        text += (text.empty() ? "" : "、") + StepText(step, backdrop);
    }
    return text;
}

std::string CorrectionWarningText(const std::string& warning) {
    if (warning == kWarningEnlarged) {
        return "照片细节不足，可能是放大得到的，建议提交原始照片";
    }
    return warning;
}

} // namespace vrel
