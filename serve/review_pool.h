#pragma once

#include "setup/review_kit.h"
#include "workers/worker_pool.h"

namespace vrel::serve {

// Each worker has the kit's tools, a corrector and the verdict labels among them: the
// corrector replaces backdrops with the service's colour unless a request asks for another.
struct PoolOptions {
    ReviewKit kit;
    int jobs = 1;
    size_t queue = 16;
};

// The service's workers behind a bounded queue: a review that finds the queue full is refused
// at once rather than kept, so memory never grows with the load. Each worker reads its face
// detector as it starts; WaitUntilReady() tells when one cannot.
class ReviewPool : public WorkerPool<WorkerTools> {
public:
    explicit ReviewPool(const PoolOptions& options);
};

} // namespace vrel::serve
