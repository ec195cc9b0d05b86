// vrel-check: reviews registration photos from the command line.
#include "check/app_dir.h"
#include "check/face.h"
#include "check/settings.h"
#include "cli/batch.h"
#include "cli/progress.h"

#include <CLI/CLI.hpp>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <thread>

namespace {

constexpr int kAllPassed = 0;
constexpr int kSomeRejected = 1;
constexpr int kSetupError = 2;

bool MakeFolder(const std::string& dir, const char* what) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec || !std::filesystem::is_directory(dir)) {
        std::cerr << "vrel-check: cannot create the " << what << " folder '" << dir
                  << "': " << (ec ? ec.message() : "not a folder") << "\n";
        return false;
    }
    return true;
}

// Counts the lines of a list file, so that progress can show how far the batch has come.
std::optional<uint64_t> CountLines(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    uint64_t lines = 0;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line != "\r") {
            ++lines;
        }
    }
    return lines;
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"Reviews registration photos: one verdict per photo, in input order."};
    app.set_version_flag("--version", "vrel-check 2.5.2");
    bool json = false;
    bool quiet = false;
    bool ignore_marker = false;
    std::string settings_path = vrel::AppPath(vrel::kSettingsFileName);
    std::string data_dir = vrel::AppDir();
    std::string save_dir;
    std::string csv_path;
    std::string annotate_dir;
    std::string files_from;
    int jobs = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    std::vector<std::string> inputs;
    app.add_flag("--json", json, "One JSON object per line instead of tab-separated text");
    app.add_option("--settings", settings_path,
                   "Settings file (default: setting.vr beside the program)");
    app.add_option(
        "--data-dir", data_dir,
        "Folder holding tips/, labels/ and the cascade file (default: the program's folder)");
    app.add_option("--save-dir", save_dir,
                   "Save every passed photo into this folder, marked as passed");
    app.add_option("--jobs,-j", jobs, "Photos reviewed at once (default: all cores)")
        ->check(CLI::Range(1, 256));
    app.add_option("--files-from", files_from,
                   "Read the photo paths from this file, one per line ('-': standard input)");
    app.add_option("--csv", csv_path, "Also write a spreadsheet report (UTF-8 CSV) to this file");
    app.add_option("--annotate", annotate_dir,
                   "Write a picture that explains each verdict into this folder");
    app.add_flag("--ignore-marker", ignore_marker,
                 "Review files that end in the pass marker with every test");
    app.add_flag("--quiet,-q", quiet, "No progress line and no summary on standard error");
    app.add_option("PATH", inputs, "Photo files or folders of photos (*.jpg, *.jpeg, *.jfif)");
    try {
        app.parse(argc, argv);
        if (inputs.empty() && files_from.empty()) {
            throw CLI::RequiredError("PATH or --files-from");
        }
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
    if ((!save_dir.empty() && !MakeFolder(save_dir, "save")) ||
        (!annotate_dir.empty() && !MakeFolder(annotate_dir, "annotation"))) {
        return kSetupError;
    }
    std::ofstream csv;
    if (!csv_path.empty()) {
        csv.open(csv_path, std::ios::binary | std::ios::trunc);
        if (!csv) {
            std::cerr << "vrel-check: cannot write the report '" << csv_path << "'\n";
            return kSetupError;
        }
        // The byte order mark makes spreadsheet programs read the file as UTF-8.
        csv << "\xEF\xBB\xBF" << vrel::CsvHeader();
    }

    std::unique_ptr<vrel::PathSource> source;
    std::ifstream list_file;
    if (!files_from.empty()) {
        std::optional<uint64_t> total;
        std::istream* in = &std::cin;
        if (files_from != "-") {
            list_file.open(files_from, std::ios::binary);
            if (!list_file) {
                std::cerr << "vrel-check: cannot read the list '" << files_from << "'\n";
                return kSetupError;
            }
            in = &list_file;
            if (isatty(STDERR_FILENO) && !quiet) {
                total = CountLines(files_from);
            }
        }
        source = std::make_unique<vrel::LineSource>(*in, total);
    } else {
        std::vector<std::string> paths;
        for (const std::string& input : inputs) {
            auto expanded = vrel::ExpandPath(input);
            paths.insert(paths.end(), expanded.begin(), expanded.end());
        }
        source = std::make_unique<vrel::ListSource>(std::move(paths));
    }

    const bool show_progress = !quiet && isatty(STDERR_FILENO);
    vrel::ProgressPrinter progress(std::cerr, source->Total());
    vrel::BatchOptions batch;
    batch.check = *settings;
    batch.data_dir = data_dir;
    batch.save_dir = save_dir;
    batch.annotate_dir = annotate_dir;
    batch.jobs = jobs;
    batch.ignore_marker = ignore_marker;
    const vrel::BatchSummary summary = vrel::RunBatch(
        *source, batch,
        [&](const vrel::PhotoRecord& record) {
            if (json) {
                std::cout << vrel::RecordToJson(record).dump(
                                 -1, ' ', false, nlohmann::ordered_json::error_handler_t::replace)
                          << "\n";
            } else {
                std::cout << vrel::RecordToText(record) << "\n";
            }
            if (csv.is_open()) {
                csv << vrel::RecordToCsv(record);
            }
        },
        [&](uint64_t done) {
            if (show_progress) {
                progress.Update(done);
            }
        });
    std::cout.flush();
    if (show_progress) {
        progress.Finish();
    }
    if (!quiet) {
        std::cerr << vrel::SummaryText(summary.reviewed, summary.counts, progress.Seconds());
    }
    if (csv.is_open()) {
        csv.flush();
        if (!csv) {
            std::cerr << "vrel-check: the report '" << csv_path << "' could not be written whole\n";
            return kSetupError;
        }
    }
    return summary.AllPassed() ? kAllPassed : kSomeRejected;
}
