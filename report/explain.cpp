#include "report/explain.h"

#include "check/face.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>

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

std::string WithError(const std::string& text, const std::string& error) {
    return error.empty() ? text : text + "（" + error + "）";
}

void PixelSize(Explanation& e, const ReviewResult& result, const CheckSettings& s) {
    const ReviewMeasures& m = result.measures;
    const int w = m.width.value_or(0), h = m.height.value_or(0);
    auto& why = e.why;
    why["measure"] = "pixel_size";
    why["failed"] = RuleName(result.failed.rule);
    why["width"] = w;
    why["height"] = h;
    why["ratio"] = FloatJson(static_cast<float>(static_cast<double>(h) / w));
    why["width_range"] = {s.min_width, s.max_width};
    why["height_range"] = {s.min_height, s.max_height};
    why["ratio_range"] = {kMinAspect, kMaxAspect};
    e.text =
        WithError("照片 " + Int(w) + "×" + Int(h) + " 像素：宽须在 " + Int(s.min_width) + "–" +
                      Int(s.max_width) + "、高须在 " + Int(s.min_height) + "–" + Int(s.max_height) +
                      " 之间，高宽比 " + Num(static_cast<double>(h) / w, 2) + " 须大于 " +
                      Num(kMinAspect, 0) + " 且小于 " + Num(kMaxAspect, 0),
                  result.error.Detail());
}

void Background(Explanation& e, const ReviewResult& result, const CheckSettings& s) {
    auto& why = e.why;
    why["measure"] = "background_pixel";
    if (!result.measures.background_pixel) {
        why["region"] = "empty";
        e.text = "背景取样区为空（jc_row 或 jc_col 不大于 0）";
        return;
    }
    const BackgroundPixel& p = *result.measures.background_pixel;
    why["strip"] = p.strip == Strip::Left ? "left" : "right";
    why["row"] = p.row;
    why["col"] = p.col;
    why["hue"] = p.hue;
    why["saturation"] = FloatJson(p.saturation);
    why["value"] = FloatJson(p.value);
    why["white_rule"] = {{"saturation_below", FloatJson(s.s_min)},
                         {"value_above", FloatJson(s.i_max)}};
    e.text = std::string(p.strip == Strip::Left ? "左" : "右") + "上角第 " + Int(p.row) + " 行第 " +
             Int(p.col) + " 列像素不是白色：饱和度 " + Num(p.saturation) + "（须小于 " +
             Num(s.s_min) + "），亮度 " + Num(p.value) + "（须大于 " + Num(s.i_max) + "）";
    if (s.bgc == 1) {
        why["blue_rule"] = {
            {"hue_range", {FloatJson(s.blue_h_min), FloatJson(s.blue_h_max)}},
            {"saturation_range", {FloatJson(s.blue_s_min), FloatJson(s.blue_s_max)}},
            {"value_above", FloatJson(s.i_min)}};
        e.text += "；也不是蓝色：色调 " + Int(p.hue) + "（须在 " + Num(s.blue_h_min, 0) + "–" +
                  Num(s.blue_h_max, 0) + "），饱和度须在 " + Num(s.blue_s_min) + "–" +
                  Num(s.blue_s_max) + "，亮度须大于 " + Num(s.i_min);
    }
}

void FileSize(Explanation& e, const ReviewResult& result) {
    const FailedRule& f = result.failed;
    const auto size = static_cast<int64_t>(result.measures.file_size.value_or(0));
    const auto min = static_cast<int64_t>(f.min.value_or(0));
    e.why["measure"] = "file_size";
    e.why["value"] = size;
    e.why["min"] = min;
    e.text = "文件大小 " + Int(size) + " 字节，须";
    if (!f.max) {
        e.why["max"] = nullptr;
        e.text += "不小于 " + Int(min) + " 字节";
    } else {
        const auto max = static_cast<int64_t>(*f.max);
        e.why["max"] = max;
        e.text += "在 " + Int(min) + " 与 " + Int(max) + " 字节之间";
    }
}

