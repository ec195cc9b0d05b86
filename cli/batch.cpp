#include "cli/batch.h"

#include "correct/correction.h"
#include "fingerprint/duplicates.h"
#include "output/output_folder.h"
#include "output/photo_writer.h"
#include "platform/files.h"
#include "report/annotate.h"
#include "report/messages.h"
#include "setup/review_kit.h"
#include "workers/worker_pool.h"

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <system_error>

namespace fs = std::filesystem;

namespace vrel {

bool HasPhotoExtension(const std::string& name, bool other_formats) {
    std::string ext = fs::path(name).extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (ext == ".jpg" || ext == ".jpeg" || ext == ".jfif") {
        return true;
    }
    return other_formats &&
           (ext == ".png" || ext == ".webp" || ext == ".bmp" || ext == ".tif" || ext == ".tiff");
}

std::vector<std::string> ExpandPath(const std::string& path, bool other_formats) {
    std::error_code ec;
    if (!fs::is_directory(path, ec)) {
        return {path};
    }
    std::vector<std::string> files;
    for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
        const auto& entry = *it;
        std::error_code type_ec;
        if (!entry.is_directory(type_ec) &&
            HasPhotoExtension(entry.path().filename().string(), other_formats)) {
            files.push_back(entry.path().string());
        }
    }
    std::sort(files.begin(), files.end());
    if (ec) { // the folder itself comes last, to be reported as what could not be listed
        files.push_back(path);
    }
    return files;
}

Error FolderListingError(const std::string& path) {
    std::error_code ec;
    if (!fs::is_directory(path, ec)) {
        return {};
    }
    for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
    }
    return ec ? Error(ErrorCode::Unreadable, "the folder cannot be listed: " + ec.message())
              : Error();
}

bool ListSource::Next(std::string& path) {
    if (next_ >= paths_.size()) {
        return false;
    }
    path = std::move(paths_[next_++]);
    return true;
}

bool LineSource::Next(std::string& path) {
    while (std::getline(in_, path)) {
        if (first_) {
            first_ = false;
            if (path.compare(0, 3, "\xEF\xBB\xBF") == 0) {
                path.erase(0, 3);
            }
        }
        if (!path.empty() && path.back() == '\r') {
            path.pop_back();
        }
        if (!path.empty()) {
            return true;
        }
    }
    return false;
}

std::optional<uint64_t> ChainSource::Total() const {
    const auto a = first_.Total(), b = second_.Total();
    if (!a || !b) {
        return std::nullopt;
    }
    return *a + *b;
}

std::optional<SkipSource::Stamp> StampOf(const std::string& path) {
    std::FILE* file = platform::OpenForReading(path);
    if (file == nullptr) {
        return std::nullopt;
    }
    SkipSource::Stamp stamp;
    stamp.modified_ns = platform::ModifiedTime(file);
    std::fclose(file);
    std::error_code ec;
    stamp.size = fs::file_size(fs::u8path(path), ec);
    if (ec) {
        return std::nullopt;
    }
    return stamp;
}

bool SkipSource::Next(std::string& path) {
    while (inner_.Next(path)) {
        const auto done = done_.find(path);
        if (done == done_.end() || StampOf(path) != std::optional(done->second)) {
            return true;
        }
        ++skipped_;
    }
    return false;
}

std::optional<uint64_t> SkipSource::Total() const {
    const auto total = inner_.Total();
    if (!total) {
        return std::nullopt;
    }
    return *total > done_.size() ? *total - done_.size() : 0;
}

bool BatchSummary::AllPassed() const {
    if (setup_error) {
        return false;
    }
    for (const auto& [verdict, count] : counts) {
        if (count > 0 && !IsPass(verdict)) {
            return false;
        }
    }
    return true;
}

