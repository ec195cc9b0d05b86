#include "cli/batch.h"

#include "correct/correction.h"
#include "output/output_folder.h"
#include "output/photo_writer.h"
#include "report/annotate.h"

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <thread>

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

std::string FolderListingError(const std::string& path) {
    std::error_code ec;
    if (!fs::is_directory(path, ec)) {
        return std::string();
    }
    for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
    }
    return ec ? "the folder cannot be listed: " + ec.message() : std::string();
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

bool BatchSummary::AllPassed() const {
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

struct Job {
    uint64_t seq;
    std::string path;
};

class Pipeline {
public:
    Pipeline(const BatchOptions& opts) : opts_(opts) {}
    // Whatever ends the batch (an exception from a writer or the sink included), the workers
    // are stopped and joined.
    ~Pipeline() { Stop(); }
    Pipeline(const Pipeline&) = delete;
    Pipeline& operator=(const Pipeline&) = delete;

    void Start() {
        for (int i = 0; i < std::max(1, opts_.jobs); ++i) {
            workers_.emplace_back([this] { Work(); });
        }
    }

    void Push(Job job) {
        std::lock_guard<std::mutex> lock(mutex_);
        jobs_.push_back(std::move(job));
        job_ready_.notify_one();
    }

    JobResult Take(uint64_t seq) {
        std::unique_lock<std::mutex> lock(mutex_);
        result_ready_.wait(lock, [&] { return results_.count(seq) != 0; });
        JobResult result = std::move(results_[seq]);
        results_.erase(seq);
        return result;
    }

    void Stop() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        job_ready_.notify_all();
        for (std::thread& t : workers_) {
            if (t.joinable()) {
                t.join();
            }
        }
        workers_.clear();
    }

private:
    // A worker whose tools cannot be made reports every photo it takes as not reviewed.
    void Work() {
        try {
            WorkWithTools();
        } catch (const std::exception& e) {
            Fail(std::string("the review could not start: ") + e.what());
        }
    }

    void Fail(const std::string& error) {
        for (;;) {
            Job job;
            if (!NextJob(job)) {
                return;
            }
            JobResult out;
            out.record.path = job.path;
            out.record.verdict = CheckVerdict::PixelSizeOutOfRange;
            out.record.error = error;
            Deliver(job.seq, std::move(out));
        }
    }

    bool NextJob(Job& job) {
        std::unique_lock<std::mutex> lock(mutex_);
        job_ready_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
        if (jobs_.empty()) {
            return false;
        }
        job = std::move(jobs_.front());
        jobs_.pop_front();
        return true;
    }

    void Deliver(uint64_t seq, JobResult out) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            results_.emplace(seq, std::move(out));
        }
        result_ready_.notify_all();
    }

    void WorkWithTools() {
        ReviewOptions review_options;
        review_options.reuse_detector = true;
        review_options.reuse_buffers = true;
        review_options.ignore_marker = opts_.ignore_marker;
        review_options.fast_decode = opts_.fast_decode;
        PhotoReviewer reviewer(opts_.check, opts_.data_dir, review_options);
        std::unique_ptr<VerdictLabels> labels;
        if (!opts_.annotate_dir.empty() || opts_.report_pictures) {
            labels = std::make_unique<VerdictLabels>(reviewer.DataDir());
        }
        std::unique_ptr<PhotoCorrector> corrector;
        if (!opts_.correct_dir.empty()) {
            corrector =
                std::make_unique<PhotoCorrector>(opts_.check, reviewer.DataDir(), opts_.backdrop);
        }
        Job job;
        while (NextJob(job)) {
            JobResult out;
            try {
                out = ReviewOne(reviewer, labels.get(), corrector.get(), job.path);
            } catch (const std::exception& e) {
                // One photo never ends the batch: it is reported, and the next one goes on.
                out = JobResult{};
                out.record.path = job.path;
                out.record.verdict = CheckVerdict::PixelSizeOutOfRange;
                out.record.error = std::string("the review failed: ") + e.what();
            }
            Deliver(job.seq, std::move(out));
        }
    }

    JobResult ReviewOne(PhotoReviewer& reviewer, const VerdictLabels* labels,
                        PhotoCorrector* corrector, const std::string& path) {
        ReviewResult result = reviewer.Review(path);
        if (result.failed.rule == Rule::Readable) {
            if (std::string listing = FolderListingError(path); !listing.empty()) {
                result.error = std::move(listing);
            }
        }
        JobResult out;
        out.record = MakeRecord(path, result, opts_.check);
        cv::Mat corrected_photo;
        if (corrector != nullptr && !IsPass(result.verdict)) {
            Correction correction = corrector->CorrectFile(path, result);
            out.corrected = std::move(correction.bytes);
            corrected_photo = correction.photo;
            AddCorrection(out.record, correction);
        }
        if (opts_.report_pictures) {
            out.pictures = PicturesOfReview(result, corrected_photo, opts_.check, *labels);
        }
        if (IsPass(result.verdict) && !opts_.save_dir.empty()) {
            out.save_wanted = true;
            try {
                out.saved = PreparePassedPhoto(result.result_image, opts_.check);
            } catch (const std::exception& e) {
                out.saved = PreparedPhoto{};
                out.saved.outcome.reason = e.what();
            }
        }
        if (!opts_.annotate_dir.empty() && !result.normalised.empty()) {
            out.annotation_wanted = true;
            try {
                const cv::Mat picture = DrawExplanation(result, opts_.check, *labels);
                if (!cv::imencode(".png", picture, out.explanation,
                                  {cv::IMWRITE_PNG_COMPRESSION, 1})) {
                    out.explanation.clear();
                }
            } catch (const std::exception& e) {
                out.explanation.clear();
                out.annotation_failure = e.what();
            }
        }
        return out;
    }

    const BatchOptions& opts_;
    std::vector<std::thread> workers_;
    std::mutex mutex_;
    std::condition_variable job_ready_;
    std::condition_variable result_ready_;
    std::deque<Job> jobs_;
    std::map<uint64_t, JobResult> results_;
    bool stopping_ = false;
};

} // namespace

