#include "correct/backdrop/segmenter.h"

#include <opencv2/imgproc.hpp>

#include <cstring>
#include <fstream>
#include <mutex>

namespace vrel {
namespace {

// Below this the network's sigmoid tail is noise, and as float32 denormals it slows every sum
// that it enters.
constexpr float kZeroBelow = 1e-4f;

cv::Mat Run(cv::dnn::Net& net, const cv::Mat& blob) {
    net.setInput(blob, "input");
    return net.forward("mask");
}

bool IsMask(const cv::Mat& out) {
    return out.type() == CV_32F && out.dims == 4 && out.size[0] == 1 && out.size[1] == 1 &&
           out.size[2] == PersonSegmenter::kSide && out.size[3] == PersonSegmenter::kSide;
}

} // namespace

Result<PersonSegmenter> PersonSegmenter::Load(const std::string& model_path) {
    // The dnn module's layer registry is set up lazily without a lock that covers it, and the
    // workers load their networks at the same time: one load at a time. (Running loaded
    // networks at once is safe: each worker has its own.)
    static std::mutex loading;
    const std::lock_guard<std::mutex> one_at_a_time(loading);
    if (!std::ifstream(model_path, std::ios::binary).good()) {
        return Error(ErrorCode::NotFound,
                     "cannot read the person segmentation model " + model_path);
    }
    cv::dnn::Net net;
    try {
        net = cv::dnn::readNetFromONNX(model_path);
        if (net.empty()) {
            return Error(ErrorCode::Invalid,
                         "the person segmentation model " + model_path + " holds no network");
        }
        net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
        net.setPreferableTarget(cv::dnn::DNN_TARGET_CPU);
        // One run on a grey picture: the input and output must be the ones this code feeds and
        // reads, and the output a probability.
        const int shape[] = {1, 3, kSide, kSide};
        const cv::Mat grey(4, shape, CV_32F, cv::Scalar(0.5));
        const cv::Mat out = Run(net, grey);
        if (!IsMask(out)) {
            return Error(ErrorCode::Invalid, "the person segmentation model " + model_path +
                                                 " does not give a 1x1x256x256 float mask");
        }
        double low = 0, high = 0;
        cv::minMaxIdx(out, &low, &high);
        if (!(low >= 0 && high <= 1)) { // also false for NaN
            return Error(ErrorCode::Invalid, "the person segmentation model " + model_path +
                                                 " gives values outside 0..1");
        }
    } catch (const cv::Exception& e) {
        return Error(ErrorCode::Invalid,
                     "cannot load the person segmentation model " + model_path + ": " + e.what());
    }
    return PersonSegmenter(std::move(net));
}

cv::Mat PersonSegmenter::Probability(const cv::Mat& photo_bgr) {
    CV_Assert(photo_bgr.type() == CV_8UC3 && !photo_bgr.empty());
    const cv::Mat blob = cv::dnn::blobFromImage(photo_bgr, 1.0 / 255.0, cv::Size(kSide, kSide),
                                                cv::Scalar(), /*swapRB=*/true, /*crop=*/false);
    const cv::Mat out = Run(net_, blob);
    CV_Assert(IsMask(out));
    cv::Mat mask(kSide, kSide, CV_32F);
    std::memcpy(mask.data, out.data, sizeof(float) * kSide * kSide);
    cv::threshold(mask, mask, kZeroBelow, 0, cv::THRESH_TOZERO);
    return mask;
}

} // namespace vrel