namespace {

// What a worker hands back for one photo; files are written in input order by the caller.
struct JobResult {
    PhotoRecord record;
    bool save_wanted = false;
    PreparedPhoto saved;
    bool annotation_wanted = false;
    std::vector<unsigned char> explanation; // encoded picture
    std::string annotation_failure;         // why it could not be drawn
    std::vector<unsigned char> corrected;   // the corrected photo's file, to be written
    ReportPictures pictures;                // for a report folder
};

JobResult NotReviewed(const std::string& path, const std::string& error) {
    JobResult out;
    out.record.path = path;
    out.record.verdict = CheckVerdict::PixelSizeOutOfRange;
    out.record.error = error;
    return out;
}

JobResult ReviewOne(WorkerTools& tools, const BatchOptions& opts, const std::string& path) {
    ReviewResult result = tools.reviewer.Review(path);
    if (result.failed.rule == Rule::Readable) {
        if (Error listing = FolderListingError(path)) {
            result.error = std::move(listing);
        }
    }
    JobResult out;
    out.record = MakeRecord(path, result, opts.check);
    if (opts.fingerprints) {
        out.record.fingerprint = FingerprintFile(path);
    }
    cv::Mat corrected_photo;
    if (tools.corrector && !IsPass(result.verdict)) {
        Correction correction = tools.corrector->CorrectFile(path, result);
        out.corrected = std::move(correction.bytes);
        corrected_photo = correction.photo;
        AddCorrection(out.record, correction, opts.check);
        if (!out.corrected.empty()) {
            out.record.corrected_sha256 = Sha256Hex(out.corrected);
        }
    }
    if (opts.report_pictures) {
        out.pictures = PicturesOfReview(result, corrected_photo, opts.check, *tools.labels, path);
    }
    if (IsPass(result.verdict) && !opts.save_dir.empty()) {
        out.save_wanted = true;
        try {
            out.saved = PreparePassedPhoto(result.result_image, opts.check);
        } catch (const std::exception& e) {
            out.saved = PreparedPhoto{};
            out.saved.outcome.error = {ErrorCode::Invalid, e.what()};
        }
    }
    if (!opts.annotate_dir.empty() && !result.normalised.empty()) {
        out.annotation_wanted = true;
        try {
            const cv::Mat picture = DrawExplanation(result, opts.check, *tools.labels);
            if (!cv::imencode(".png", picture, out.explanation, {cv::IMWRITE_PNG_COMPRESSION, 1})) {
                out.explanation.clear();
            }
        } catch (const std::exception& e) {
            out.explanation.clear();
            out.annotation_failure = e.what();
        }
    }
    return out;
}

// One photo never ends the batch: a review that fails is reported, and the next one goes on.
JobResult Review(WorkerTools& tools, const BatchOptions& opts, const std::string& path) {
    try {
        return ReviewOne(tools, opts, path);
    } catch (const std::exception& e) {
        return NotReviewed(path, std::string("the review failed: ") + e.what());
    } catch (...) {
        return NotReviewed(path, "the review failed");
    }
}

// What the workers hand back, each kept until its turn in input order.
class InOrder {
public:
    void Put(uint64_t seq, JobResult result) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            results_.emplace(seq, std::move(result));
        }
        ready_.notify_all();
    }

    JobResult Take(uint64_t seq) {
        std::unique_lock<std::mutex> lock(mutex_);
        ready_.wait(lock, [&] { return results_.count(seq) != 0; });
        JobResult result = std::move(results_[seq]);
        results_.erase(seq);
        return result;
    }

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::map<uint64_t, JobResult> results_;
};

// The folders a batch writes into, each naming its files from the photos' names.
struct OutputFolders {
    explicit OutputFolders(const BatchOptions& opts) {
        if (!opts.save_dir.empty()) {
            saves.emplace(opts.save_dir, ".jpg", opts.overwrite);
        }
        if (!opts.annotate_dir.empty()) {
            annotations.emplace(opts.annotate_dir, ".png", opts.overwrite);
        }
        if (!opts.correct_dir.empty()) {
            corrections.emplace(opts.correct_dir, ".jpg", opts.overwrite);
        }
    }

