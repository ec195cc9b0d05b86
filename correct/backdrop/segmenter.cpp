#include "correct/backdrop/segmenter.h"

#include "networks/load.h"

#include <opencv2/imgproc.hpp>

#include <cstring>

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
    const std::string what = "person segmentation model";
    Result<cv::dnn::Net> net = LoadNetwork(model_path, what, [&](cv::dnn::Net& trial) {
        // One run on a grey picture: the input and output must be the ones this code feeds and
        // reads, and the output a probability.
        const int shape[] = {1, 3, kSide, kSide};
        const cv::Mat grey(4, shape, CV_32F, cv::Scalar(0.5));
        const cv::Mat out = Run(trial, grey);
        if (!IsMask(out)) {
            return Error(ErrorCode::Invalid, "the " + what + " " + model_path +
                                                 " does not give a 1x1x256x256 float mask");
        }
        double low = 0, high = 0;
        cv::minMaxIdx(out, &low, &high);
        if (!(low >= 0 && high <= 1)) { // also false for NaN
            return Error(ErrorCode::Invalid,
                         "the " + what + " " + model_path + " gives values outside 0..1");
        }
        return Error();
    });
    if (!net) {
        return net.Err();
    }
    return PersonSegmenter(std::move(*net));
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
