#pragma once

#include "check/check_run.h"
#include "correct/correction.h"
#include "report/annotate.h"
#include "workers/worker_pool.h"

#include <string>

namespace vrel::serve {

// What one worker reviews with: its own face detector (in the reviewer and the corrector), the
// verdict labels for explanation pictures, and the settings. The corrector replaces backdrops
// with the service's colour unless a request asks for another.
struct WorkerTools {
    WorkerTools(const CheckSettings& s, const std::string& data_dir, const ReviewOptions& options,
                const BackdropColour& backdrop)
        : settings(s), reviewer(s, data_dir, options), corrector(s, data_dir, backdrop),
          labels(data_dir) {}
    const CheckSettings settings;
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

// The service's workers behind a bounded queue: a review that finds the queue full is refused
// at once rather than kept, so memory never grows with the load. Each worker reads its face
// detector as it starts; WaitUntilReady() tells when one cannot.
class ReviewPool : public WorkerPool<WorkerTools> {
public:
    explicit ReviewPool(const PoolOptions& options);
};

} // namespace vrel::serve
