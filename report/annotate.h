#pragma once

#include "check/check_run.h"
#include "check/settings.h"

#include <opencv2/core.hpp>

#include <map>
#include <string>

namespace vrel {

// The verdict labels drawn on explanation pictures (labels/<verdict>.png in the data folder,
// blue-green-red with alpha), and the words of their notes (labels/word-<name>.png, white with
// alpha); a missing one is left out.
class VerdictLabels {
public:
    explicit VerdictLabels(const std::string& data_dir);
    const cv::Mat& For(CheckVerdict verdict) const;
    const cv::Mat& Word(const std::string& name) const;

private:
    std::map<CheckVerdict, cv::Mat> labels_;
    std::map<std::string, cv::Mat> words_;
    cv::Mat none_;
};

// A copy of the normalised photo with what the review looked at drawn on it: the two sampled
// strips, the first background pixel that failed, every detected face, the line 0.75 h below
// the face's centre, the face's left and right margins, the measured numbers and the verdict.
// Empty when the review did not reach the normalising resize.
cv::Mat DrawExplanation(const ReviewResult& result, const CheckSettings& settings,
                        const VerdictLabels& labels);

} // namespace vrel
