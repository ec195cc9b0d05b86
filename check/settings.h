#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vrel {

// Thresholds and switches of the review, read from section "zpshcs" of setting.vr.
// Values are kept exactly as read: nothing is range-checked or cross-checked here.
struct CheckSettings {
    int32_t min_width = 480;
    int32_t max_width = 4800;
    int32_t min_height = 640;
    int32_t max_height = 6400;
    int32_t pic_min_size = 0;  // KB
    int32_t pic_max_size = -1; // KB, negative: no upper bound
    int32_t pic_out_min_size = 20;
    int32_t pic_out_max_size = 39;
    int32_t dst_width = 480;
    int32_t dst_height = 640;
    int32_t face_left_right_dif = 10;
    float ratio_y_min = 0.0f;
    float ratio_y_max = 0.0f;
    float ratio_x_min = 0.0f;
    float ratio_x_max = 0.0f;
    float s_min = 0.0f;
    float i_min = 0.0f;
    float i_max = 0.0f;
    float blue_h_min = 0.0f;
    float blue_h_max = 0.0f;
    float blue_s_min = 0.0f;
    float blue_s_max = 0.0f;
    int32_t jc_row = 138;
    int32_t jc_col = 15;
    int32_t jc_precision = 5;
    int32_t cast = 0;
    int32_t bgc = 0;
};

// The message shown when setting.vr is missing.
inline constexpr const char* kMissingSettingsMessage = "setting配置文件丢失！请重新下载程序";
inline constexpr const char* kSettingsFileName = "setting.vr";

// Parses the text of a settings file. Absent keys keep their defaults.
CheckSettings ParseCheckSettings(const std::string& text);

// Reads setting.vr from a folder (ending in '/'; the application directory at start-up);
// std::nullopt when it is missing.
std::optional<CheckSettings> LoadCheckSettings(const std::string& app_dir);

// Reads a settings file; std::nullopt when no file of that path exists or it cannot be read.
std::optional<CheckSettings> ReadCheckSettingsFile(const std::string& path);

// Integer value text: an optional sign and the leading digits ("12abc" is 12); no digits gives
// the fallback. Values beyond the 32-bit range are clamped to it.
int32_t ParseIntValue(const std::string& text, int32_t fallback);

// Float value text: the decimal number at the start of its first 19 characters, 0.0 when
// there is none, narrowed to single precision.
float ParseFloatValue(const std::string& text);

} // namespace vrel
