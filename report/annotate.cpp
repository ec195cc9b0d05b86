#include "report/annotate.h"

#include "check/background.h"
#include "check/face.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdio>

namespace vrel {
namespace {

const cv::Scalar kStripColour(255, 200, 0); // light blue
const cv::Scalar kFailColour(80, 80, 255);
const cv::Scalar kFaceColour(60, 220, 60);
const cv::Scalar kLineColour(0, 215, 255); // amber

void Text(cv::Mat& image, const std::string& text, cv::Point at, const cv::Scalar& colour) {
    // On a dark translucent band, so the numbers read on any backdrop.
    int baseline = 0;
    const cv::Size size = cv::getTextSize(text, cv::FONT_HERSHEY_SIMPLEX, 0.5, 1, &baseline);
    const cv::Rect band =
        cv::Rect(at.x - 4, at.y - size.height - 5, size.width + 8, size.height + baseline + 8) &
        cv::Rect(0, 0, image.cols, image.rows);
    cv::Mat area = image(band);
    area.convertTo(area, -1, 0.35, 0);
    cv::putText(image, text, at, cv::FONT_HERSHEY_SIMPLEX, 0.5, colour, 1, cv::LINE_AA);
}

std::string Fixed(double value, int decimals = 3) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
    return buffer;
}

// Blends a label with alpha onto the bottom of the picture.
void PasteLabel(cv::Mat& image, const cv::Mat& label) {
    // It sits 4 pixels above the bottom edge: a picture too small for that gets none.
    if (label.empty() || label.type() != CV_8UC4 || label.cols > image.cols ||
        label.rows + 4 > image.rows) {
        return;
    }
    const int top = image.rows - label.rows - 4;
    const int left = (image.cols - label.cols) / 2;
    for (int y = 0; y < label.rows; ++y) {
        const cv::Vec4b* src = label.ptr<cv::Vec4b>(y);
        cv::Vec3b* dst = image.ptr<cv::Vec3b>(top + y) + left;
        for (int x = 0; x < label.cols; ++x) {
            const int a = src[x][3];
            for (int c = 0; c < 3; ++c) {
                dst[x][c] = static_cast<uint8_t>((src[x][c] * a + dst[x][c] * (255 - a)) / 255);
            }
        }
    }
}

} // namespace

VerdictLabels::VerdictLabels(const std::string& data_dir) {
    for (CheckVerdict v :
         {CheckVerdict::Passed, CheckVerdict::PassedByBypass, CheckVerdict::BackgroundRejected,
          CheckVerdict::FaceCountWrong, CheckVerdict::PlacementWrong, CheckVerdict::NotCentred}) {
        cv::Mat label =
            cv::imread(data_dir + "labels/" + VerdictName(v) + ".png", cv::IMREAD_UNCHANGED);
        if (label.type() == CV_8UC4) {
            labels_[v] = label;
        }
    }
}

const cv::Mat& VerdictLabels::For(CheckVerdict verdict) const {
    const auto it = labels_.find(verdict);
    return it == labels_.end() ? none_ : it->second;
}

namespace {

// Draws on a copy of the normalised photo, writing its notes one under the other.
class Explainer {
public:
    Explainer(const ReviewResult& result, const CheckSettings& settings)
        : picture_(result.normalised.clone()), result_(result), s_(settings) {}

    cv::Mat Draw(const VerdictLabels& labels) {
        DrawStrips();
        DrawBackgroundPixel();
        DrawFaces();
        PasteLabel(picture_, labels.For(result_.verdict));
        return picture_;
    }

private:
    void Note(const std::string& text, const cv::Scalar& colour) {
        Text(picture_, text, cv::Point(s_.jc_col + 8, text_y_), colour);
        text_y_ += 22;
    }

