#include "cli/batch.h"

#include "cli/annotate.h"
#include "output/photo_writer.h"

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

bool HasPhotoExtension(const std::string& name) {
    std::string ext = fs::path(name).extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return ext == ".jpg" || ext == ".jpeg" || ext == ".jfif";
}

std::vector<std::string> ExpandPath(const std::string& path) {
    std::error_code ec;
    if (!fs::is_directory(path, ec)) {
        return {path};
    }
    std::vector<std::string> files;
    for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
        const auto& entry = *it;
        std::error_code type_ec;
        if (!entry.is_directory(type_ec) && HasPhotoExtension(entry.path().filename().string())) {
            files.push_back(entry.path().string());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

SaveNamer::SaveNamer(std::string dir, std::string extension)
    : dir_(std::move(dir)), extension_(std::move(extension)) {
    if (!dir_.empty() && dir_.back() != '/') {
        dir_ += '/';
    }
}

std::string SaveNamer::NameFor(const std::string& input_path) {
    std::string stem = fs::path(input_path).stem().string();
    if (stem.empty() || stem == "." || stem == "..") {
        stem = "photo";
    }
    std::string name = stem + extension_;
    for (int n = 2; used_.count(name) != 0; ++n) {
        name = stem + "-" + std::to_string(n) + extension_;
    }
    used_.insert(name);
    return dir_ + name;
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
        if (!path.empty() && path.back() == '\r') {
            path.pop_back();
        }
        if (!path.empty()) {
            return true;
        }
    }
    return false;
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
    std::vector<unsigned char> explanation; // encoded picture, empty when there is none
};

struct Job {
    uint64_t seq;
    std::string path;
};

class Pipeline {
public:
    Pipeline(const BatchOptions& opts) : opts_(opts) {}

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
            t.join();
        }
    }

private:
    void Work() {
        ReviewOptions review_options;
        review_options.reuse_detector = true;
        review_options.reuse_buffers = true;
        review_options.ignore_marker = opts_.ignore_marker;
        PhotoReviewer reviewer(opts_.check, opts_.data_dir, review_options);
        std::unique_ptr<VerdictLabels> labels;
        if (!opts_.annotate_dir.empty()) {
            labels = std::make_unique<VerdictLabels>(reviewer.DataDir());
        }
        for (;;) {
            Job job;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                job_ready_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
                if (jobs_.empty()) {
                    return;
                }
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
            JobResult out = ReviewOne(reviewer, labels.get(), job.path);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                results_.emplace(job.seq, std::move(out));
            }
            result_ready_.notify_all();
        }
    }

    JobResult ReviewOne(PhotoReviewer& reviewer, const VerdictLabels* labels,
                        const std::string& path) {
        const ReviewResult result = reviewer.Review(path);
        JobResult out;
        out.record = MakeRecord(path, result, opts_.check);
        if (IsPass(result.verdict) && !opts_.save_dir.empty()) {
            out.save_wanted = true;
            out.saved = PreparePassedPhoto(result.result_image, opts_.check);
        }
        if (labels != nullptr) {
            const cv::Mat picture = DrawExplanation(result, opts_.check, *labels);
            if (!picture.empty()) {
                cv::imencode(".png", picture, out.explanation, {cv::IMWRITE_PNG_COMPRESSION, 1});
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

BatchSummary RunBatch(PathSource& source, const BatchOptions& opts,
                      const std::function<void(const PhotoRecord&)>& sink,
                      const std::function<void(uint64_t)>& progress) {
    // Each worker reviews one photo at a time; the library's own threads would only compete.
    const int previous_threads = cv::getNumThreads();
    cv::setNumThreads(0);

    SaveNamer save_names(opts.save_dir);
    SaveNamer annotation_names(opts.annotate_dir, ".png");
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
        PhotoRecord& record = result.record;
        if (result.save_wanted) {
            const SaveOutcome& outcome = result.saved.outcome;
            record.quality = outcome.quality;
            if (outcome.status == SaveStatus::Saved) {
                const std::string target = save_names.NameFor(record.path);
                const std::string error = WriteFileAtomically(target, result.saved.bytes);
                if (error.empty()) {
                    record.saved = target;
                } else {
                    record.save_error = kWriteFailedMessage;
                }
            } else {
                record.save_error = outcome.Message();
            }
        }
        if (!result.explanation.empty()) {
            const std::string target = annotation_names.NameFor(record.path);
            if (WriteFileAtomically(target, result.explanation).empty()) {
                record.annotated = target;
            }
        }
        ++summary.counts[record.verdict];
        ++summary.reviewed;
        sink(record);
        if (progress) {
            progress(summary.reviewed);
        }
    }
    pipeline.Stop();
    cv::setNumThreads(previous_threads);
    return summary;
}

} // namespace vrel
