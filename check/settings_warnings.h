#pragma once

#include <string>
#include <vector>

namespace vrel {

// A mistake in a settings file that does not keep it from being used: its values are read as
// they always are, and the warning says how, so that a typo does not pass in silence.
struct SettingsWarning {
    enum class Kind {
        UnknownKey,   // a key the review does not know; suggestion: the nearest known one
        NotANumber,   // a value that is not a plain number; read_as: what it is read as
        DecimalComma, // a number written with a decimal comma; suggestion: with a point
        NotASwitch,   // bgc or cast other than 0 or 1
        NotAShare,    // a share outside 0 to 1
        Missing,      // a threshold absent, which reads as 0
    };
    Kind kind = Kind::UnknownKey;
    std::string key;        // as written, lower case
    std::string value;      // as written
    std::string read_as;    // the value the review uses
    std::string suggestion; // a known key, or the number as it should be written; may be empty

    bool operator==(const SettingsWarning& other) const {
        return kind == other.kind && key == other.key && value == other.value &&
               read_as == other.read_as && suggestion == other.suggestion;
    }
};

// The warnings of a settings file's text, in the order of its lines, then the missing keys.
// Only section [zpshcs] is looked at: other sections are for other readers.
std::vector<SettingsWarning> SettingsWarnings(const std::string& text);

// The warnings of a settings file; none where it cannot be read (its loading says why).
std::vector<SettingsWarning> SettingsFileWarnings(const std::string& path);

// One line for a log: "s_mn: unknown key; did you mean s_min?".
std::string WarningLine(const SettingsWarning& warning);

} // namespace vrel
