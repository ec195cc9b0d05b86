#include "report/explain.h"

#include "check/borders.h"

#include "check/face.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <optional>

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

// What to do, then what was measured against which bound, for the operator.
std::string Advice(const std::string& what_to_do, const std::string& measured) {
    return what_to_do + "（" + measured + "）";
}

// A file that is not a JPEG, named for what it is, with how to get a JPEG.
std::string NotJpegAdvice(std::optional<FileKind> kind) {
    const char* convertible = "请另存为或导出为 JPG 格式后再提交，也可以用“自动修正”转换";
    switch (kind.value_or(FileKind::Unknown)) {
    case FileKind::Empty:
        return "文件是空的（0 "
               "字节），可能没有保存完整或下载失败：请重新选择、重新导出或重新拍摄照片";
    case FileKind::Heif:
        return "这是 HEIC/HEIF 格式的照片（苹果手机的默认格式），不是 JPG：请在手机“设置 › 相机 › "
               "格式”中选择“兼容性最佳”后重新拍摄，或把照片导出为 JPG 后再提交";
    case FileKind::Png:
        return std::string("这是 PNG 格式的图片，不是 JPG：") + convertible;
    case FileKind::Webp:
        return std::string("这是 WebP 格式的图片，不是 JPG：") + convertible;
    case FileKind::Bmp:
        return std::string("这是 BMP 格式的图片，不是 JPG：") + convertible;
    case FileKind::Tiff:
        return std::string("这是 TIFF 格式的图片，不是 JPG：") + convertible;
    case FileKind::Gif:
        return "这是 GIF 格式的图片，不是照片：请提交 JPG 格式的照片";
    case FileKind::Pdf:
        return "这是 PDF 文档，不是照片：请提交 JPG 格式的照片";
    case FileKind::Jpeg:
    case FileKind::Unknown:
        break;
    }
    return "这个文件不是 JPG 照片：请提交 JPG 或 JPEG 格式的照片";
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
    const bool small = w < s.min_width || h < s.min_height;
    const bool large = w > s.max_width || h > s.max_height;
    const std::string advice =
        small
            ? "照片像素太少：请提交相机或手机拍摄的原始照片，不要截图、缩小或用聊天软件转发后的图片"
        : large ? "照片像素太多：请缩小后再提交，或用“自动修正”缩放"
                : "照片比例不对：须为竖版，高大于宽、又小于宽的 2 "
                  "倍；请裁剪为竖版证件照，或用“自动修正”";
    e.text = Advice(advice, "照片 " + Int(w) + "×" + Int(h) + " 像素：宽须在 " + Int(s.min_width) +
                                "–" + Int(s.max_width) + "、高须在 " + Int(s.min_height) + "–" +
                                Int(s.max_height) + " 之间，高宽比 " +
                                Num(static_cast<double>(h) / w, 2) + " 须大于 " +
                                Num(kMinAspect, 0) + " 且小于 " + Num(kMaxAspect, 0));
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
    std::string measured = std::string(p.strip == Strip::Left ? "左" : "右") + "上角第 " +
                           Int(p.row) + " 行第 " + Int(p.col) + " 列像素不是白色：饱和度 " +
                           Num(p.saturation) + "（须小于 " + Num(s.s_min) + "），亮度 " +
                           Num(p.value) + "（须大于 " + Num(s.i_max) + "）";
    if (s.bgc == 1) {
        why["blue_rule"] = {
            {"hue_range", {FloatJson(s.blue_h_min), FloatJson(s.blue_h_max)}},
            {"saturation_range", {FloatJson(s.blue_s_min), FloatJson(s.blue_s_max)}},
            {"value_above", FloatJson(s.i_min)}};
        measured += "；也不是蓝色：色调 " + Int(p.hue) + "（须在 " + Num(s.blue_h_min, 0) + "–" +
                    Num(s.blue_h_max, 0) + "），饱和度须在 " + Num(s.blue_s_min) + "–" +
                    Num(s.blue_s_max) + "，亮度须大于 " + Num(s.i_min);
    }
    const char* walls = s.bgc == 1 ? "白色、浅灰色或浅蓝色" : "白色或浅灰色";
    // A corner whose colour is neutral enough but too dark: the light, not the wall, is at
    // fault (or the wall is a dark grey).
    const bool dark = p.saturation < s.s_min && p.value <= s.i_max;
    const std::string advice =
        dark ? std::string("背景太暗（照片太暗，或背景是深灰色）：请在") + walls +
                   "背景前、光线充足处拍摄，不要逆光；也可以用“自动修正”更换背景"
             : std::string("背景颜色不符合要求：请在") + walls +
                   "纯色背景前拍摄，照片两个上角不要有其他物体；也可以用“自动修正”更换背景";
    e.text = Advice(advice, measured);
}

