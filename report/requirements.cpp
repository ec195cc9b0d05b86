#include "report/requirements.h"

#include "check/check_run.h"
#include "correct/backdrop_colour.h"
#include "report/messages.h"

#include <sstream>

namespace vrel {
namespace {

// A light grey wall as cameras see one.
const BackdropColour kLightGrey{"#d3d3d3", cv::Vec3b(211, 211, 211)};

std::string Number(double v) {
    std::ostringstream out;
    out << v;
    return out.str();
}

std::string Range(int low, int high) {
    return low == high ? std::to_string(low) : std::to_string(low) + "～" + std::to_string(high);
}

} // namespace

Requirements RequirementsOf(const CheckSettings& s) {
    Requirements r;
    r.min_width = s.min_width;
    r.max_width = s.max_width;
    r.min_height = s.min_height;
    r.max_height = s.max_height;
    r.min_aspect = kMinAspect;
    r.max_aspect = kMaxAspect;
    r.min_kb = s.pic_min_size;
    if (s.pic_max_size >= 0) {
        r.max_kb = s.pic_max_size;
    }
    r.saved_width = s.dst_width;
    r.saved_height = s.dst_height;
    r.saved_min_kb = s.pic_out_min_size;
    r.saved_max_kb = s.pic_out_max_size;
    r.white = BackdropColourAccepted(WhiteBackdrop(), s);
    r.light_grey = BackdropColourAccepted(kLightGrey, s);
    r.light_blue = s.bgc == 1 && BackdropColourAccepted(BlueBackdrop(), s);
    r.pass_all = s.cast == 1;
    return r;
}

std::vector<std::string> RequirementSentences(const Requirements& r) {
    std::vector<std::string> sentences;
    sentences.push_back(
        "照片须为 JPG（JPEG）格式；PNG、WebP、BMP、TIFF 格式的照片可用自动修正转换");
    sentences.push_back("宽 " + Range(r.min_width, r.max_width) + " 像素、高 " +
                        Range(r.min_height, r.max_height) + " 像素；竖版，高宽比大于 " +
                        Number(r.min_aspect) + "、小于 " + Number(r.max_aspect));
    if (r.max_kb) {
        sentences.push_back("文件大小 " + Range(r.min_kb, *r.max_kb) + " KB");
    } else if (r.min_kb > 0) {
        sentences.push_back("文件大小不小于 " + std::to_string(r.min_kb) + " KB");
    }
    std::vector<std::string> walls;
    if (r.white) {
        walls.push_back("白色");
    }
    if (r.light_grey) {
        walls.push_back("浅灰色");
    }
    if (r.light_blue) {
        walls.push_back("浅蓝色");
    }
    std::string backdrop;
    for (size_t i = 0; i < walls.size(); ++i) {
        backdrop += (i == 0 ? "" : i + 1 == walls.size() ? "或" : "、") + walls[i];
    }
    sentences.push_back(walls.empty() ? "背景颜色：这些设置不接受任何纯色背景，请联系报名单位"
                                      : "背景为纯" + backdrop + "，照片两个上角不要有其他物体");
    sentences.push_back("照片中只有一个人脸，正面、居中，大小和位置合适");
    sentences.push_back("审核通过的照片保存为 " + std::to_string(r.saved_width) + "×" +
                        std::to_string(r.saved_height) + " 像素、" +
                        Range(r.saved_min_kb, r.saved_max_kb) + " KB 的 JPEG 文件");
    if (r.pass_all) {
        sentences.push_back("注意：这些设置使每张 JPEG 照片不经检查即通过");
    }
    return sentences;
}

nlohmann::ordered_json RequirementsToJson(const Requirements& r,
                                          const std::vector<SettingsWarning>& warnings) {
    using Json = nlohmann::ordered_json;
    Json json;
    json["formats"] = Json::array({"JPEG"});
    json["converted"] = Json::array({"PNG", "WebP", "BMP", "TIFF"});
    json["pixels"] = {{"min_width", r.min_width},   {"max_width", r.max_width},
                      {"min_height", r.min_height}, {"max_height", r.max_height},
                      {"min_aspect", r.min_aspect}, {"max_aspect", r.max_aspect}};
    json["file_kb"] = {{"min", r.min_kb}, {"max", r.max_kb ? Json(*r.max_kb) : Json()}};
    json["saved"] = {{"width", r.saved_width},
                     {"height", r.saved_height},
                     {"min_kb", r.saved_min_kb},
                     {"max_kb", r.saved_max_kb}};
    json["backdrops"] = {
        {"white", r.white}, {"light_grey", r.light_grey}, {"light_blue", r.light_blue}};
    json["pass_all"] = r.pass_all;
    json["sentences"] = RequirementSentences(r);
    Json listed = Json::array();
    for (const SettingsWarning& w : warnings) {
        listed.push_back(
            {{"key", w.key}, {"text", SettingsWarningText(w)}, {"line", WarningLine(w)}});
    }
    json["warnings"] = listed;
    return json;
}

} // namespace vrel
