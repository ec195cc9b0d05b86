#include "setup/quiet.h"

#include <opencv2/core/utils/logger.hpp>

namespace vrel {

void QuietImageLibrary() {
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
}

} // namespace vrel
