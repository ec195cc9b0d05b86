#include "check/settings_warnings.h"

#include "check/settings.h"
#include "check/settings_text.h"

#include <ini.h>

#include <algorithm>
#include <cctype>
#include <sstream>
#include <string_view>

namespace vrel {
namespace {

enum class Value { Int, Float, Switch, Share, Optional };

struct KnownKey {
    const char* name;
    Value value;
    bool blue_only = false; // read only where bgc=1
};

// Every key of section [zpshcs]; the thresholds whose absence reads as 0 are the Float and
// Share ones.
constexpr KnownKey kKnownKeys[] = {
    {"min_width", Value::Int},
    {"max_width", Value::Int},
    {"min_height", Value::Int},
    {"max_height", Value::Int},
    {"pic_min_size", Value::Int},
    {"pic_max_size", Value::Int},
    {"pic_out_min_size", Value::Int},
    {"pic_out_max_size", Value::Int},
    {"dst_width", Value::Int},
    {"dst_height", Value::Int},
    {"face_left_right_dif", Value::Int},
    {"ratio_y_min", Value::Share},
    {"ratio_y_max", Value::Share},
    {"ratio_x_min", Value::Share},
    {"ratio_x_max", Value::Share},
    {"s_min", Value::Share},
    {"i_min", Value::Share, true},
    {"i_max", Value::Share},
    {"blue_h_min", Value::Float, true},
    {"blue_h_max", Value::Float, true},
    {"blue_s_min", Value::Share, true},
    {"blue_s_max", Value::Share, true},
    {"jc_row", Value::Int},
    {"jc_col", Value::Int},
    {"jc_precision", Value::Int},
    {"cast", Value::Switch},
    {"bgc", Value::Switch},
    {"correct_ratio_y", Value::Optional},
    {"correct_ratio_x", Value::Optional},
    {"correct_max_enlarge", Value::Optional},
};

std::string Lower(std::string s) {
    for (char& c : s) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return s;
}

size_t EditDistance(const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) {
        row[j] = j;
    }
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// The known key nearest to an unknown one, where it is near enough to be a slip.
std::string Nearest(const std::string& key) {
    std::string best;
    size_t best_distance = 3;
    for (const KnownKey& known : kKnownKeys) {
        const size_t d = EditDistance(key, known.name);
        if (d < best_distance) {
            best_distance = d;
            best = known.name;
        }
    }
    return best;
}

std::string Shown(double v) {
    std::ostringstream out;
    out << v;
    return out.str();
}

struct Lines {
    std::vector<std::pair<std::string, std::string>> values; // key (lower case), value
    int32_t bgc = 0;
};

int OnValue(void* user, const char* section, const char* name, const char* value) {
    if (Lower(section) == "zpshcs" && name != nullptr && value != nullptr) {
        static_cast<Lines*>(user)->values.emplace_back(Lower(name), value);
    }
    return 1;
}

// Reads a value's text from its start: blanks, a sign, digits.
struct Cursor {
    std::string_view text;
    size_t at = 0;

    static bool Blank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }
    void Blanks() {
        while (at < text.size() && Blank(text[at])) {
            ++at;
        }
    }
    void Sign() {
        if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
            ++at;
        }
    }
    size_t Digits() {
        const size_t from = at;
        while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]))) {
            ++at;
        }
        return at - from;
    }
    bool Take(char c) {
        if (at < text.size() && text[at] == c) {
            ++at;
            return true;
        }
        return false;
    }
    bool Ended() {
        Blanks();
        return at == text.size();
    }
};

// "  -12 "
bool PlainInt(std::string_view text) {
    Cursor c{text};
    c.Blanks();
    c.Sign();
    return c.Digits() > 0 && c.Ended();
}

// "0.45", "-.5", "1e3", "2."
bool PlainFloat(std::string_view text) {
    Cursor c{text};
    c.Blanks();
    c.Sign();
    const size_t whole = c.Digits();
    const size_t fraction = c.Take('.') ? c.Digits() : 0;
    if (whole == 0 && fraction == 0) {
        return false;
    }
    if (c.Take('e') || c.Take('E')) {
        c.Sign();
        if (c.Digits() == 0) {
            return false;
        }
    }
    return c.Ended();
}