void FileSize(Explanation& e, const ReviewResult& result) {
    const FailedRule& f = result.failed;
    const auto size = static_cast<int64_t>(result.measures.file_size.value_or(0));
    const auto min = static_cast<int64_t>(f.min.value_or(0));
    e.why["measure"] = "file_size";
    e.why["value"] = size;
    e.why["min"] = min;
    std::string measured = "文件大小 " + Int(size) + " 字节，须";
    if (!f.max) {
        e.why["max"] = nullptr;
        measured += "不小于 " + Int(min) + " 字节";
    } else {
        const auto max = static_cast<int64_t>(*f.max);
        e.why["max"] = max;
        measured += "在 " + Int(min) + " 与 " + Int(max) + " 字节之间";
    }
    e.text = Advice(size < min ? "照片文件太小，可能被压缩或缩小过：请提交原始照片，不要用聊天软件"
                                 "转发后的图片"
                               : "照片文件太大：请降低保存质量或尺寸后再提交，或用“自动修正”",
                    measured);
}

void DecodeCeiling(Explanation& e, const ReviewResult& result) {
    const ReviewMeasures& m = result.measures;
    const auto max = static_cast<int64_t>(result.failed.max.value_or(0));
    e.why["measure"] = "decode_ceiling";
    e.why["value"] = static_cast<int64_t>(result.failed.value);
    e.why["max"] = max;
    e.text = Advice("照片像素太多，无法处理：请缩小后再提交",
                    "照片声明 " + Int(m.width.value_or(0)) + "×" + Int(m.height.value_or(0)) +
                        " 像素，超过可解码的 " + Int(max) + " 像素，不予解码");
}

void Faces(Explanation& e, const ReviewResult& result) {
    const int faces = result.measures.faces.value_or(0);
    e.why["measure"] = "faces";
    e.why["value"] = faces;
    e.why["expected"] = 1;
    e.text = faces == 0
                 ? Advice("没有找到正面人脸：请正对镜头，露出整张脸，光线均匀，不要戴帽子或墨镜",
                          "未检测到正面人脸，须恰好一张")
                 : Advice("照片中只能有申请人一人：请单独拍摄，背景中也不要有人像或图案",
                          "检测到 " + Int(faces) + " 张人脸，须恰好一张");
}

// A face ratio outside its open interval: too_high says what to do where it is above the
// interval, too_low where below.
void Ratio(Explanation& e, const FailedRule& f, const char* measure, const char* what,
           const char* too_high, const char* too_low) {
    const float min = static_cast<float>(f.min.value_or(0)),
                max = static_cast<float>(f.max.value_or(0));
    e.why["measure"] = measure;
    e.why["value"] = FloatJson(static_cast<float>(f.value));
    e.why["range"] = {FloatJson(min), FloatJson(max)};
    e.text =
        Advice(f.value > max ? too_high : too_low, std::string(what) + Num(f.value) + " 不在 " +
                                                       Num(min) + " 与 " + Num(max) + " 之间");
}

