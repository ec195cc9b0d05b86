#include "serve/review_pool.h"

namespace vrel::serve {

size_t ProfileCount(const PoolOptions& options) {
    return options.profiles.size() + 1;
}

const ReviewKit& ProfileKit(const PoolOptions& options, size_t profile) {
    return profile == 0 ? options.kit : options.profiles.at(profile - 1).kit;
}

std::string_view ProfileName(const PoolOptions& options, size_t profile) {
    return profile == 0 ? kDefaultProfile : std::string_view(options.profiles.at(profile - 1).name);
}

const SettingsProfile& ProfileInfo(const PoolOptions& options, size_t profile) {
    return profile == 0 ? options.info : options.profiles.at(profile - 1).info;
}

std::optional<size_t> FindProfile(const PoolOptions& options, std::string_view name) {
    for (size_t i = 0; i < ProfileCount(options); ++i) {
        if (ProfileName(options, i) == name) {
            return i;
        }
    }
    return std::nullopt;
}

ServiceTools::ServiceTools(std::shared_ptr<const std::vector<ReviewKit>> kits)
    : kits_(std::move(kits)), tools_(kits_->size()) {
    For(0);
}

WorkerTools& ServiceTools::For(size_t profile) {
    std::unique_ptr<WorkerTools>& tools = tools_.at(profile);
    if (!tools) {
        Result<std::unique_ptr<WorkerTools>> made = MakeTools((*kits_)[profile]);
        if (!made) {
            throw ErrorThrown(made.Err());
        }
        tools = std::move(*made);
    }
    return *tools;
}

namespace {

std::function<std::unique_ptr<ServiceTools>()> ProfileTools(const PoolOptions& options) {
    auto kits = std::make_shared<std::vector<ReviewKit>>();
    for (size_t i = 0; i < ProfileCount(options); ++i) {
        kits->push_back(ProfileKit(options, i));
    }
    return [kits = std::shared_ptr<const std::vector<ReviewKit>>(std::move(kits))] {
        return std::make_unique<ServiceTools>(kits);
    };
}

} // namespace

ReviewPool::ReviewPool(const PoolOptions& options)
    : WorkerPool(options.jobs, options.queue, ProfileTools(options)) {}

} // namespace vrel::serve
