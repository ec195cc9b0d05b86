#include "check/settings.h"

#include <ini.h>

#include <cctype>
#include <charconv>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <map>
#include <sstream>

namespace vrel {
namespace {

std::string Lower(std::string s) {
    for (char& c : s) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return s;
}

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// Key values of section zpshcs; the first occurrence of a key wins, names are matched
// without regard to letter case.
using ValueMap = std::map<std::string, std::string>;

int OnIniValue(void* user, const char* section, const char* name, const char* value) {
    auto* values = static_cast<ValueMap*>(user);
    if (Lower(section) == "zpshcs" && name != nullptr && value != nullptr) {
        values->emplace(Lower(name), value);
    }
    return 1; // keep going whatever the line held
}

} // namespace

int32_t ParseIntValue(const std::string& text, int32_t fallback) {
    size_t i = 0;
    while (i < text.size() && IsSpace(text[i])) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    if (i >= text.size() || !std::isdigit(static_cast<unsigned char>(text[i]))) {
        return fallback;
    }
    int64_t value = 0;
    constexpr int64_t kCap = int64_t{std::numeric_limits<int32_t>::max()} + 1;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > kCap) {
            value = kCap;
        }
    }
    if (negative) {
        value = -value;
    }
    if (value > std::numeric_limits<int32_t>::max()) {
        value = std::numeric_limits<int32_t>::max();
    }
    return static_cast<int32_t>(value);
}

float ParseFloatValue(const std::string& full) {
    const std::string text = full.substr(0, 19);
    size_t i = 0;
    while (i < text.size() && IsSpace(text[i])) {
        ++i;
    }
    std::string number;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        if (text[i] == '-') {
            number += '-';
        }
        ++i;
    }
    auto digits = [&](std::string& out) {
        size_t n = 0;
        while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
            out += text[i++];
            ++n;
        }
        return n;
    };
    size_t mantissa = digits(number);
    if (i < text.size() && text[i] == '.') {
        std::string fraction = ".";
        ++i;
        mantissa += digits(fraction);
        number += fraction;
    }
    if (mantissa == 0) {
        return 0.0f;
    }
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        const size_t save = i;
        std::string exponent = "e";
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
            exponent += text[i++];
        }
        if (digits(exponent) > 0) {
            number += exponent;
        } else {
            i = save;
        }
    }
    double value = 0.0;
    const auto result = std::from_chars(number.data(), number.data() + number.size(), value);
    if (result.ec == std::errc::result_out_of_range) {
        // Overflow saturates to infinity, underflow to zero, as the C library's conversion does.
        value = std::strtod(number.c_str(), nullptr);
    } else if (result.ec != std::errc()) {
        return 0.0f;
    }
    return static_cast<float>(value);
}

CheckSettings ParseCheckSettings(const std::string& text) {
    ValueMap values;
    ini_parse_string(text.c_str(), &OnIniValue, &values);

    CheckSettings s;
    auto readInt = [&](const char* key, int32_t& field) {
        auto it = values.find(key);
        if (it != values.end()) {
            field = ParseIntValue(it->second, field);
        }
    };
    auto readFloat = [&](const char* key, float& field) {
        auto it = values.find(key);
        field = it != values.end() ? ParseFloatValue(it->second) : 0.0f;
    };
    readInt("min_width", s.min_width);
    readInt("max_width", s.max_width);
    readInt("min_height", s.min_height);
    readInt("max_height", s.max_height);
    readInt("pic_min_size", s.pic_min_size);
    readInt("pic_max_size", s.pic_max_size);
    readInt("pic_out_min_size", s.pic_out_min_size);
    readInt("pic_out_max_size", s.pic_out_max_size);
    readInt("dst_width", s.dst_width);
    readInt("dst_height", s.dst_height);
    readInt("face_left_right_dif", s.face_left_right_dif);
    readFloat("ratio_y_min", s.ratio_y_min);
    readFloat("ratio_y_max", s.ratio_y_max);
    readFloat("ratio_x_min", s.ratio_x_min);
    readFloat("ratio_x_max", s.ratio_x_max);
    readFloat("s_min", s.s_min);
    readFloat("i_min", s.i_min);
    readFloat("i_max", s.i_max);
    readFloat("blue_h_min", s.blue_h_min);
    readFloat("blue_h_max", s.blue_h_max);
    readFloat("blue_s_min", s.blue_s_min);
    readFloat("blue_s_max", s.blue_s_max);
    readInt("jc_row", s.jc_row);
    readInt("jc_col", s.jc_col);
    readInt("jc_precision", s.jc_precision);
    readInt("cast", s.cast);
    readInt("bgc", s.bgc);
    return s;
}

std::optional<CheckSettings> LoadCheckSettings(const std::string& app_dir) {
    return ReadCheckSettingsFile(app_dir + kSettingsFileName);
}

std::optional<CheckSettings> ReadCheckSettingsFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream buffer;
    buffer << in.rdbuf();
    return ParseCheckSettings(buffer.str());
}

} // namespace vrel
