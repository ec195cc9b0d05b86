// vrel-check: reviews registration photos from the command line.
#include "check/app_dir.h"
#include "check/face.h"
#include "check/quiet.h"
#include "check/settings.h"
#include "cli/batch.h"
#include "cli/options.h"
#include "cli/progress.h"
#include "platform/files.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <thread>

namespace {

constexpr int kAllPassed = 0;
constexpr int kSomeRejected = 1;
constexpr int kSetupError = 2;
constexpr int kOutputFailed = 3;

int SetupError(const std::string& message) {
    std::cerr << "vrel-check: " << message << "\n";
    return kSetupError;
}

bool MakeFolder(const std::string& dir, const char* what) {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::u8path(dir), ec);
    if (ec || !std::filesystem::is_directory(std::filesystem::u8path(dir))) {
        SetupError(std::string("cannot create the ") + what + " folder '" + dir +
                   "': " + (ec ? ec.message() : "not a folder"));
        return false;
    }
    return true;
}

// Counts the lines of a list file, so that progress can show how far the batch has come.
uint64_t CountLines(const std::string& path) {
    std::ifstream in(std::filesystem::u8path(path), std::ios::binary);
    uint64_t lines = 0;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line != "\r") {
            ++lines;
        }
    }
    return lines;
}

// Writes the CSV report as records come, and remembers whether every byte reached the file.
class CsvReport {
public:
    bool Open(const std::string& path) {
        path_ = path;
        out_.open(std::filesystem::u8path(path), std::ios::binary | std::ios::trunc);
        if (!out_) {
            return false;
        }
        // The byte order mark makes spreadsheet programs read the file as UTF-8.
        Write("\xEF\xBB\xBF" + vrel::CsvHeader());
        return true;
    }
    bool IsOpen() const { return out_.is_open(); }
    void Write(const std::string& text) {
        if (out_.is_open() && !failed_) {
            out_ << text;
            Check();
        }
    }
    // Flushes and closes; false when anything could not be written.
    bool Close() {
        if (out_.is_open()) {
            out_.flush();
            Check();
            out_.close();
            if (out_.fail() && !failed_) {
                failed_ = true;
                reason_ = "cannot close the file";
            }
        }
        return !failed_;
    }
    const std::string& Reason() const { return reason_; }

private:
    void Check() {
        if (!out_ && !failed_) {
            failed_ = true;
            reason_ = std::strerror(errno);
        }
    }
    std::string path_;
    std::ofstream out_;
    bool failed_ = false;
    std::string reason_;
};

} // namespace