    void DrawStrips() {
        const StripRegion strips = SampledStrips(picture_.size(), s_);
        if (strips.Empty()) {
            return;
        }
        cv::rectangle(
            picture_,
            cv::Rect(strips.left_begin, 0, strips.left_end - strips.left_begin, strips.rows),
            kStripColour, 1);
        if (strips.right_end > strips.right_begin) {
            cv::rectangle(
                picture_,
                cv::Rect(strips.right_begin, 0, strips.right_end - strips.right_begin, strips.rows),
                kStripColour, 1);
        }
    }

    void DrawBackgroundPixel() {
        if (!result_.measures.background_pixel) {
            return;
        }
        const BackgroundPixel& p = *result_.measures.background_pixel;
        cv::circle(picture_, cv::Point(p.col, p.row), 6, kFailColour, 2, cv::LINE_AA);
        cv::drawMarker(picture_, cv::Point(p.col, p.row), kFailColour, cv::MARKER_CROSS, 20, 1);
        Note("pixel (" + std::to_string(p.col) + "," + std::to_string(p.row) + ") hue " +
                 std::to_string(p.hue) + " s " + Fixed(p.saturation) + " v " + Fixed(p.value),
             kFailColour);
        Note("white: s < " + Fixed(s_.s_min) + ", v > " + Fixed(s_.i_max), kStripColour);
    }

    void DrawFaces() {
        const ReviewMeasures& m = result_.measures;
        for (const cv::Rect& face : m.face_rects) {
            cv::rectangle(picture_, face, kFaceColour, 2);
        }
        if (m.faces && *m.faces != 1) {
            Note("faces: " + std::to_string(*m.faces) + " (one needed)", kFailColour);
        }
        if (!m.face) {
            return;
        }
        const cv::Rect& f = *m.face;
        // The line the vertical ratio is measured from, and the margins at the face's centre.
        const int centre = FaceCentreRow(f.y, f.height);
        const int line = static_cast<int>(ChinLine(f.y, f.height));
        cv::line(picture_, cv::Point(0, line), cv::Point(picture_.cols - 1, line), kLineColour, 1,
                 cv::LINE_AA);
        cv::arrowedLine(picture_, cv::Point(f.x, centre), cv::Point(0, centre), kLineColour, 1,
                        cv::LINE_AA, 0, 0.03);
        cv::arrowedLine(picture_, cv::Point(f.x + f.width, centre),
                        cv::Point(picture_.cols - 1, centre), kLineColour, 1, cv::LINE_AA, 0, 0.03);
        if (m.ratio_y) {
            NoteRatio("ratio_y", *m.ratio_y, s_.ratio_y_min, s_.ratio_y_max);
        }
        if (m.ratio_x) {
            NoteRatio("ratio_x", *m.ratio_x, s_.ratio_x_min, s_.ratio_x_max);
        }
        if (m.centre_diff) {
            const bool centred = result_.failed.rule != Rule::Centring;
            Note("margins " + std::to_string(f.x) + " / " +
                     std::to_string(s_.dst_width - f.x - f.width) + ", |diff| " +
                     std::to_string(std::abs(*m.centre_diff)) + " < " +
                     std::to_string(s_.face_left_right_dif),
                 centred ? kFaceColour : kFailColour);
        }
    }

    void NoteRatio(const char* name, float value, float min, float max) {
        const bool inside = InOpenInterval(value, min, max);
        Note(std::string(name) + " " + Fixed(value) + (inside ? " in (" : " not in (") +
                 Fixed(min, 2) + ", " + Fixed(max, 2) + ")",
             inside ? kFaceColour : kFailColour);
    }

    cv::Mat picture_;
    const ReviewResult& result_;
    const CheckSettings& s_;
    int text_y_ = 20;
};

} // namespace

cv::Mat DrawExplanation(const ReviewResult& result, const CheckSettings& s,
                        const VerdictLabels& labels) {
    if (result.normalised.empty()) {
        return cv::Mat();
    }
    return Explainer(result, s).Draw(labels);
}

} // namespace vrel
