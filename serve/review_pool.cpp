#include "serve/review_pool.h"

#include <stdexcept>

namespace vrel::serve {

ReviewPool::ReviewPool(const PoolOptions& options)
    : WorkerPool(options.jobs, options.queue, [options] {
          auto tools = std::make_unique<WorkerTools>(options.settings, options.data_dir,
                                                     options.review, options.backdrop);
          if (options.review.reuse_detector && !tools->reviewer.Detector().Loaded()) {
              throw ErrorThrown({ErrorCode::Unreadable,
                                 "cannot load the face detector '" + tools->reviewer.CascadePath() +
                                     "': the file is missing or unreadable"});
          }
          return tools;
      }) {}

} // namespace vrel::serve
