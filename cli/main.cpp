// vrel-check: reviews registration photos from the command line.
#include "base/version.h"
#include "check/face.h"
#include "check/settings.h"
#include "cli/batch.h"
#include "cli/progress.h"
#include "decisions/decisions.h"
#include "fingerprint/fingerprint.h"
#include "platform/files.h"
#include "report/csv_report.h"
#include "report/messages.h"
#include "report/requirements.h"
#include "setup/app_dir.h"
#include "setup/options.h"
#include "setup/quiet.h"
#include "setup/review_kit.h"
#include "workers/worker_pool.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
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

struct Options {
    bool json = false, quiet = false, ignore_marker = false, overwrite = false;
    bool fast_decode = false;
    bool requirements = false;
    std::string settings_path = vrel::AppPath(vrel::kSettingsFileName);
    std::string data_dir = vrel::AppDir();
    std::string save_dir, csv_path, annotate_dir, correct_dir, files_from, report_dir;
    std::string resume;          // the JSON Lines file of a batch to go on with
    std::string apply_decisions; // an operator's decision file, to write the accepted photos
    std::string backdrop = "white";
    std::vector<std::string> records; // JSON Lines of earlier runs, for a report without review
    int jobs = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    std::vector<std::string> inputs;
};

// Reads the command line into o; an exit status where the program ends here (help, version,
// a usage error).
std::optional<int> ParseCommandLine(int argc, char** argv, Options& o) {
    CLI::App app{"Reviews registration photos: one verdict per photo, in input order."};
    app.set_version_flag("--version", std::string("vrel-check ") + vrel::kVersion);
    vrel::SingleOption settings, data_dir, save_dir, csv, annotate, correct_dir, files_from, jobs,
        report, backdrop, resume, apply;
    app.add_flag("--json", o.json, "One JSON object per line instead of tab-separated text");
    settings.Add(app, "--settings", "FILE",
                 "Settings file (default: setting.vr beside the program)");
    data_dir.Add(app, "--data-dir", "DIR",
                 "Folder holding tips/, labels/ and the cascade file (default: the program's "
                 "folder)");
    save_dir.Add(app, "--save-dir", "DIR",
                 "Save every passed photo into this folder, marked as passed");
    jobs.Add(app, "--jobs,-j", "N", "Photos reviewed at once, 1 to 256 (default: all cores)");
    files_from.Add(app, "--files-from", "FILE",
                   "Also review the paths in this file, one per line ('-': standard input), "
                   "after any PATH");
    csv.Add(app, "--csv", "FILE", "Also write a spreadsheet report (UTF-8 CSV) to this file");
    annotate.Add(app, "--annotate", "DIR",
                 "Write a picture that explains each verdict into this folder");
    correct_dir.Add(app, "--correct-dir", "DIR",
                    "Correct every rejected photo that can be mended (convert, crop and scale, "
                    "straighten a tilt, extend a plain backdrop, replace the backdrop) and save it "
                    "into this folder, marked as passed; folders then also yield *.png, *.webp, "
                    "*.bmp, *.tif, *.tiff");
    backdrop.Add(app, "--backdrop", "COLOUR",
                 "With --correct-dir: the colour a replaced backdrop gets: white (default), blue "
                 "(where the settings accept blue) or #RRGGBB that the backdrop test accepts");
    report.Add(app, "--report", "DIR",
               "Also write a report folder (index.html, offline) with every photo's thumbnail, "
               "reason and explanation picture");
    app.add_option("--records", o.records,
                   "With --report: build the report from the JSON Lines of earlier runs "
                   "(--json), without reviewing again; thumbnails come from the photos' paths")
        ->type_name("FILE...");
    resume.Add(app, "--resume", "FILE",
               "With --json: write the records to this JSON Lines file rather than standard "
               "output, going on with a batch that was stopped: photos with a complete record "
               "there (same path, size and time) are skipped, and the file ends with one "
               "record per photo");
    apply.Add(app, "--apply-decisions", "FILE",
              "With --save-dir: write the photos that the decision file (decisions.csv, "
              "exported from the report page) accepts, the corrected one where there is one, "
              "as saved, marked photos; refused whole where a photo changed since its review");
    app.add_flag("--overwrite", o.overwrite,
                 "Replace files already in the --save-dir, --annotate and --correct-dir folders "
                 "(otherwise a taken name gets -2, -3, ...)");
    app.add_flag("--ignore-marker", o.ignore_marker,
                 "Review files that end in the pass marker with every test");
    app.add_flag("--fast-decode", o.fast_decode,
                 "Decode large JPEGs reduced to at least the normalised size: much faster, and "
                 "a verdict near a bound may differ from the exact review");
    app.add_flag("--quiet,-q", o.quiet, "No progress line and no summary on standard error");
    app.add_flag("--requirements", o.requirements,
                 "Print what the settings check of a photo, in Chinese, and exit");
    app.add_option("PATH", o.inputs, "Photo files or folders of photos (*.jpg, *.jpeg, *.jfif)");
    app.footer("Exit status: 0 every photo passed, 1 some photo was rejected (corrected or not), 2 "
               "usage or set-up error (nothing reviewed), 3 an output (saved photo, picture, "
               "corrected photo, CSV) could not be written.");
    if (const auto status = vrel::ParseArguments(app, argc, argv)) {
        return status;
    }
    for (const vrel::Error& error :
         {settings.Take(o.settings_path), data_dir.Take(o.data_dir), save_dir.Take(o.save_dir),
          csv.Take(o.csv_path), annotate.Take(o.annotate_dir), correct_dir.Take(o.correct_dir),
          files_from.Take(o.files_from), report.Take(o.report_dir), backdrop.Take(o.backdrop),
          resume.Take(o.resume), apply.Take(o.apply_decisions), jobs.TakeInt(o.jobs, 1, 256)}) {
        if (error) {
            return SetupError(error.Detail() + "\nRun with --help for more information.");
        }
    }
    if (!o.apply_decisions.empty()) {
        if (o.save_dir.empty()) {
            return SetupError("--apply-decisions needs --save-dir DIR\n"
                              "Run with --help for more information.");
        }
        if (!o.inputs.empty() || !o.files_from.empty() || !o.records.empty() ||
            !o.report_dir.empty() || !o.annotate_dir.empty() || !o.correct_dir.empty() ||
            !o.csv_path.empty() || !o.resume.empty()) {
            return SetupError("--apply-decisions writes the accepted photos only: it takes no "
                              "PATH, --files-from, --records, --report, --annotate, "
                              "--correct-dir, --csv or --resume\n"
                              "Run with --help for more information.");
        }
        return std::nullopt;
    }
    if (!o.resume.empty() && (!o.json || !o.records.empty())) {
        return SetupError("--resume needs --json (and reviews photos: no --records)\n"
                          "Run with --help for more information.");
    }
    if (!o.records.empty()) {
        if (o.report_dir.empty()) {
            return SetupError(
                "--records needs --report DIR\nRun with --help for more information.");
        }
        if (!o.inputs.empty() || !o.files_from.empty() || !o.save_dir.empty() ||
            !o.annotate_dir.empty() || !o.correct_dir.empty() || !o.csv_path.empty()) {
            return SetupError("--records builds a report from records only: it takes no PATH, "
                              "--files-from, --save-dir, --annotate, --correct-dir or --csv\n"
                              "Run with --help for more information.");
        }
        return std::nullopt;
    }
    if (o.inputs.empty() && o.files_from.empty() && !o.requirements) {
        return SetupError("give photo files or folders (PATH), or --files-from FILE\n"
                          "Run with --help for more information.");
    }
    return std::nullopt;
}

