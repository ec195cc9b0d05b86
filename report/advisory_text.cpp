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

// The same with a word before the numbers ("偏小" or "偏大").
std::string Format(const char* pattern, const char* word, double a, double b) {
    char text[256];
    std::snprintf(text, sizeof text, pattern, word, a, b);
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
    case Advisory::EyesClosed:
        return Format("眼睛像是闭着或半闭（睁眼程度 %.2f，应不小于 %.2f）：请睁开双眼重新拍摄",
                      n.measure, n.bound);
    case Advisory::MouthOpen:
        return Format("嘴巴张开或露出牙齿（张口程度 %.2f，应不大于 %.2f）：请闭上嘴、表情自然",
                      n.measure, n.bound);
    case Advisory::Yaw:
        return Format("头部向一侧转动约 %.0f°（应不超过 %.0f°）：请正对镜头", std::fabs(n.measure),
                      std::fabs(n.bound));
    case Advisory::Pitch:
        return Format("头部%s约 %.0f°（应不超过 %.0f°）：请平视镜头",
                      n.measure > 0 ? "低下" : "抬起", std::fabs(n.measure), std::fabs(n.bound));
    case Advisory::Gaze:
        return Format("眼睛没有看镜头（眼珠偏离眼睛中央 %.0f%%，应不超过 %.0f%%）：请直视镜头",
                      100 * std::fabs(n.measure), 100 * std::fabs(n.bound));
    case Advisory::HeadSize:
        return Format("头部在照片中%s（眼睛到下巴占照片高度的 %.0f%%，界限 %.0f%%）",
                      n.measure < n.bound ? "偏小" : "偏大", 100 * n.measure, 100 * n.bound);
    case Advisory::EyeLine:
        return Format("眼睛在照片中的位置%s（距上边缘占照片高度的 %.0f%%，界限 %.0f%%）",
                      n.measure < n.bound ? "偏高" : "偏低", 100 * n.measure, 100 * n.bound);
    }
    return std::string();
}

std::string FaceCheckText(const FaceCheck& check, const std::vector<cv::Rect>& cascade_faces) {
    std::string text;
    size_t real = 0;
    for (size_t i = 0; i < cascade_faces.size(); ++i) {
        if (i < check.confirmed.size() && check.confirmed[i]) {
            ++real;
            continue;
        }
        const cv::Rect& r = cascade_faces[i];
        char line[160];
        std::snprintf(line, sizeof line, "%s检测到的第 %zu 张人脸（x %d，y %d）不是人脸",
                      text.empty() ? "" : "；", i + 1, r.x + r.width / 2, r.y + r.height / 2);
        text += line;
    }
    char tail[200];
    if (cascade_faces.empty()) {
        std::snprintf(tail, sizeof tail, "人脸网络在照片中找到 %zu 张人脸",
                      check.network_faces.size());
    } else if (text.empty()) {
        std::snprintf(tail, sizeof tail, "人脸网络确认检测到的 %zu 张都是人脸", real);
    } else {
        std::snprintf(tail, sizeof tail, "；人脸网络确认的人脸有 %zu 张", real);
    }
    return "人脸核对：" + text + tail;
}

} // namespace vrel