    // Writes what a worker made for one photo, in input order, and notes in its record where
    // each file went or why it could not be written.
    void Write(JobResult& result) {
        PhotoRecord& record = result.record;
        if (result.save_wanted) {
            const SaveOutcome& outcome = result.saved.outcome;
            record.quality = outcome.quality;
            if (outcome.status != SaveStatus::Saved) {
                record.save_error = outcome.error
                                        ? SaveMessage(outcome) + " (" + outcome.error.Detail() + ")"
                                        : SaveMessage(outcome);
            } else if (const auto written = saves->Write(record.path, result.saved.bytes);
                       written.Ok()) {
                record.saved = written.path;
            } else {
                record.save_error =
                    std::string(kWriteFailedMessage) + " (" + written.error.Detail() + ")";
            }
        }
        if (result.annotation_wanted) {
            if (!result.annotation_failure.empty() || result.explanation.empty()) {
                record.annotate_error =
                    "the explanation picture could not be drawn" +
                    (result.annotation_failure.empty() ? std::string()
                                                       : ": " + result.annotation_failure);
            } else if (const auto written = annotations->Write(record.path, result.explanation);
                       written.Ok()) {
                record.annotated = written.path;
            } else {
                record.annotate_error = written.error.Detail();
            }
        }
        if (!result.corrected.empty()) {
            if (const auto written = corrections->Write(record.path, result.corrected);
                written.Ok()) {
                record.corrected = written.path;
            } else {
                record.correct_write_error = written.error.Detail();
            }
        }
    }

    std::optional<OutputFolder> saves, annotations, corrections;
};

} // namespace

BatchSummary RunBatch(PathSource& source, const BatchOptions& opts, const RecordSink& sink,
                      const std::function<void(uint64_t)>& progress) {
    // Each worker reviews one photo at a time; the library's own threads would only compete.
    const int previous_threads = cv::getNumThreads();
    cv::setNumThreads(0);
    OutputFolders folders(opts);
    BatchSummary summary;
    // Photos under way or waiting for their turn to be reported.
    const uint64_t window = 4 * static_cast<uint64_t>(std::max(1, opts.jobs)) + 4;
    // Each worker's tools: the labels and the corrector where the outputs need them.
    ReviewKit kit;
    kit.settings = opts.check;
    kit.data_dir = opts.data_dir;
    kit.backdrop = opts.backdrop;
    kit.review.ignore_marker = opts.ignore_marker;
    kit.review.fast_decode = opts.fast_decode;
    kit.review.landmarks = opts.landmarks;
    kit.corrections = !opts.correct_dir.empty();
    kit.labels = !opts.annotate_dir.empty() || opts.report_pictures;
    InOrder results; // outlives the workers, which may still drop their jobs into it
    // Whatever ends the batch (an exception from a writer or the sink included), the workers
    // are stopped and joined.
    WorkerPool<WorkerTools> workers(opts.jobs, window, ToolsFactory(kit));
    if (const Error failure = workers.WaitUntilReady()) {
        summary.setup_error = {failure.Code(), "the review could not start: " + failure.Detail()};
        cv::setNumThreads(previous_threads);
        return summary;
    }

    DuplicateFinder duplicates;
    std::vector<std::string> paths; // of the photos reviewed, to name the duplicates by
    uint64_t dispatched = 0;
    bool more = true;
    std::string path;
    while (true) {
        while (more && dispatched - summary.reviewed < window && (more = source.Next(path))) {
            const uint64_t seq = dispatched;
            WorkerPool<WorkerTools>::Job job{
                [&opts, &results, seq, path](WorkerTools& tools) {
                    results.Put(seq, Review(tools, opts, path));
                },
                [&results, seq, path] {
                    results.Put(seq, NotReviewed(path, "the review was cancelled"));
                }};
            if (!workers.Submit(std::move(job))) { // stopped early: not by this loop
                summary.setup_error = {ErrorCode::Stopped,
                                       "the workers stopped before the batch ended"};
                more = false;
                break;
            }
            ++dispatched;
        }
        if (summary.reviewed == dispatched) {
            break;
        }
        JobResult result = results.Take(summary.reviewed);
        folders.Write(result);
        PhotoRecord& record = result.record;
        if (opts.fingerprints) {
            const auto& f = record.fingerprint;
            for (const size_t earlier : duplicates.Add(f && !f->error ? f->phash : std::nullopt)) {
                record.duplicates.push_back(paths[earlier]);
            }
            paths.push_back(record.path);
        }
        summary.output_failures += record.OutputFailed() ? 1 : 0;
        ++summary.counts[record.verdict];
        summary.attention.Add(record);
        ++summary.reviewed;
        sink(record, result.pictures);
        if (progress) {
            progress(summary.reviewed);
        }
    }
    workers.Stop();
    cv::setNumThreads(previous_threads);
    summary.duplicate_groups = duplicates.Groups();
    return summary;
}

} // namespace vrel
