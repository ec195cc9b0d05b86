#include "quality/head_roll.h"

#include "quality/marks_measures.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <vector>

namespace vrel {

std::optional<double> MeasureHeadRoll(const cv::Mat& photo, const cv::Rect& face,
                                      QualityAdvisor& advisor) {
    // The face mesh's eye corners where the mesh network is there and sees a face, on a crop
    // turned upright by the first reading: the photo is straightened by it.
    if (advisor.Landmarker().CanMark()) {
        if (const std::optional<FaceMarks> marks =
                advisor.Landmarker().Mark(photo, MeshBoxOf(face), 0, /*refine_lean=*/1);
            marks && marks->presence >= kMinPresence) {
            return quality::MeasureMarksRoll(*marks);
        }
    }
    const cv::Rect around = cv::Rect(face.x - face.width / 2, face.y - face.height / 2,
                                     face.width * 2, face.height * 2) &
                            cv::Rect(cv::Point(), photo.size());
    if (around.empty()) {
        return std::nullopt;
    }
    std::vector<double> rolls;
    for (const double scale : {1.0, 0.87, 1.15}) {
        cv::Mat region;
        cv::resize(photo(around), region, cv::Size(), scale, scale,
                   scale < 1 ? cv::INTER_AREA : cv::INTER_LINEAR);
        const cv::Rect scaled(static_cast<int>((face.x - around.x) * scale),
                              static_cast<int>((face.y - around.y) * scale),
                              static_cast<int>(face.width * scale),
                              static_cast<int>(face.height * scale));
        const std::optional<QualityMeasures> m = advisor.Measure(region, scaled);
        if (m && m->roll) {
            rolls.push_back(*m->roll);
        }
    }
    // The roll that two measures agree on: the middle one of three, the mean of two.
    std::sort(rolls.begin(), rolls.end());
    if (rolls.size() == 2 && rolls[1] - rolls[0] <= kRollAgreement) {
        return (rolls[0] + rolls[1]) / 2;
    }
    if (rolls.size() == 3 && std::min(rolls[1] - rolls[0], rolls[2] - rolls[1]) <= kRollAgreement) {
        return rolls[1];
    }
    return std::nullopt;
}

} // namespace vrel