// The list of --files-from, opened; an exit status where it cannot be read.
std::optional<int> OpenList(const Options& o, std::ifstream& file, std::istream*& list,
                            std::optional<uint64_t>& total) {
    if (o.files_from.empty()) {
        return std::nullopt;
    }
    if (o.files_from == "-") {
        list = &std::cin;
        return std::nullopt;
    }
    std::error_code ec;
    if (std::filesystem::is_directory(std::filesystem::u8path(o.files_from), ec)) {
        return SetupError("--files-from: '" + o.files_from + "' is a folder, not a list");
    }
    file.open(std::filesystem::u8path(o.files_from), std::ios::binary);
    if (!file) {
        return SetupError("--files-from: cannot read the list '" + o.files_from +
                          "': " + std::strerror(errno));
    }
    list = &file;
    if (!o.quiet && vrel::platform::IsTerminal(stderr)) {
        total = CountLines(o.files_from);
    }
    return std::nullopt;
}

vrel::BatchOptions Batch(const Options& o, const vrel::CheckSettings& settings) {
    vrel::BatchOptions batch;
    batch.check = settings;
    batch.data_dir = o.data_dir;
    batch.save_dir = o.save_dir;
    batch.annotate_dir = o.annotate_dir;
    batch.correct_dir = o.correct_dir;
    if (auto colour = vrel::ParseBackdropColour(o.backdrop)) {
        batch.backdrop = *colour;
    }
    batch.overwrite = o.overwrite;
    batch.jobs = o.jobs;
    batch.ignore_marker = o.ignore_marker;
    batch.fast_decode = o.fast_decode;
    batch.report_pictures = !o.report_dir.empty();
    return batch;
}