void Centring(Explanation& e, const FailedRule& f) {
    const auto d = static_cast<int64_t>(f.value), bound = static_cast<int64_t>(f.max.value_or(0));
    e.why["measure"] = "centre_diff";
    e.why["value"] = d;
    e.why["bound"] = bound;
    e.text = Advice("头部没有左右居中：请使头部位于照片正中，或用“自动修正”重新构图",
                    "人脸左右边距相差 " + Int(d) + " 像素，其绝对值须小于 " + Int(bound) + " 像素");
}

} // namespace

nlohmann::json FloatJson(float value) {
    char buffer[32];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
    return std::strtod(std::string(buffer, end).c_str(), nullptr);
}

// A photo with plain borders (a screenshot's bars, a scan's margins) fails the tests of the
// normalised photo because of them: the advice is to hand in the photo itself, or to let the
// correction cut them off; the measure stays beside it.
static void BlameBorders(Explanation& e, const ReviewResult& result) {
    switch (result.failed.rule) {
    case Rule::Background:
    case Rule::BackgroundRegion:
    case Rule::FaceCount:
    case Rule::RatioY:
    case Rule::RatioX:
    case Rule::Centring:
        break;
    default:
        return;
    }
    const std::optional<PlainBorders> b = FindPlainBorders(result.normalised);
    if (!b) {
        return;
    }
    e.why["borders"] = {
        {"top", b->top}, {"bottom", b->bottom}, {"left", b->left}, {"right", b->right}};
    const size_t open = e.text.find("（");
    e.text = "照片四周有纯色边框，像是截图或扫描件：请提交照片原图，不要截图；也可以用“自动修正”"
             "裁掉边框" +
             (open == std::string::npos ? std::string() : e.text.substr(open));
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
        simple("readable", "文件无法读取：请确认文件还在、没有被其他程序占用，或重新选择文件");
        break;
    case Rule::Signature:
        simple("signature",
               Advice(NotJpegAdvice(result.measures.file_kind), "文件开头不是 JPEG 标记 FF D8"));
        e.why["expected"] = "FF D8";
        if (result.measures.file_kind) {
            e.why["found"] = FileKindName(*result.measures.file_kind);
        }
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
        simple("decode", "照片内容无法解码，文件可能已损坏或不是照片：请重新导出或重新拍摄照片");
        break;
    case Rule::Damaged:
        simple("damaged", "照片文件已损坏：压缩数据在图像完整之前就结束了（文件可能没有完整传输"
                          "或保存），请重新导出或重新提交照片");
        break;
    case Rule::Settings:
        simple("settings", "设置无法把照片缩放到规定尺寸：请联系报名单位");
        break;
    case Rule::ReviewFailed:
        simple("review", "照片无法处理：请稍后重试，或换一张照片");
        break;
    case Rule::Background:
    case Rule::BackgroundRegion:
        Background(e, result, s);
        break;
    case Rule::FaceCount:
        Faces(e, result);
        break;
    case Rule::RatioY:
        // Much room below the chin: the head is small or high in the photo.
        Ratio(e, f, "ratio_y", "纵向比例（下颌线以下占照片高度）",
              "头部太小或太靠上：请靠近镜头一些，或把照片裁剪得更紧，使头部占照片更大部分",
              "头部太大或太靠下：请离镜头远一些，头顶上方和肩部都要留出空间");
        break;
    case Rule::RatioX:
        // Much room beside the face: the face is small in the photo.
        Ratio(e, f, "ratio_x", "横向比例（人脸两侧占照片宽度）",
              "人脸太小：请靠近镜头一些，或把照片裁剪得更紧",
              "人脸太大：请离镜头远一些，两侧留出空间");
        break;
    case Rule::Centring:
        Centring(e, f);
        break;
    }
    BlameBorders(e, result);
    return e;
}

} // namespace vrel
