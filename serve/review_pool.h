#pragma once

#include "check/check_run.h"
#include "correct/correction.h"
#include "report/annotate.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vrel::serve {

// What one worker reviews with: its own face detector (in the reviewer and the corrector), the
// verdict labels for explanation pictures, and the settings. The corrector replaces backdrops
// with the service's colour unless a request asks for another.
struct WorkerTools {
    WorkerTools(const CheckSettings& s, const std::string& data_dir, const ReviewOptions& options,
                const BackdropColour& backdrop)
        : settings(s), reviewer(s, data_dir, options), corrector(s, data_dir, backdrop),
          labels(data_dir) {}
    const CheckSettings& settings;
    PhotoReviewer reviewer;
    PhotoCorrector corrector;
    VerdictLabels labels;
};

struct PoolOptions {
    CheckSettings settings;
    std::string data_dir;
    int jobs = 1;
    size_t queue = 16;
    ReviewOptions review;                      // how each worker's reviewer reviews
    BackdropColour backdrop = WhiteBackdrop(); // one the settings accept (ChooseBackdrop)
};

// A fixed set of workers behind a bounded queue: a review that finds the queue full is refused
// at once rather than kept, so memory never grows with the load.
class ReviewPool {
public:
    // What a worker runs, and what is called instead when the job is dropped before it started
    // (a stopping service); each answers its own request.
    struct Job {
        std::function<void(WorkerTools&)> run;
        std::function<void()> dropped;
    };

    explicit ReviewPool(PoolOptions options);
    ~ReviewPool();
    ReviewPool(const ReviewPool&) = delete;
    ReviewPool& operator=(const ReviewPool&) = delete;

    // False when the queue is full or the pool is stopping; the job is then not run.
    bool TrySubmit(Job job);
    size_t QueueDepth() const;
    size_t Capacity() const { return options_.queue; }
    // Takes every job that has not started out of the queue and calls its dropped().
    void DropQueued();
    // Runs what is queued, then ends the workers.
    void Stop();

private:
    void Work();

    PoolOptions options_;
    mutable std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Job> jobs_;
    bool stopping_ = false;
    std::vector<std::thread> workers_;
};

} // namespace vrel::serve
