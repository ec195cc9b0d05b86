#pragma once

#include "serve/profiles.h"
#include "setup/review_kit.h"
#include "workers/worker_pool.h"

#include <memory>
#include <optional>
#include <string_view>
#include <vector>

namespace vrel::serve {

// Each worker has the kit's tools, a corrector and the verdict labels among them: the
// corrector replaces backdrops with the service's colour unless a request asks for another.
// Each profile has a kit of its own; the default one is kit.
struct PoolOptions {
    ReviewKit kit;
    SettingsProfile info;                 // the default profile's title and source
    std::vector<ServiceProfile> profiles; // besides the default, by name
    int jobs = 1;
    size_t queue = 16;
};

// The profiles by number: 0 the default, then those of the list.
size_t ProfileCount(const PoolOptions& options);
const ReviewKit& ProfileKit(const PoolOptions& options, size_t profile);
std::string_view ProfileName(const PoolOptions& options, size_t profile);
const SettingsProfile& ProfileInfo(const PoolOptions& options, size_t profile);
// The number of the profile of that name; none for a name the service does not have.
std::optional<size_t> FindProfile(const PoolOptions& options, std::string_view name);

// One worker's tools for each profile: the default's made as the worker starts (so that a
// detector that cannot be read is told at once), another's when a request first asks for it.
class ServiceTools {
public:
    explicit ServiceTools(std::shared_ptr<const std::vector<ReviewKit>> kits);
    // Throws an ErrorThrown where the tools cannot be made.
    WorkerTools& For(size_t profile);

private:
    std::shared_ptr<const std::vector<ReviewKit>> kits_;
    std::vector<std::unique_ptr<WorkerTools>> tools_;
};

// The service's workers behind a bounded queue: a review that finds the queue full is refused
// at once rather than kept, so memory never grows with the load. Each worker reads its face
// detector as it starts; WaitUntilReady() tells when one cannot.
class ReviewPool : public WorkerPool<ServiceTools> {
public:
    explicit ReviewPool(const PoolOptions& options);
};

} // namespace vrel::serve
