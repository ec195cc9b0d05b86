#include "setup/options.h"

#include "check/face.h"

#include <charconv>

namespace vrel {

CLI::Option* SingleOption::Add(CLI::App& app, const std::string& names,
                               const std::string& value_name, const std::string& description) {
    // The long name, as the user reads it in --help.
    name_ = names.substr(0, names.find(','));
    return app.add_option(names, values_, description)
        ->expected(1)
        ->allow_extra_args(false)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->type_name(value_name);
}

Error SingleOption::Take(std::string& out) const {
    if (values_.size() > 1) {
        return {ErrorCode::Invalid, name_ + " may be given only once (it was given " +
                                        std::to_string(values_.size()) + " times)"};
    }
    if (!values_.empty()) {
        out = values_.front();
    }
    return {};
}

Error SingleOption::TakeInt(int& out, int min, int max) const {
    std::string text;
    if (Error error = Take(text)) {
        return error;
    }
    if (values_.empty()) {
        return {};
    }
    int value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < min || value > max) {
        return {ErrorCode::Invalid, name_ + " takes a whole number from " + std::to_string(min) +
                                        " to " + std::to_string(max) + ", not '" + text + "'"};
    }
    out = value;
    return {};
}

std::optional<int> ParseArguments(CLI::App& app, int argc, char** argv) {
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return 2;
    }
    return std::nullopt;
}

Error LoadReviewSetup(const std::string& settings_path, std::string& data_dir,
                      CheckSettings& settings) {
    const Result<CheckSettings> load = LoadSettingsForReview(settings_path);
    if (!load) {
        return load.Err();
    }
    if (!data_dir.empty() && data_dir.back() != '/') {
        data_dir += '/';
    }
    if (Error missing = FaceDetector(data_dir + kCascadeFileName).LoadError()) {
        return missing;
    }
    settings = *load;
    return {};
}

} // namespace vrel
