#include "serve/review_pool.h"

namespace vrel::serve {

ReviewPool::ReviewPool(const PoolOptions& options)
    : WorkerPool(options.jobs, options.queue, ToolsFactory(options.kit)) {}

} // namespace vrel::serve