// The exit status of a finished batch, with a line on standard error for what went wrong.
int ExitStatus(const Options& o, const vrel::BatchSummary& summary, bool list_failed,
               vrel::CsvReport& csv) {
    int status = summary.AllPassed() ? kAllPassed : kSomeRejected;
    if (summary.setup_error) {
        std::cerr << "vrel-check: " << summary.setup_error.Detail() << "\n";
        return kSetupError;
    }
    if (list_failed) {
        std::cerr << "vrel-check: --files-from: the list '" << o.files_from
                  << "' could not be read to its end\n";
        status = kSetupError;
    }
    if (summary.output_failures > 0) {
        if (!o.quiet) {
            std::cerr << "vrel-check: " << summary.output_failures
                      << " photo(s) with an output that could not be written (see save_error, "
                         "annotate_error, correct_write_error)\n";
        }
        status = kOutputFailed;
    }
    if (!csv.Close()) {
        std::cerr << "vrel-check: the report '" << o.csv_path
                  << "' could not be written whole: " << csv.Reason() << "\n";
        status = kOutputFailed;
    }
    if (!std::cout) {
        std::cerr << "vrel-check: standard output could not be written\n";
        status = kOutputFailed;
    }
    return status;
}

// What the settings check, a sentence a line, with the settings file's warnings on standard
// error.
int PrintRequirements(const Options& o) {
    const vrel::Result<vrel::CheckSettings> settings = vrel::LoadSettingsForReview(o.settings_path);
    if (!settings) {
        std::cerr << vrel::SetupErrorLines("vrel-check", settings.Err());
        return kSetupError;
    }
    for (const vrel::SettingsWarning& warning : vrel::SettingsFileWarnings(o.settings_path)) {
        std::cerr << "vrel-check: warning: " << o.settings_path << ": "
                  << vrel::WarningLine(warning) << '\n';
    }
    for (const std::string& sentence :
         vrel::RequirementSentences(vrel::RequirementsOf(*settings))) {
        std::cout << sentence << '\n';
    }
    std::cout.flush();
    return std::cout ? kAllPassed : kOutputFailed;
}

// A PATH that names nothing is a slip in the command, told before anything is reviewed; one
// that cannot be reached (a folder above it that cannot be entered) is reported as its record.
std::optional<int> CheckInputsExist(const Options& o) {
    bool missing = false;
    for (const std::string& input : o.inputs) {
        std::error_code ec;
        if (std::filesystem::status(std::filesystem::u8path(input), ec).type() ==
            std::filesystem::file_type::not_found) {
            std::cerr << "vrel-check: " << input << ": no such file or folder\n";
            missing = true;
        }
    }
    if (missing) {
        std::cerr << "Run with --help for more information.\n";
        return kSetupError;
    }
    return std::nullopt;
}

