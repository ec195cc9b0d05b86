#include "serve/review_pool.h"

namespace vrel::serve {

ReviewPool::ReviewPool(const PoolOptions& options)
    : WorkerPool(options.jobs, options.queue, [options] {
          auto tools = std::make_unique<WorkerTools>(options.settings, options.data_dir,
                                                     options.review, options.backdrop);
          if (options.review.reuse_detector) {
              if (Error missing = tools->reviewer.Detector().LoadError()) {
                  throw ErrorThrown(std::move(missing));
              }
          }
          return tools;
      }) {}

} // namespace vrel::serve
