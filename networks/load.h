#pragma once

// Reading the networks that OpenCV's dnn module runs (data/models/): one shared way, so that the
// whole program loads one network at a time.

#include "base/error.h"

#include <opencv2/dnn.hpp>

#include <functional>
#include <string>

namespace vrel {

// Reads the ONNX network at path for the dnn module's own CPU backend, then hands it to check
// (a trial run that sees whether its inputs and outputs are the ones its caller feeds and
// reads), all under one lock for the whole program: the module sets up its layer registry
// lazily, without a lock of its own. what names the network in the messages ("the face mesh
// network"). A missing file is NotFound; an empty or unreadable network, a check's error, or
// an exception of the module's, Invalid. Running loaded networks at once is safe: each worker
// has its own.
Result<cv::dnn::Net> LoadNetwork(const std::string& path, const std::string& what,
                                 const std::function<Error(cv::dnn::Net&)>& check);

} // namespace vrel