// The thumbnails of a run of records, made by jobs workers, each record's in its place; a
// record without a perceptual hash (from an earlier version) gets one from its photo.
std::vector<vrel::ReportPictures> PicturesOf(std::vector<nlohmann::ordered_json>& records,
                                             int jobs) {
    std::vector<vrel::ReportPictures> pictures(records.size());
    struct NoTools {}; // reading a photo needs nothing kept between photos
    vrel::WorkerPool<NoTools> workers(jobs, std::max<size_t>(1, records.size()),
                                      [] { return std::make_unique<NoTools>(); });
    for (size_t i = 0; i < records.size(); ++i) {
        workers.Submit({[&records, &pictures, i](NoTools&) {
                            auto& r = records[i];
                            auto text = [&](const char* key) {
                                return r.contains(key) && r[key].is_string()
                                           ? r[key].get<std::string>()
                                           : std::string();
                            };
                            pictures[i] = vrel::PicturesFromFiles(text("path"), text("corrected"));
                            if (!r.contains("phash")) {
                                const auto f = vrel::FingerprintFile(text("path"));
                                if (f.phash) {
                                    r["phash"] = vrel::HashHex(*f.phash);
                                }
                            }
                        },
                        {}});
    }
    workers.Stop(); // every job runs; a thumbnail that could not be made stays empty
    return pictures;
}

bool Passing(const nlohmann::ordered_json& record) {
    const std::string verdict = record.contains("verdict") && record["verdict"].is_string()
                                    ? record["verdict"].get<std::string>()
                                    : std::string();
    return verdict == "Passed" || verdict == "PassedByMarker" || verdict == "PassedByBypass";
}

// Adds the records of a JSON Lines file to a report, with thumbnails from their photos;
// all_passed is cleared by a rejected one. False where the file or a line cannot be read
// (told on standard error; the rest is added).
bool AddRecordsFile(vrel::BatchReportWriter& report, const std::string& name, int jobs,
                    bool& all_passed) {
    std::ifstream in(std::filesystem::u8path(name), std::ios::binary);
    if (!in) {
        std::cerr << "vrel-check: --records: cannot read '" << name << "'\n";
        return false;
    }
    bool whole = true;
    std::string line;
    uint64_t number = 0;
    std::vector<nlohmann::ordered_json> run;
    auto flush = [&] {
        const auto pictures = PicturesOf(run, jobs);
        for (size_t i = 0; i < run.size(); ++i) {
            all_passed = all_passed && Passing(run[i]);
            report.Add(std::move(run[i]), pictures[i]); // a failure is kept for Close
        }
        run.clear();
    };
    while (std::getline(in, line)) {
        ++number;
        if (line.empty() || line == "\r") {
            continue;
        }
        auto record = nlohmann::ordered_json::parse(line, nullptr, false);
        if (!record.is_object() || !record.contains("path")) {
            std::cerr << "vrel-check: --records: " << name << ":" << number << ": not a record\n";
            whole = false;
            continue;
        }
        run.push_back(std::move(record));
        if (run.size() >= 64 * static_cast<size_t>(jobs)) {
            flush();
        }
    }
    flush();
    return whole;
}

// The size and time a record says its photo had; std::nullopt for a record without them.
std::optional<vrel::SkipSource::Stamp> StampInRecord(const nlohmann::ordered_json& r) {
    if (!r.is_object() || !r.contains("path") || !r["path"].is_string() ||
        !r.contains("file_size") || !r["file_size"].is_number_unsigned() ||
        !r.contains("mtime_ns") || !r["mtime_ns"].is_number_integer()) {
        return std::nullopt;
    }
    return vrel::SkipSource::Stamp{r["file_size"].get<uint64_t>(), r["mtime_ns"].get<int64_t>()};
}