void DecodeCeiling(Explanation& e, const ReviewResult& result) {
    const ReviewMeasures& m = result.measures;
    const auto max = static_cast<int64_t>(result.failed.max.value_or(0));
    e.why["measure"] = "decode_ceiling";
    e.why["value"] = static_cast<int64_t>(result.failed.value);
    e.why["max"] = max;
    e.text = "照片声明 " + Int(m.width.value_or(0)) + "×" + Int(m.height.value_or(0)) +
             " 像素，超过可解码的 " + Int(max) + " 像素，不予解码";
}

void Faces(Explanation& e, const ReviewResult& result) {
    const int faces = result.measures.faces.value_or(0);
    e.why["measure"] = "faces";
    e.why["value"] = faces;
    e.why["expected"] = 1;
    e.text = faces == 0 ? "未检测到正面人脸，须恰好一张"
                        : "检测到 " + Int(faces) + " 张人脸，须恰好一张";
}

// A face ratio outside its open interval.
void Ratio(Explanation& e, const FailedRule& f, const char* measure, const char* what) {
    const float min = static_cast<float>(f.min.value_or(0)),
                max = static_cast<float>(f.max.value_or(0));
    e.why["measure"] = measure;
    e.why["value"] = FloatJson(static_cast<float>(f.value));
    e.why["range"] = {FloatJson(min), FloatJson(max)};
    e.text = std::string(what) + Num(f.value) + " 不在 " + Num(min) + " 与 " + Num(max) + " 之间";
}

void Centring(Explanation& e, const FailedRule& f) {
    const auto d = static_cast<int64_t>(f.value), bound = static_cast<int64_t>(f.max.value_or(0));
    e.why["measure"] = "centre_diff";
    e.why["value"] = d;
    e.why["bound"] = bound;
    e.text = "人脸左右边距相差 " + Int(d) + " 像素，其绝对值须小于 " + Int(bound) + " 像素";
}

} // namespace

nlohmann::json FloatJson(float value) {
    char buffer[32];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
    return std::strtod(std::string(buffer, end).c_str(), nullptr);
}

Explanation Explain(const ReviewResult& result, const CheckSettings& s) {
    Explanation e;
    const FailedRule& f = result.failed;
    auto simple = [&](const char* measure, std::string text) {
        e.why["measure"] = measure;
        e.text = std::move(text);
    };
    switch (f.rule) {
    case Rule::None:
        break;
    case Rule::Readable:
        simple("readable", "文件无法读取：" + result.error.Detail());
        break;
    case Rule::Signature:
        simple("signature", "文件开头不是 JPEG 标记 FF D8");
        e.why["expected"] = "FF D8";
        break;
    case Rule::FileSize:
        FileSize(e, result);
        break;
    case Rule::Width:
    case Rule::Height:
    case Rule::Aspect:
        PixelSize(e, result, s);
        break;
    case Rule::DecodeCeiling:
        DecodeCeiling(e, result);
        break;
    case Rule::Undecodable:
        simple("decode", WithError("照片内容无法解码", result.error.Detail()));
        break;
    case Rule::Damaged:
        simple("damaged", "照片文件已损坏：压缩数据在图像完整之前就结束了（文件可能没有完整传输"
                          "或保存），请重新导出或重新提交照片");
        break;
    case Rule::Settings:
        simple("settings", WithError("设置无法把照片缩放到规定尺寸", result.error.Detail()));
        break;
    case Rule::ReviewFailed:
        simple("review", WithError("照片无法处理", result.error.Detail()));
        break;
    case Rule::Background:
    case Rule::BackgroundRegion:
        Background(e, result, s);
        break;
    case Rule::FaceCount:
        Faces(e, result);
        break;
    case Rule::RatioY:
        Ratio(e, f, "ratio_y", "纵向比例（下颌线以下占照片高度）");
        break;
    case Rule::RatioX:
        Ratio(e, f, "ratio_x", "横向比例（人脸两侧占照片宽度）");
        break;
    case Rule::Centring:
        Centring(e, f);
        break;
    }
    return e;
}

} // namespace vrel
