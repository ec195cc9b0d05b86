#include "cli/explain.h"

#include "check/face.h"
#include "cli/report.h"

#include <cstdio>

namespace vrel {
namespace {

std::string Num(double value, int decimals = 3) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
    return buffer;
}

std::string Int(int64_t value) {
    return std::to_string(value);
}

} // namespace

Explanation Explain(const ReviewResult& result, const CheckSettings& s) {
    Explanation e;
    const ReviewMeasures& m = result.measures;
    nlohmann::ordered_json& why = e.why;
    switch (result.verdict) {
    case CheckVerdict::NotJpeg:
        why["measure"] = "signature";
        why["expected"] = "FF D8";
        e.text =
            result.error.empty() ? "文件开头不是 JPEG 标记 FF D8" : "文件无法读取：" + result.error;
        break;
    case CheckVerdict::FileSizeOutOfRange: {
        const int64_t min = int64_t{s.pic_min_size} * 1024;
        why["measure"] = "file_size";
        why["value"] = m.file_size.value_or(0);
        why["min"] = min;
        e.text = "文件大小 " + Int(static_cast<int64_t>(m.file_size.value_or(0))) + " 字节，须";
        if (s.pic_max_size < 0) {
            why["max"] = nullptr;
            e.text += "不小于 " + Int(min) + " 字节";
        } else {
            const int64_t max = int64_t{s.pic_max_size} * 1024;
            why["max"] = max;
            e.text += "在 " + Int(min) + " 与 " + Int(max) + " 字节之间";
        }
        break;
    }
    case CheckVerdict::PixelSizeOutOfRange: {
        if (!m.width || (*m.width == 0 && !result.error.empty())) {
            why["measure"] = "decode";
            e.text = "照片内容无法解码" + (result.error.empty() ? "" : "（" + result.error + "）");
            break;
        }
        const int w = *m.width, h = m.height.value_or(0);
        why["measure"] = "pixel_size";
        why["width"] = w;
        why["height"] = h;
        why["ratio"] = FloatJson(static_cast<float>(static_cast<double>(h) / w));
        why["width_range"] = {s.min_width, s.max_width};
        why["height_range"] = {s.min_height, s.max_height};
        why["ratio_range"] = {1.0, 2.0};
        e.text = "照片 " + Int(w) + "×" + Int(h) + " 像素：宽须在 " + Int(s.min_width) + "–" +
                 Int(s.max_width) + "、高须在 " + Int(s.min_height) + "–" + Int(s.max_height) +
                 " 之间，高宽比 " + Num(static_cast<double>(h) / w, 2) + " 须大于 1 且小于 2";
        if (!result.error.empty()) {
            e.text += "（" + result.error + "）";
        }
        break;
    }
    case CheckVerdict::BackgroundRejected: {
        why["measure"] = "background_pixel";
        if (!m.background_pixel) {
            why["region"] = "empty";
            e.text = "背景取样区为空（jc_row 或 jc_col 不大于 0）";
            break;
        }
        const BackgroundPixel& p = *m.background_pixel;
        why["strip"] = p.strip == Strip::Left ? "left" : "right";
        why["row"] = p.row;
        why["col"] = p.col;
        why["hue"] = p.hue;
        why["saturation"] = FloatJson(p.saturation);
        why["value"] = FloatJson(p.value);
        why["white_rule"] = {{"saturation_below", FloatJson(s.s_min)},
                             {"value_above", FloatJson(s.i_max)}};
        e.text = std::string(p.strip == Strip::Left ? "左" : "右") + "上角第 " + Int(p.row) +
                 " 行第 " + Int(p.col) + " 列像素不是白色：饱和度 " + Num(p.saturation) +
                 "（须小于 " + Num(s.s_min) + "），亮度 " + Num(p.value) + "（须大于 " +
                 Num(s.i_max) + "）";
        if (s.bgc == 1) {
            why["blue_rule"] = {
                {"hue_range", {FloatJson(s.blue_h_min), FloatJson(s.blue_h_max)}},
                {"saturation_range", {FloatJson(s.blue_s_min), FloatJson(s.blue_s_max)}},
                {"value_above", FloatJson(s.i_min)}};
            e.text += "；也不是蓝色：色调 " + Int(p.hue) + "（须在 " + Num(s.blue_h_min, 0) + "–" +
                      Num(s.blue_h_max, 0) + "），饱和度须在 " + Num(s.blue_s_min) + "–" +
                      Num(s.blue_s_max) + "，亮度须大于 " + Num(s.i_min);
        }
        break;
    }
    case CheckVerdict::FaceCountWrong:
        why["measure"] = "faces";
        why["value"] = m.faces.value_or(0);
        why["expected"] = 1;
        e.text = m.faces.value_or(0) == 0
                     ? "未检测到正面人脸，须恰好一张"
                     : "检测到 " + Int(m.faces.value_or(0)) + " 张人脸，须恰好一张";
        break;
    case CheckVerdict::PlacementWrong: {
        const float ry = m.ratio_y.value_or(0), rx = m.ratio_x.value_or(0);
        const bool y_ok = s.ratio_y_min < ry && ry < s.ratio_y_max;
        if (!y_ok) {
            why["measure"] = "ratio_y";
            why["value"] = FloatJson(ry);
            why["range"] = {FloatJson(s.ratio_y_min), FloatJson(s.ratio_y_max)};
            e.text = "纵向比例（下颌线以下占照片高度）" + Num(ry) + " 不在 " + Num(s.ratio_y_min) +
                     " 与 " + Num(s.ratio_y_max) + " 之间";
        } else {
            why["measure"] = "ratio_x";
            why["value"] = FloatJson(rx);
            why["range"] = {FloatJson(s.ratio_x_min), FloatJson(s.ratio_x_max)};
            e.text = "横向比例（人脸两侧占照片宽度）" + Num(rx) + " 不在 " + Num(s.ratio_x_min) +
                     " 与 " + Num(s.ratio_x_max) + " 之间";
        }
        break;
    }
    case CheckVerdict::NotCentred:
        why["measure"] = "centre_diff";
        why["value"] = m.centre_diff.value_or(0);
        why["bound"] = s.face_left_right_dif;
        e.text = "人脸左右边距相差 " + Int(m.centre_diff.value_or(0)) + " 像素，其绝对值须小于 " +
                 Int(s.face_left_right_dif) + " 像素";
        break;
    default:
        break;
    }
    return e;
}

} // namespace vrel
