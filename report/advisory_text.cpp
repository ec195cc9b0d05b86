#include "report/advisory_text.h"

#include <cmath>
#include <cstdio>

namespace vrel {
namespace {

std::string Format(const char* pattern, double a, double b) {
    char text[256];
    std::snprintf(text, sizeof text, pattern, a, b);
    return text;
}

} // namespace

std::string AdvisoryText(const AdvisoryNote& n) {
    switch (n.code) {
    case Advisory::Colour:
        return Format("照片像是黑白照片（人脸色度 %.1f，应不小于 %.1f）：请提交彩色照片", n.measure,
                      n.bound);
    case Advisory::Tint:
        return Format("照片偏色（人脸色调 %.0f°，自然肤色约在 30°～75°，界限 %.0f°）："
                      "请在白光下重新拍摄",
                      n.measure, n.bound);
    case Advisory::Soft:
        return Format("人脸不够清晰，或由小照片放大而来（清晰度 %.2f，应不小于 %.2f）："
                      "请提交原始清晰照片",
                      n.measure, n.bound);
    case Advisory::Compression:
        return Format(
            "照片压缩痕迹明显（块效应 %.2f，应不大于 %.2f）：请提交未经反复压缩的原始照片",
            n.measure, n.bound);
    case Advisory::Underexposed:
        return Format("人脸偏暗（测得 %.2f，界限 %.2f）：请在光线充足处重新拍摄", n.measure,
                      n.bound);
    case Advisory::Overexposed:
        return Format("人脸过亮（测得 %.2f，界限 %.2f）：请避免强光直射或闪光过强", n.measure,
                      n.bound);
    case Advisory::UnevenLight:
        return Format("人脸光照不均（暗侧亮度为亮侧的 %.0f%%，应不小于 %.0f%%）：请避免侧光",
                      100 * n.measure, 100 * n.bound);
    case Advisory::Roll:
        return Format("头部倾斜约 %.0f°（应不超过 %.0f°）：请保持头部端正", std::fabs(n.measure),
                      n.bound);
    }
    return std::string();
}

} // namespace vrel
