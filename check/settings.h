#pragma once

#include "base/error.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

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

    // Optional keys of the photo correction, which the review itself never reads: the face
    // ratios that a corrected photo is framed to, and how far a crop may be enlarged.
    std::optional<float> correct_ratio_y;
    std::optional<float> correct_ratio_x;
    float correct_max_enlarge = 1.5f;
};

inline constexpr const char* kSettingsFileName = "setting.vr";

// Parses the text of a settings file. Absent keys keep their defaults. section_found, where
// given, tells whether the text has a [zpshcs] section at all.
CheckSettings ParseCheckSettings(const std::string& text, bool* section_found = nullptr);

// Reads setting.vr from a folder (ending in '/'; the application directory at start-up);
// std::nullopt when it is missing.
std::optional<CheckSettings> LoadCheckSettings(const std::string& app_dir);

// Reads a settings file; std::nullopt when no file of that path exists or it cannot be read.
std::optional<CheckSettings> ReadCheckSettingsFile(const std::string& path);

// The normalised photo holds at most this many pixels.
inline constexpr int64_t kMaxNormalisedPixels = int64_t{64} * 1000 * 1000;

// A limit in KB as bytes, formed in 64 bits so that no limit wraps.
inline int64_t KilobytesToBytes(int32_t kb) {
    return int64_t{kb} * 1024;
}

// Reads and checks a settings file before any photo is reviewed: the one way every front end
// takes its settings, so that a file that cannot work is refused once instead of rejecting
// each photo with a reason that blames the photo. What keeps a file from being used: NotFound
// (no file of that path), Unreadable (a folder, or a file that cannot be read), Invalid (no
// [zpshcs] section, where every threshold would be a default, or values the review cannot work
// with); the detail says it in plain words, naming the keys.
Result<CheckSettings> LoadSettingsForReview(const std::string& path);

// A problem of settings that the review cannot work with: the normalised size not positive or
// too large to hold (dst_width and dst_height as low and high), or bounds in the wrong order
// (low above high).
struct SettingsProblem {
    enum class Kind { SizeNotPositive, SizeTooLarge, Crossed } kind;
    std::string low_key, high_key;
    double low = 0, high = 0;
};
// Every problem; empty when the settings can be used.
std::vector<SettingsProblem> FindSettingsProblems(const CheckSettings& settings);
// The same in English, for logs and errors.
std::vector<std::string> SettingsProblems(const CheckSettings& settings);

// What a settings file says of itself in its optional [profile] section (title=, source=): the
// name of the exam it is for and where its numbers come from. The review ignores it.
struct SettingsProfile {
    std::string title;
    std::string source;
};
SettingsProfile ReadSettingsProfile(const std::string& text);

// Integer value text: an optional sign and the leading digits ("12abc" is 12); no digits gives
// the fallback. Values beyond the 32-bit range are clamped to it.
int32_t ParseIntValue(const std::string& text, int32_t fallback);

// Float value text: the decimal number at the start of its first 19 characters, 0.0 when
// there is none, narrowed to single precision.
float ParseFloatValue(const std::string& text);

} // namespace vrel
