#include "serve/review_pool.h"

namespace vrel::serve {

ReviewPool::ReviewPool(const PoolOptions& options)
    : WorkerPool(options.jobs, options.queue, [kit = options.kit] {
          Result<std::unique_ptr<WorkerTools>> tools = MakeTools(kit);
          if (!tools) {
              throw ErrorThrown(tools.Err());
          }
          return std::move(*tools);
      }) {}

} // namespace vrel::serve
