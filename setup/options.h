#pragma once

#include "check/settings.h"

#include <CLI/CLI.hpp>

#include <optional>
#include <string>
#include <vector>

namespace vrel {

// An option that takes one value and may be given once. Every occurrence is collected, so that
// a repeated option and a bad value get a message that names the option and says what it takes.
class SingleOption {
public:
    CLI::Option* Add(CLI::App& app, const std::string& names, const std::string& value_name,
                     const std::string& description);
    // Stores the value, where one was given, in out; an Invalid error (a usage message) when the
    // option was given more than once.
    Error Take(std::string& out) const;
    // The same for a whole number from min to max.
    Error TakeInt(int& out, int min, int max) const;

private:
    std::string name_;
    std::vector<std::string> values_;
};

// Parses the command line; the exit status where the program ends here: 0 after --help or
// --version, 2 after a usage error (with the message printed).
std::optional<int> ParseArguments(CLI::App& app, int argc, char** argv);

// The set-up every front end checks before it reviews anything: the settings file (as
// LoadSettingsForReview: NotFound where there is none, Unreadable, Invalid) and the face
// detector in data_dir (which gets its trailing '/'; Unreadable where it cannot be loaded).
Error LoadReviewSetup(const std::string& settings_path, std::string& data_dir,
                      CheckSettings& settings);

} // namespace vrel