namespace {

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
                record.save_error = outcome.reason.empty()
                                        ? outcome.Message()
                                        : outcome.Message() + " (" + outcome.reason + ")";
            } else if (const auto written = saves->Write(record.path, result.saved.bytes);
                       written.Ok()) {
                record.saved = written.path;
            } else {
                record.save_error = std::string(kWriteFailedMessage) + " (" + written.error + ")";
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
                record.annotate_error = written.error;
            }
        }
        if (!result.corrected.empty()) {
            if (const auto written = corrections->Write(record.path, result.corrected);
                written.Ok()) {
                record.corrected = written.path;
            } else {
                record.correct_write_error = written.error;
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
    Pipeline pipeline(opts);
    pipeline.Start();

    // Photos under way or waiting for their turn to be reported.
    const uint64_t window = 4 * static_cast<uint64_t>(std::max(1, opts.jobs)) + 4;
    uint64_t dispatched = 0;
    bool more = true;
    std::string path;
    while (true) {
        while (more && dispatched - summary.reviewed < window) {
            more = source.Next(path);
            if (more) {
                pipeline.Push(Job{dispatched++, path});
            }
        }
        if (summary.reviewed == dispatched) {
            break;
        }
        JobResult result = pipeline.Take(summary.reviewed);
        folders.Write(result);
        const PhotoRecord& record = result.record;
        summary.output_failures += record.OutputFailed() ? 1 : 0;
        ++summary.counts[record.verdict];
        ++summary.reviewed;
        sink(record, result.pictures);
        if (progress) {
            progress(summary.reviewed);
        }
    }
    pipeline.Stop();
    cv::setNumThreads(previous_threads);
    return summary;
}

} // namespace vrel
