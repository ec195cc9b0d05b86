#pragma once

#include "base/error.h"

#include <opencv2/core.hpp>
#include <opencv2/dnn.hpp>

#include <optional>
#include <string>

namespace vrel {

// The person segmentation network (data/models/selfie_segmentation.onnx): a photo stretched to
// 256 x 256 in, the probability of "person" for each of its 256 x 256 cells out. One segmenter
// per worker thread: the network keeps its buffers between runs and is not shared.
class PersonSegmenter {
public:
    static constexpr int kSide = 256;

    // Reads the network from model_path and runs it once to see that it is the expected one.
    // A missing, unreadable or different file gives the error.
    static Result<PersonSegmenter> Load(const std::string& model_path);

    PersonSegmenter(PersonSegmenter&&) = default;
    PersonSegmenter& operator=(PersonSegmenter&&) = default;
    PersonSegmenter(const PersonSegmenter&) = delete; // a copy would share the network
    PersonSegmenter& operator=(const PersonSegmenter&) = delete;

    // The person probability of a CV_8UC3 blue-green-red photo: CV_32F, 256 x 256, the photo
    // stretched (not letterboxed). The photo is resized bilinearly as it is, so a large photo
    // is best reduced by area first. Probabilities below 1e-4 are 0.
    cv::Mat Probability(const cv::Mat& photo_bgr);

private:
    explicit PersonSegmenter(cv::dnn::Net net) : net_(std::move(net)) {}
    cv::dnn::Net net_;
};

} // namespace vrel
