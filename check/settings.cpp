#include "check/settings.h"

#include "check/settings_text.h"

#include "platform/files.h"

#include <ini.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <memory>
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
struct IniValues {
    std::map<std::string, std::string> values;
    bool section_found = false;
};

int OnIniValue(void* user, const char* section, const char* name, const char* value) {
    auto* ini = static_cast<IniValues*>(user);
    if (Lower(section) != "zpshcs") {
        return 1;
    }
    ini->section_found = true;
    if (name != nullptr && value != nullptr) {
        ini->values.emplace(Lower(name), value);
    }
    return 1; // keep going whatever the line held
}

// A "[zpshcs]" line, for a section that holds no key at all (the parser then calls nobody).
bool HasSectionHeader(const std::string& text) {
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        size_t a = 0, b = line.size();
        while (a < b && IsSpace(line[a])) {
            ++a;
        }
        while (b > a && IsSpace(line[b - 1])) {
            --b;
        }
        // A byte order mark may open the file.
        if (line.compare(a, 3, "\xEF\xBB\xBF") == 0) {
            a += 3;
        }
        if (b - a >= 2 && line[a] == '[' && line[b - 1] == ']') {
            std::string name = line.substr(a + 1, b - a - 2);
            size_t x = 0, y = name.size();
            while (x < y && IsSpace(name[x])) {
                ++x;
            }
            while (y > x && IsSpace(name[y - 1])) {
                --y;
            }
            if (Lower(name.substr(x, y - x)) == "zpshcs") {
                return true;
            }
        }
    }
    return false;
}

std::string Num(double v) {
    std::ostringstream out;
    out << v;
    return out.str();
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

CheckSettings ParseCheckSettings(const std::string& text, bool* section_found) {
    IniValues ini;
    ini_parse_string(text.c_str(), &OnIniValue, &ini);
    if (section_found != nullptr) {
        *section_found = ini.section_found || HasSectionHeader(text);
    }
    const auto& values = ini.values;

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
    auto readOptional = [&](const char* key) -> std::optional<float> {
        auto it = values.find(key);
        return it != values.end() ? std::optional<float>(ParseFloatValue(it->second))
                                  : std::nullopt;
    };
    s.correct_ratio_y = readOptional("correct_ratio_y");
    s.correct_ratio_x = readOptional("correct_ratio_x");
    if (const auto enlarge = readOptional("correct_max_enlarge")) {
        s.correct_max_enlarge = *enlarge;
    }
    return s;
}

std::vector<SettingsProblem> FindSettingsProblems(const CheckSettings& s) {
    std::vector<SettingsProblem> problems;
    using Kind = SettingsProblem::Kind;
    auto order = [&](const char* low_key, double low, const char* high_key, double high) {
        if (low > high) {
            problems.push_back({Kind::Crossed, low_key, high_key, low, high});
        }
    };
    if (s.dst_width <= 0 || s.dst_height <= 0) {
        problems.push_back({Kind::SizeNotPositive, "dst_width", "dst_height", 1.0 * s.dst_width,
                            1.0 * s.dst_height});
    } else if (int64_t{s.dst_width} * s.dst_height > kMaxNormalisedPixels) {
        problems.push_back(
            {Kind::SizeTooLarge, "dst_width", "dst_height", 1.0 * s.dst_width, 1.0 * s.dst_height});
    }
    order("min_width", s.min_width, "max_width", s.max_width);
    order("min_height", s.min_height, "max_height", s.max_height);
    if (s.pic_max_size >= 0) {
        order("pic_min_size", s.pic_min_size, "pic_max_size", s.pic_max_size);
    }
    order("ratio_y_min", s.ratio_y_min, "ratio_y_max", s.ratio_y_max);
    order("ratio_x_min", s.ratio_x_min, "ratio_x_max", s.ratio_x_max);
    if (s.bgc == 1) {
        order("blue_h_min", s.blue_h_min, "blue_h_max", s.blue_h_max);
        order("blue_s_min", s.blue_s_min, "blue_s_max", s.blue_s_max);
    }
    return problems;
}

std::vector<std::string> SettingsProblems(const CheckSettings& s) {
    std::vector<std::string> lines;
    for (const SettingsProblem& p : FindSettingsProblems(s)) {
        switch (p.kind) {
        case SettingsProblem::Kind::SizeNotPositive:
            lines.push_back("dst_width and dst_height must be positive (they are " + Num(p.low) +
                            " and " + Num(p.high) + ")");
            break;
        case SettingsProblem::Kind::SizeTooLarge:
            lines.push_back("dst_width x dst_height is too large to normalise a photo to (" +
                            Num(p.low) + " x " + Num(p.high) + ", at most " +
                            std::to_string(kMaxNormalisedPixels) + " pixels)");
            break;
        case SettingsProblem::Kind::Crossed:
            lines.push_back(p.low_key + " " + Num(p.low) + " is above " + p.high_key + " " +
                            Num(p.high));
            break;
        }
    }
    return lines;
}

SettingsProfile ReadSettingsProfile(const std::string& text) {
    SettingsProfile profile;
    ini_parse_string(
        text.c_str(),
        [](void* user, const char* section, const char* name, const char* value) {
            if (Lower(section) == "profile" && name != nullptr && value != nullptr) {
                auto* p = static_cast<SettingsProfile*>(user);
                const std::string key = Lower(name);
                if (key == "title" && p->title.empty()) {
                    p->title = value;
                } else if (key == "source" && p->source.empty()) {
                    p->source = value;
                }
            }
            return 1;
        },
        &profile);
    return profile;
}

Result<std::string> ReadSettingsText(const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::file_status status = fs::status(fs::u8path(path), ec);
    if (!fs::exists(status)) {
        return Error(ErrorCode::NotFound, "there is no settings file '" + path + "'");
    }
    if (!fs::is_regular_file(status)) {
        return Error(ErrorCode::Unreadable, "the settings path '" + path + "' is not a file");
    }
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(platform::OpenForReading(path),
                                                         &std::fclose);
    if (!file) {
        return Error(ErrorCode::Unreadable,
                     "cannot read the settings file '" + path + "': " + std::strerror(errno));
    }
    std::string text;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file.get())) > 0;) {
        text.append(buffer, n);
    }
    if (std::ferror(file.get())) {
        return Error(ErrorCode::Unreadable,
                     "cannot read the settings file '" + path + "': " + std::strerror(errno));
    }
    return text;
}

Result<CheckSettings> LoadSettingsForReview(const std::string& path) {
    const Result<std::string> text = ReadSettingsText(path);
    if (!text) {
        return text.Err();
    }
    bool section = false;
    const CheckSettings settings = ParseCheckSettings(*text, &section);
    if (!section) {
        return Error(ErrorCode::Invalid,
                     "the settings file '" + path + "' has no [zpshcs] section");
    }
    const std::vector<std::string> problems = SettingsProblems(settings);
    if (!problems.empty()) {
        std::string detail = "the settings file '" + path + "' cannot be used: ";
        for (size_t i = 0; i < problems.size(); ++i) {
            detail += (i > 0 ? "; " : "") + problems[i];
        }
        return Error(ErrorCode::Invalid, detail);
    }
    return settings;
}

std::optional<CheckSettings> LoadCheckSettings(const std::string& app_dir) {
    return ReadCheckSettingsFile(app_dir + kSettingsFileName);
}

std::optional<CheckSettings> ReadCheckSettingsFile(const std::string& path) {
    const Result<std::string> text = ReadSettingsText(path);
    if (!text) {
        return std::nullopt;
    }
    return ParseCheckSettings(*text);
}

} // namespace vrel
