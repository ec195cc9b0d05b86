// vrel-check: reviews registration photos from the command line.
#include "check/app_dir.h"
#include "check/face.h"
#include "check/settings.h"
#include "cli/batch.h"

#include <CLI/CLI.hpp>

#include <filesystem>
#include <iostream>

namespace {

constexpr int kAllPassed = 0;
constexpr int kSomeRejected = 1;
constexpr int kSetupError = 2;

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"Reviews registration photos: one verdict per photo."};
    app.set_version_flag("--version", "vrel-check 2.5.2");
    bool json = false;
    std::string settings_path = vrel::AppPath(vrel::kSettingsFileName);
    std::string data_dir = vrel::AppDir();
    std::string save_dir;
    std::vector<std::string> inputs;
    app.add_flag("--json", json, "One JSON object per line instead of tab-separated text");
    app.add_option("--settings", settings_path,
                   "Settings file (default: setting.vr beside the program)");
    app.add_option("--data-dir", data_dir,
                   "Folder holding tips/ and the cascade file (default: the program's folder)");
    app.add_option("--save-dir", save_dir,
                   "Save every passed photo into this folder, marked as passed");
    app.add_option("PATH", inputs, "Photo files or folders of photos (*.jpg, *.jpeg, *.jfif)")
        ->required();
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return kSetupError;
    }

    const auto settings = vrel::ReadCheckSettingsFile(settings_path);
    if (!settings) {
        std::cerr << vrel::kMissingSettingsMessage << "\n";
        return kSetupError;
    }
    if (!data_dir.empty() && data_dir.back() != '/') {
        data_dir += '/';
    }
    std::error_code ec;
    if (!std::filesystem::is_regular_file(data_dir + vrel::kCascadeFileName, ec)) {
        std::cerr << "vrel-check: warning: no " << vrel::kCascadeFileName << " in '" << data_dir
                  << "': every photo that reaches the face check ends FaceCountWrong\n";
    }
    if (settings->dst_width <= 0 || settings->dst_height <= 0) {
        std::cerr << "vrel-check: warning: dst_width and dst_height must be positive; photos "
                     "that reach the normalising resize end PixelSizeOutOfRange\n";
    }
    if (!save_dir.empty()) {
        std::filesystem::create_directories(save_dir, ec);
        if (ec || !std::filesystem::is_directory(save_dir)) {
            std::cerr << "vrel-check: cannot create the folder '" << save_dir
                      << "': " << ec.message() << "\n";
            return kSetupError;
        }
    }

    std::vector<std::string> paths;
    for (const std::string& input : inputs) {
        auto expanded = vrel::ExpandPath(input);
        paths.insert(paths.end(), expanded.begin(), expanded.end());
    }

    vrel::BatchSettings batch{*settings, data_dir, save_dir};
    const bool all_passed = vrel::RunBatch(paths, batch, [&](const vrel::PhotoRecord& record) {
        if (json) {
            std::cout << vrel::RecordToJson(record).dump(
                             -1, ' ', false, nlohmann::ordered_json::error_handler_t::replace)
                      << "\n";
        } else {
            std::cout << vrel::RecordToText(record) << "\n";
        }
    });
    std::cout.flush();
    return all_passed ? kAllPassed : kSomeRejected;
}