// Goes on with the JSON Lines file of a stopped batch: keeps each photo's last complete record
// while the photo is as it was then (a line cut off by the stop, or the record of a photo
// changed since, is dropped, to be reviewed again), writes the file back with those alone, and
// puts their paths into done; all_passed is cleared where one of them was
// rejected. A file that is not there yet is a batch that begins.
std::optional<int> PrepareResume(const std::string& file,
                                 std::map<std::string, vrel::SkipSource::Stamp>& done,
                                 bool& all_passed) {
    const auto path = std::filesystem::u8path(file);
    std::error_code ec;
    if (!std::filesystem::exists(path, ec) && !ec) {
        return std::nullopt;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return SetupError("--resume: cannot read '" + file + "': " + std::strerror(errno));
    }
    std::map<std::string, std::pair<uint64_t, vrel::SkipSource::Stamp>> last;
    std::string line;
    for (uint64_t number = 1; std::getline(in, line); ++number) {
        const auto record = nlohmann::ordered_json::parse(line, nullptr, false);
        if (const auto stamp = StampInRecord(record)) {
            last[record["path"].get<std::string>()] = {number, *stamp};
        }
    }
    for (auto it = last.begin(); it != last.end();) {
        it = vrel::StampOf(it->first) == std::optional(it->second.second) ? std::next(it)
                                                                          : last.erase(it);
    }
    const std::string part = file + ".part";
    std::ofstream out(std::filesystem::u8path(part), std::ios::binary | std::ios::trunc);
    in.clear();
    in.seekg(0);
    for (uint64_t number = 1; out && std::getline(in, line); ++number) {
        const auto record = nlohmann::ordered_json::parse(line, nullptr, false);
        if (!StampInRecord(record)) {
            continue;
        }
        const auto kept = last.find(record["path"].get<std::string>());
        if (kept != last.end() && kept->second.first == number) {
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            out << line << '\n';
            done.emplace(kept->first, kept->second.second);
            all_passed = all_passed && Passing(record);
        }
    }
    out.close();
    if (!out || in.bad()) {
        std::filesystem::remove(std::filesystem::u8path(part), ec);
        return SetupError("--resume: cannot write '" + part + "' beside '" + file + "'");
    }
    std::filesystem::rename(std::filesystem::u8path(part), path, ec);
    if (ec) {
        return SetupError("--resume: cannot put '" + file + "' back in place: " + ec.message());
    }
    return std::nullopt;
}