int main(int argc, char** argv) {
    vrel::platform::PrepareProcess();
    vrel::QuietImageLibrary();

    CLI::App app{"Reviews registration photos: one verdict per photo, in input order."};
    app.set_version_flag("--version", "vrel-check 2.5.2");
    bool json = false;
    bool quiet = false;
    bool ignore_marker = false;
    bool overwrite = false;
    bool fast_decode = false;
    vrel::SingleOption settings_opt, data_dir_opt, save_dir_opt, csv_opt, annotate_opt,
        correct_dir_opt, files_from_opt, jobs_opt;
    std::vector<std::string> inputs;
    app.add_flag("--json", json, "One JSON object per line instead of tab-separated text");
    settings_opt.Add(app, "--settings", "FILE",
                     "Settings file (default: setting.vr beside the program)");
    data_dir_opt.Add(
        app, "--data-dir", "DIR",
        "Folder holding tips/, labels/ and the cascade file (default: the program's folder)");
    save_dir_opt.Add(app, "--save-dir", "DIR",
                     "Save every passed photo into this folder, marked as passed");
    jobs_opt.Add(app, "--jobs,-j", "N", "Photos reviewed at once, 1 to 256 (default: all cores)");
    files_from_opt.Add(app, "--files-from", "FILE",
                       "Also review the paths in this file, one per line ('-': standard input), "
                       "after any PATH");
    csv_opt.Add(app, "--csv", "FILE", "Also write a spreadsheet report (UTF-8 CSV) to this file");
    annotate_opt.Add(app, "--annotate", "DIR",
                     "Write a picture that explains each verdict into this folder");
    correct_dir_opt.Add(app, "--correct-dir", "DIR",
                        "Correct every rejected photo that can be mended (crop, scale, "
                        "compress, convert) and save it into this folder, marked as passed; "
                        "folders then also yield *.png, *.webp, *.bmp, *.tif, *.tiff");
    app.add_flag("--overwrite", overwrite,
                 "Replace files already in the --save-dir, --annotate and --correct-dir folders "
                 "(otherwise a taken name gets -2, -3, ...)");
    app.add_flag("--ignore-marker", ignore_marker,
                 "Review files that end in the pass marker with every test");
    app.add_flag("--fast-decode", fast_decode,
                 "Decode large JPEGs reduced to at least the normalised size: much faster, and "
                 "a verdict near a bound may differ from the exact review");
    app.add_flag("--quiet,-q", quiet, "No progress line and no summary on standard error");
    app.add_option("PATH", inputs, "Photo files or folders of photos (*.jpg, *.jpeg, *.jfif)");
    app.footer("Exit status: 0 every photo passed, 1 some photo was rejected (corrected or not), 2 "
               "usage or set-up error (nothing reviewed), 3 an output (saved photo, picture, "
               "corrected photo, CSV) could not be written.");

    std::string settings_path = vrel::AppPath(vrel::kSettingsFileName);
    std::string data_dir = vrel::AppDir();
    std::string save_dir, csv_path, annotate_dir, correct_dir, files_from;
    int jobs = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    try {
        app.parse(argc, argv);
        std::string problem;
        if (!settings_opt.Take(settings_path, problem) || !data_dir_opt.Take(data_dir, problem) ||
            !save_dir_opt.Take(save_dir, problem) || !csv_opt.Take(csv_path, problem) ||
            !annotate_opt.Take(annotate_dir, problem) ||
            !correct_dir_opt.Take(correct_dir, problem) ||
            !files_from_opt.Take(files_from, problem) || !jobs_opt.TakeInt(jobs, 1, 256, problem)) {
            return SetupError(problem + "\nRun with --help for more information.");
        }
        if (inputs.empty() && files_from.empty()) {
            return SetupError("give photo files or folders (PATH), or --files-from FILE\n"
                              "Run with --help for more information.");
        }
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return kSetupError;
    }

    // Set-up errors stop the run before any photo is reviewed.
    const vrel::SettingsLoad settings = vrel::LoadSettingsForReview(settings_path);
    if (settings.fault == vrel::SettingsFault::Missing) {
        std::cerr << vrel::kMissingSettingsMessage << "\n";
        return SetupError(settings.detail);
    }
    if (!settings.Usable()) {
        return SetupError(settings.detail);
    }
    if (!data_dir.empty() && data_dir.back() != '/') {
        data_dir += '/';
    }
    if (!vrel::FaceDetector(data_dir + vrel::kCascadeFileName).Loaded()) {
        return SetupError("cannot load the face detector '" + data_dir + vrel::kCascadeFileName +
                          "': the file is missing or unreadable");
    }
    if ((!save_dir.empty() && !MakeFolder(save_dir, "save")) ||
        (!annotate_dir.empty() && !MakeFolder(annotate_dir, "annotation")) ||
        (!correct_dir.empty() && !MakeFolder(correct_dir, "correction"))) {
        return kSetupError;
    }

    std::ifstream list_file;
    std::optional<uint64_t> list_total;
    std::istream* list = nullptr;
    if (!files_from.empty()) {
        if (files_from == "-") {
            list = &std::cin;
        } else {
            std::error_code ec;
            if (std::filesystem::is_directory(std::filesystem::u8path(files_from), ec)) {
                return SetupError("--files-from: '" + files_from + "' is a folder, not a list");
            }
            list_file.open(std::filesystem::u8path(files_from), std::ios::binary);
            if (!list_file) {
                return SetupError("--files-from: cannot read the list '" + files_from +
                                  "': " + std::strerror(errno));
            }
            list = &list_file;
            if (!quiet && vrel::platform::IsTerminal(stderr)) {
                list_total = CountLines(files_from);
            }
        }
    }

    CsvReport csv;
    if (!csv_path.empty() && !csv.Open(csv_path)) {
        return SetupError("cannot write the report '" + csv_path + "': " + std::strerror(errno));
    }

    std::vector<std::string> paths;
    for (const std::string& input : inputs) {
        auto expanded = vrel::ExpandPath(input, !correct_dir.empty());
        paths.insert(paths.end(), expanded.begin(), expanded.end());
    }
    vrel::ListSource named(std::move(paths));
    std::unique_ptr<vrel::LineSource> listed;
    std::unique_ptr<vrel::ChainSource> both;
    vrel::PathSource* source = &named;
    if (list != nullptr) {
        listed = std::make_unique<vrel::LineSource>(*list, list_total);
        both = std::make_unique<vrel::ChainSource>(named, *listed);
        source = both.get();
    }

    const bool show_progress = !quiet && vrel::platform::IsTerminal(stderr);
    vrel::ProgressPrinter progress(std::cerr, source->Total());
    vrel::BatchOptions batch;
    batch.check = settings.settings;
    batch.data_dir = data_dir;
    batch.save_dir = save_dir;
    batch.annotate_dir = annotate_dir;
    batch.correct_dir = correct_dir;
    batch.overwrite = overwrite;
    batch.jobs = jobs;
    batch.ignore_marker = ignore_marker;
    batch.fast_decode = fast_decode;
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
            csv.Write(vrel::RecordToCsv(record));
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
    int status = summary.AllPassed() ? kAllPassed : kSomeRejected;
    if (listed && listed->ReadFailed()) {
        std::cerr << "vrel-check: --files-from: the list '" << files_from
                  << "' could not be read to its end\n";
        status = kSetupError;
    }
    if (summary.output_failures > 0) {
        if (!quiet) {
            std::cerr << "vrel-check: " << summary.output_failures
                      << " photo(s) with an output that could not be written (see save_error, "
                         "annotate_error, "
                         "correct_write_error)\n";
        }
        status = kOutputFailed;
    }
    if (!csv.Close()) {
        std::cerr << "vrel-check: the report '" << csv_path
                  << "' could not be written whole: " << csv.Reason() << "\n";
        status = kOutputFailed;
    }
    if (!std::cout) {
        std::cerr << "vrel-check: standard output could not be written\n";
        status = kOutputFailed;
    }
    return status;
}
