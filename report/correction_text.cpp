#include "report/correction_text.h"

#include "report/explain.h"

#include <cmath>
#include <cstdio>

namespace vrel {
namespace {

std::string Fixed(double value, int decimals) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
    return buffer;
}

// What the applicant can do about a wrong backdrop.
std::string BackdropAdvice(const CheckSettings& s) {
    return s.bgc == 1 ? "请在白色、浅灰色或浅蓝色的纯色背景前重新拍摄"
                      : "请在白色或浅灰色的纯色背景前重新拍摄";
}

// A colour within a sentence: a colour of its own is named by its code.
std::string ColourText(const BackdropColour& c) {
    return c.name == "white" || c.name == "blue" ? BackdropLabel(c) : c.name + " 色";
}

} // namespace

std::string BackdropLabel(const BackdropColour& colour) {
    if (colour == WhiteBackdrop()) {
        return "白色";
    }
    if (colour == BlueBackdrop()) {
        return "蓝色";
    }
    char hex[8];
    std::snprintf(hex, sizeof hex, "#%02x%02x%02x", colour.bgr[2], colour.bgr[1], colour.bgr[0]);
    return std::string("指定颜色 ") + hex;
}

std::string StepText(CorrectionStep step, const BackdropColour& backdrop) {
    switch (step) {
    case CorrectionStep::Trim:
        return "裁掉截图或扫描留下的边框";
    case CorrectionStep::Convert:
        return "转换格式与大小";
    case CorrectionStep::Reframe:
        return "重新裁剪构图";
    case CorrectionStep::Backdrop:
        return "更换为" + ColourText(backdrop) + "背景";
    case CorrectionStep::Straighten:
        return "校正头部倾斜";
    case CorrectionStep::Extend:
        return "以纯色背景扩展画面";
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

std::string BackdropRefusalText(BackdropRefusal refusal) {
    switch (refusal) {
    case BackdropRefusal::None:
        return "";
    case BackdropRefusal::Stopped:
        return "更换背景未完成（处理超时或已取消）";
    case BackdropRefusal::BadInput:
        return "照片无法读取";
    case BackdropRefusal::NotAtBottom:
        return "照片不是头肩像（人像未延伸到照片底边）";
    case BackdropRefusal::OtherRegions:
        return "照片中除本人外还有其他人或物体";
    case BackdropRefusal::CutAtTop:
        return "头顶超出照片上边缘";
    case BackdropRefusal::FaceNotOpaque:
        return "面部与背景颜色过于接近";
    case BackdropRefusal::TooTransparent:
        return "人像轮廓不清晰（照片模糊或头发蓬松）";
    case BackdropRefusal::WallLeft:
        return "背景太复杂，人像周围会残留原背景";
    }
    return "原因不明";
}

std::string BlockerText(const CorrectionBlocker& b, const CheckSettings& s,
                        const ReviewResult& review) {
    const std::string px = Fixed(b.numbers.pixels_missing.value_or(0), 0);
    switch (b.rule) {
    case CorrectionRule::None:
        return "";
    case CorrectionRule::Passed:
        return "照片已通过审核，无需修正";
    case CorrectionRule::Unreadable:
        return "文件无法读取，无法修正：请确认文件还在、没有被其他程序占用，或重新选择文件";
    case CorrectionRule::Damaged:
        return "照片文件已损坏（数据不完整），无法修正：请重新提交完整的照片";
    case CorrectionRule::TooManyPixels:
        return "照片像素过多，无法处理";
    case CorrectionRule::Undecodable:
        return "照片内容无法解码，无法修正";
    case CorrectionRule::Stopped:
        return "照片处理时间过长，已停止，无法修正";
    case CorrectionRule::Review:
        return "照片无法处理，无法修正：请稍后重试，或换一张照片";
    case CorrectionRule::NotAPhoto:
        return "文件不是可以识别的照片（支持 JPEG、PNG、WebP、BMP、TIFF）";
    case CorrectionRule::Transparent:
        return "照片含有透明区域，无法修正：请提交不透明的照片（JPEG，或不带透明背景的 PNG）";
    case CorrectionRule::Faces: {
        const int faces = static_cast<int>(b.numbers.faces.value_or(0));
        return faces == 0
                   ? "照片中未找到正面人脸，无法自动修正：请提交正面免冠照片"
                   : "照片中有 " + std::to_string(faces) + " 张人脸，须只有本人一人：请重新拍摄";
    }
    case CorrectionRule::TooSmall:
        if (b.photo_too_small) {
            return "照片太小（" + Fixed(b.numbers.width.value_or(0), 0) + "×" +
                   Fixed(b.numbers.height.value_or(0), 0) + " 像素），最多可放大 " +
                   Fixed(b.numbers.enlargement_max.value_or(0), 1) + " 倍：请提供至少 " +
                   Fixed(b.numbers.min_width.value_or(0), 0) + "×" +
                   Fixed(b.numbers.min_height.value_or(0), 0) + " 像素的原图";
        }
        return "人脸太小：须放大 " + Fixed(b.numbers.enlargement_needed.value_or(0), 2) +
               " 倍才能达到规定尺寸（最多放大 " + Fixed(b.numbers.enlargement_max.value_or(0), 2) +
               " 倍），请靠近镜头重新拍摄，或提交分辨率更高的照片";
    case CorrectionRule::Tilt:
        return "头部倾斜约 " + Fixed(std::abs(b.numbers.roll.value_or(0)), 0) +
               " 度（最多可自动校正 " + Fixed(b.numbers.roll_max.value_or(0), 0) +
               " 度）：请重新拍摄，保持头部端正";
    case CorrectionRule::Background:
        if (b.verified) {
            return "修正后背景仍不合格：" + Explain(review, s).text + "。" + BackdropAdvice(s);
        }
        if (b.backdrop != BackdropRefusal::None) {
            return "背景不是合格的纯色背景，无法自动更换（" + BackdropRefusalText(b.backdrop) +
                   "）：" + BackdropAdvice(s);
        }
        if (!b.detail.empty()) { // the backdrop model is missing or damaged
            return "背景不是合格的纯色背景（这里不能自动更换背景）：" + BackdropAdvice(s);
        }
        return "背景不是合格的纯色背景：" + BackdropAdvice(s);
    case CorrectionRule::SpaceAbove:
        return "头顶上方空间不足（还差约 " + px +
               " 像素），无法按规定构图：请重新拍摄，头顶上方多留些空间";
    case CorrectionRule::SpaceBelow:
        return "下巴以下空间不足（还差约 " + px + " 像素），无法按规定构图：请重新拍摄，拍到肩部";
    case CorrectionRule::SpaceLeft:
    case CorrectionRule::SpaceRight:
        return std::string("人脸太靠近照片") + (b.rule == CorrectionRule::SpaceLeft ? "左" : "右") +
               "边缘（还差约 " + px + " 像素），无法居中：请重新拍摄，让人脸位于画面中央";
    case CorrectionRule::Writer:
        return b.saved_too_large
                   ? "修正后的照片在最低保存质量下仍大于 " + std::to_string(s.pic_out_max_size) +
                         " KB，无法保存：照片细节太多（如背景有纹理），请在纯色背景前重新拍摄"
                   : "修正后的照片无法保存：请稍后重试";
    case CorrectionRule::Verdict:
        return "修正后仍未通过审核（" + std::string(VerdictName(review.verdict)) + "）：" +
               Explain(review, s).text;
    }
    return "";
}

std::string CorrectionReason(const Correction& c, const CheckSettings& s) {
    std::string reason;
    for (const CorrectionBlocker& b : c.blockers) {
        reason += (reason.empty() ? "" : "；") + BlockerText(b, s, c.review);
    }
    return reason;
}

std::string CorrectionWarningText(const std::string& warning) {
    if (warning == kWarningEnlarged) {
        return "照片细节不足，可能是放大得到的，建议提交原始照片";
    }
    return warning;
}

} // namespace vrel