// Reviews the PATHs, then the list, writing each record as it comes.
int ReviewAll(const Options& o, const vrel::CheckSettings& settings) {
    std::ifstream list_file;
    std::istream* list = nullptr;
    std::optional<uint64_t> list_total;
    if (const auto status = OpenList(o, list_file, list, list_total)) {
        return *status;
    }
    vrel::CsvReport csv;
    if (!o.csv_path.empty() && !csv.Open(o.csv_path)) {
        return SetupError("cannot write the report '" + o.csv_path + "': " + std::strerror(errno));
    }
    std::optional<vrel::BatchReportWriter> report;
    if (!o.report_dir.empty()) {
        if (const vrel::Error error = report.emplace().Open(o.report_dir)) {
            return SetupError("--report: " + error.Detail());
        }
    }
    std::map<std::string, vrel::SkipSource::Stamp> done;
    std::ofstream resumed;
    bool earlier_passed = true;
    if (!o.resume.empty()) {
        if (const auto status = PrepareResume(o.resume, done, earlier_passed)) {
            return *status;
        }
        bool reported_passed = true; // as earlier_passed
        if (report && !AddRecordsFile(*report, o.resume, o.jobs, reported_passed)) {
            return SetupError("--resume: cannot read '" + o.resume + "' back");
        }
        resumed.open(std::filesystem::u8path(o.resume), std::ios::binary | std::ios::app);
        if (!resumed) {
            return SetupError("--resume: cannot write '" + o.resume + "': " + std::strerror(errno));
        }
    }
    std::vector<std::string> paths;
    for (const std::string& input : o.inputs) {
        auto expanded = vrel::ExpandPath(input, !o.correct_dir.empty());
        paths.insert(paths.end(), expanded.begin(), expanded.end());
    }
    vrel::ListSource named(std::move(paths));
    std::optional<vrel::LineSource> listed;
    std::optional<vrel::ChainSource> both;
    vrel::PathSource* source = &named;
    if (list != nullptr) {
        source = &both.emplace(named, listed.emplace(*list, list_total));
    }
    std::optional<vrel::SkipSource> remaining;
    if (!o.resume.empty()) {
        source = &remaining.emplace(*source, done);
    }

    const bool show_progress = !o.quiet && vrel::platform::IsTerminal(stderr);
    vrel::ProgressPrinter progress(std::cerr, source->Total());
    const vrel::BatchSummary summary = vrel::RunBatch(
        *source, Batch(o, settings),
        [&](const vrel::PhotoRecord& record, const vrel::ReportPictures& pictures) {
            if (report) { // a failure is kept for Close
                report->Add(vrel::RecordToJson(record), pictures);
            }
            if (resumed.is_open()) { // each record whole on the disk before the next
                resumed << vrel::RecordToJson(record).dump(
                               -1, ' ', false, nlohmann::ordered_json::error_handler_t::replace)
                        << "\n";
                resumed.flush();
            } else if (o.json) {
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
    if (!o.quiet) {
        std::cerr << vrel::SummaryText(summary.reviewed, summary.counts, progress.Seconds(),
                                       &summary.attention);
    }
    if (!o.quiet && !summary.duplicate_groups.empty()) {
        size_t photos = 0;
        for (const auto& group : summary.duplicate_groups) {
            photos += group.size();
        }
        std::cerr << "  handed in more than once: " << photos << " photos in "
                  << summary.duplicate_groups.size()
                  << " group(s) (see each record's duplicates)\n";
    }
    int status = ExitStatus(o, summary, listed && listed->ReadFailed(), csv);
    if (remaining) {
        if (!o.quiet) {
            std::cerr << "  skipped, reviewed before: " << remaining->Skipped() << " (" << o.resume
                      << ")\n";
        }
        if (status == kAllPassed && !earlier_passed) {
            status = kSomeRejected;
        }
        if (resumed.close(), !resumed) {
            std::cerr << "vrel-check: --resume: '" << o.resume << "' could not be written whole\n";
            status = kOutputFailed;
        }
    }
    if (summary.reviewed == 0 && (!remaining || remaining->Skipped() == 0) &&
        status != kOutputFailed) {
        std::cerr << "vrel-check: no photo was found in what was given\n";
        status = kSetupError;
    }
    if (report) {
        vrel::ReportMeta meta;
        meta.seconds = progress.Seconds();
        meta.settings = vrel::SettingsToJson(settings);
        meta.requirements = vrel::RequirementSentences(vrel::RequirementsOf(settings));
        if (const vrel::Error error = report->Close(meta)) {
            std::cerr << "vrel-check: --report: " << error.Detail() << "\n";
            status = kOutputFailed;
        } else if (!o.quiet) {
            std::cerr << "report: " << (std::filesystem::path(o.report_dir) / "index.html").string()
                      << "\n";
        }
    }
    return status;
}

// A report from the JSON Lines of earlier runs (of one machine or many), without reviewing
// again: each line as it was, its thumbnails read from the photos' paths.
int ReportFromRecords(const Options& o, const vrel::CheckSettings& settings) {
    vrel::BatchReportWriter report;
    if (const vrel::Error error = report.Open(o.report_dir)) {
        return SetupError("--report: " + error.Detail());
    }
    const auto start = std::chrono::steady_clock::now();
    bool all_passed = true;
    int status = kAllPassed;
    for (const std::string& name : o.records) {
        if (!AddRecordsFile(report, name, o.jobs, all_passed)) {
            status = kSetupError;
        }
    }
    vrel::ReportMeta meta;
    meta.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    meta.settings = vrel::SettingsToJson(settings);
    meta.requirements = vrel::RequirementSentences(vrel::RequirementsOf(settings));
    if (const vrel::Error error = report.Close(meta)) {
        std::cerr << "vrel-check: --report: " << error.Detail() << "\n";
        return kOutputFailed;
    }
    if (!o.quiet) {
        std::cerr << report.Count() << " records in the report " << o.report_dir << "\n";
    }
    return status != kAllPassed ? status : all_passed ? kAllPassed : kSomeRejected;
}

// Writes the photos an operator accepted, as the decision file says, after checking that none
// of them changed since its review.
int ApplyDecisions(const Options& o, const vrel::CheckSettings& settings) {
    std::ifstream in(std::filesystem::u8path(o.apply_decisions), std::ios::binary);
    std::string text;
    if (in) {
        text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    if (!in && !in.eof()) {
        return SetupError("--apply-decisions: cannot read '" + o.apply_decisions + "'");
    }
    auto decisions = vrel::ParseDecisions(text);
    if (!decisions) {
        return SetupError("--apply-decisions: " + o.apply_decisions + ": " +
                          decisions.Err().Detail());
    }
    std::vector<const vrel::Decision*> accepted;
    uint64_t sent_back = 0, undecided = 0;
    for (const vrel::Decision& d : *decisions) {
        if (d.kind == vrel::DecisionKind::Accepted) {
            accepted.push_back(&d);
        }
        sent_back += d.kind == vrel::DecisionKind::SentBack;
        undecided += d.kind == vrel::DecisionKind::Undecided;
    }
    bool changed = false;
    for (const vrel::Decision* d : accepted) {
        if (const std::string why = vrel::ChangedSince(*d); !why.empty()) {
            std::cerr << "vrel-check: --apply-decisions: " << o.apply_decisions << ":" << d->line
                      << ": " << d->path << ": " << why << "\n";
            changed = true;
        }
    }
    if (changed) {
        return SetupError("nothing was written: the decisions were made on photos that are "
                          "not there as they were reviewed; review them again");
    }
    if (!MakeFolder(o.save_dir, "save")) {
        return kSetupError;
    }
    vrel::ReviewOptions review;
    review.reuse_detector = true;
    review.ignore_marker = true; // a corrected photo is reviewed with every test again
    review.advise = false;
    vrel::PhotoReviewer reviewer(settings, o.data_dir, review);
    vrel::OutputFolder folder(o.save_dir, ".jpg", o.overwrite);
    uint64_t written = 0;
    for (const vrel::Decision* d : accepted) {
        const vrel::Applied applied = vrel::ApplyDecision(*d, reviewer, settings, folder);
        written += applied.saved.empty() ? 0 : 1;
        if (o.json) {
            nlohmann::ordered_json j = {{"path", d->path},
                                        {"source", applied.source},
                                        {"verdict", vrel::VerdictName(applied.verdict)}};
            if (!applied.saved.empty()) {
                j["saved"] = applied.saved;
            } else {
                j["save_error"] = applied.error.Detail();
            }
            std::cout << j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace)
                      << "\n";
        } else {
            std::cout << vrel::EscapeTextField(d->path) << '\t'
                      << (applied.saved.empty()
                              ? "not saved\t" + vrel::EscapeTextField(applied.error.Detail())
                              : "saved\t" + vrel::EscapeTextField(applied.saved))
                      << "\n";
        }
    }
    std::cout.flush();
    if (!o.quiet) {
        std::cerr << written << " of " << accepted.size() << " accepted photo(s) written to "
                  << o.save_dir << "; " << sent_back << " sent back, " << undecided
                  << " undecided\n";
    }
    return written == accepted.size() && std::cout ? kAllPassed : kOutputFailed;
}

} // namespace

int main(int argc, char** argv) {
    vrel::platform::PrepareProcess();
    vrel::QuietImageLibrary();
    Options o;
    if (const auto status = ParseCommandLine(argc, argv, o)) {
        return *status;
    }
    if (o.requirements) {
        return PrintRequirements(o);
    }
    if (const auto status = CheckInputsExist(o)) {
        return *status;
    }
    // Set-up errors stop the run before any photo is reviewed.
    // The backdrop model is needed only by a correction.
    const bool correcting = o.records.empty() && !o.correct_dir.empty();
    vrel::Result<vrel::ReviewKit> kit =
        vrel::LoadReviewKit(o.settings_path, o.data_dir, correcting);
    if (!kit) {
        std::cerr << vrel::SetupErrorLines("vrel-check", kit.Err());
        return kSetupError;
    }
    for (const vrel::SettingsWarning& warning : kit->warnings) {
        std::cerr << "vrel-check: warning: " << o.settings_path << ": "
                  << vrel::WarningLine(warning) << '\n';
    }
    o.data_dir = kit->data_dir;
    const vrel::CheckSettings& settings = kit->settings;
    if (!o.records.empty()) {
        return ReportFromRecords(o, settings);
    }
    if (!o.apply_decisions.empty()) {
        return ApplyDecisions(o, settings);
    }
    if (const vrel::Error& missing = kit->landmarks_unavailable) {
        std::fprintf(stderr, "vrel-check: warning: some quality advisories are left out: %s\n",
                     missing.Detail().c_str());
    }
    if (correcting) {
        if (const vrel::Error error = vrel::ChooseBackdrop(o.backdrop, settings).Err()) {
            return SetupError("--backdrop: " + error.Detail());
        }
        if (const vrel::Error& missing = kit->correction_unavailable) {
            return SetupError("cannot correct photos: " + missing.Detail());
        }
    }
    if ((!o.save_dir.empty() && !MakeFolder(o.save_dir, "save")) ||
        (!o.annotate_dir.empty() && !MakeFolder(o.annotate_dir, "annotation")) ||
        (!o.correct_dir.empty() && !MakeFolder(o.correct_dir, "correction"))) {
        return kSetupError;
    }
    return ReviewAll(o, settings);
}