// "0,45", ",5"
bool CommaFloat(std::string_view text) {
    Cursor c{text};
    c.Blanks();
    c.Sign();
    c.Digits();
    return c.Take(',') && c.Digits() > 0 && c.Ended();
}

} // namespace

std::vector<SettingsWarning> SettingsWarnings(const std::string& text) {
    Lines lines;
    ini_parse_string(text.c_str(), &OnValue, &lines);
    const CheckSettings settings = ParseCheckSettings(text);
    std::vector<SettingsWarning> warnings;
    std::vector<std::string> seen;
    for (const auto& line : lines.values) {
        const std::string& key = line.first;
        const std::string& value = line.second;
        const auto known = std::find_if(std::begin(kKnownKeys), std::end(kKnownKeys),
                                        [&](const KnownKey& k) { return key == k.name; });
        if (known == std::end(kKnownKeys)) {
            warnings.push_back({SettingsWarning::Kind::UnknownKey, key, value, "", Nearest(key)});
            continue;
        }
        if (std::find(seen.begin(), seen.end(), key) != seen.end()) {
            continue; // the first one is read, and was looked at
        }
        seen.push_back(key);
        const bool integer = known->value == Value::Int || known->value == Value::Switch;
        if (!(integer ? PlainInt(value) : PlainFloat(value))) {
            const std::string read_as =
                integer ? std::to_string(ParseIntValue(value, 0)) : Shown(ParseFloatValue(value));
            if (!integer && CommaFloat(value)) {
                std::string point = value;
                std::replace(point.begin(), point.end(), ',', '.');
                point.erase(0, point.find_first_not_of(" \t"));
                point.erase(point.find_last_not_of(" \t") + 1);
                warnings.push_back(
                    {SettingsWarning::Kind::DecimalComma, key, value, read_as, point});
            } else {
                warnings.push_back({SettingsWarning::Kind::NotANumber, key, value, read_as, ""});
            }
            continue;
        }
        if (known->value == Value::Switch) {
            const int32_t v = ParseIntValue(value, 0);
            if (v != 0 && v != 1) {
                warnings.push_back({SettingsWarning::Kind::NotASwitch, key, value, "0", ""});
            }
        } else if (known->value == Value::Share) {
            const float v = ParseFloatValue(value);
            if (v < 0.0f || v > 1.0f) {
                warnings.push_back({SettingsWarning::Kind::NotAShare, key, value, Shown(v), ""});
            }
        }
    }
    for (const KnownKey& known : kKnownKeys) {
        const bool threshold = known.value == Value::Float || known.value == Value::Share;
        if (threshold && (!known.blue_only || settings.bgc == 1) &&
            std::find(seen.begin(), seen.end(), known.name) == seen.end()) {
            warnings.push_back({SettingsWarning::Kind::Missing, known.name, "", "0", ""});
        }
    }
    return warnings;
}

std::vector<SettingsWarning> SettingsFileWarnings(const std::string& path) {
    const Result<std::string> text = ReadSettingsText(path);
    return text ? SettingsWarnings(*text) : std::vector<SettingsWarning>();
}

std::string WarningLine(const SettingsWarning& w) {
    const std::string written = w.key + "=" + w.value;
    switch (w.kind) {
    case SettingsWarning::Kind::UnknownKey:
        return w.key + ": unknown key" +
               (w.suggestion.empty() ? "; it is ignored" : "; did you mean " + w.suggestion + "?");
    case SettingsWarning::Kind::NotANumber:
        return written + ": not a plain number; read as " + w.read_as;
    case SettingsWarning::Kind::DecimalComma:
        return written + ": a decimal comma is not read; read as " + w.read_as + " (write " +
               w.suggestion + ")";
    case SettingsWarning::Kind::NotASwitch:
        return written + ": only 0 or 1 is meant; read as " + w.read_as;
    case SettingsWarning::Kind::NotAShare:
        return written + ": a share between 0 and 1 is meant";
    case SettingsWarning::Kind::Missing:
        return w.key + ": missing; read as 0";
    }
    return written;
}

} // namespace vrel
