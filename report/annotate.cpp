#include "report/annotate.h"

#include "check/background.h"
#include "check/face.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdio>
#include <vector>

namespace vrel {
namespace {

const cv::Scalar kStripColour(255, 200, 0); // light blue
const cv::Scalar kFailColour(80, 80, 255);
const cv::Scalar kFaceColour(60, 220, 60);
const cv::Scalar kLineColour(0, 215, 255); // amber

// One part of a note: a word (the name of its picture) or numbers and signs.
struct Piece {
    const char* word = nullptr;
    std::string text;
};

Piece W(const char* word) {
    return {word, {}};
}
Piece T(std::string text) {
    return {nullptr, std::move(text)};
}

// Blends a white-on-transparent word onto the image in colour, its top left at `at`, as far as
// it lies inside.
void PasteWord(cv::Mat& image, const cv::Mat& word, cv::Point at, const cv::Scalar& colour) {
    for (int y = 0; y < word.rows; ++y) {
        if (at.y + y < 0 || at.y + y >= image.rows) {
            continue;
        }
        const cv::Vec4b* src = word.ptr<cv::Vec4b>(y);
        cv::Vec3b* dst = image.ptr<cv::Vec3b>(at.y + y);
        for (int x = 0; x < word.cols; ++x) {
            if (at.x + x < 0 || at.x + x >= image.cols) {
                continue;
            }
            const int a = src[x][3];
            for (int c = 0; c < 3; ++c) {
                dst[at.x + x][c] = static_cast<uint8_t>(
                    (static_cast<int>(colour[c]) * a + dst[at.x + x][c] * (255 - a)) / 255);
            }
        }
    }
}

// A note's pieces in a row whose numbers stand on the baseline at `at`, on a dark translucent
// band, so they read on any backdrop. A word whose picture is missing is left out.
void Text(cv::Mat& image, const std::vector<Piece>& pieces, cv::Point at, const cv::Scalar& colour,
          const VerdictLabels& labels) {
    constexpr int kGap = 5;
    int width = 0;
    for (const Piece& piece : pieces) {
        if (piece.word != nullptr) {
            const cv::Mat& word = labels.Word(piece.word);
            width += word.empty() ? 0 : word.cols + kGap;
        } else {
            int baseline = 0;
            width +=
                cv::getTextSize(piece.text, cv::FONT_HERSHEY_SIMPLEX, 0.5, 1, &baseline).width +
                kGap;
        }
    }
    const cv::Rect band = cv::Rect(at.x - 4, at.y - 16, width + 8 - kGap, 22) &
                          cv::Rect(0, 0, image.cols, image.rows);
    cv::Mat area = image(band);
    area.convertTo(area, -1, 0.35, 0);
    int x = at.x;
    for (const Piece& piece : pieces) {
        if (piece.word != nullptr) {
            const cv::Mat& word = labels.Word(piece.word);
            if (!word.empty()) {
                PasteWord(image, word, cv::Point(x, at.y - 14), colour);
                x += word.cols + kGap;
            }
        } else {
            int baseline = 0;
            cv::putText(image, piece.text, cv::Point(x, at.y), cv::FONT_HERSHEY_SIMPLEX, 0.5,
                        colour, 1, cv::LINE_AA);
            x += cv::getTextSize(piece.text, cv::FONT_HERSHEY_SIMPLEX, 0.5, 1, &baseline).width +
                 kGap;
        }
    }
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
    for (const char* name :
         {"pixel", "hue", "saturation", "value", "white", "blue", "faces", "needed", "below-chin",
          "beside-face", "within", "margins", "difference"}) {
        cv::Mat word = cv::imread(data_dir + "labels/word-" + name + ".png", cv::IMREAD_UNCHANGED);
        if (word.type() == CV_8UC4) {
            words_[name] = word;
        }
    }
}

const cv::Mat& VerdictLabels::Word(const std::string& name) const {
    const auto it = words_.find(name);
    return it == words_.end() ? none_ : it->second;
}

const cv::Mat& VerdictLabels::For(CheckVerdict verdict) const {
    const auto it = labels_.find(verdict);
    return it == labels_.end() ? none_ : it->second;
}

namespace {

// Draws on a copy of the normalised photo, writing its notes one under the other.
class Explainer {
public:
    Explainer(const ReviewResult& result, const CheckSettings& settings,
              const VerdictLabels& labels)
        : picture_(result.normalised.clone()), result_(result), s_(settings), labels_(labels) {}

    cv::Mat Draw() {
        DrawStrips();
        DrawBackgroundPixel();
        DrawFaces();
        PasteLabel(picture_, labels_.For(result_.verdict));
        return picture_;
    }

private:
    void Note(const std::vector<Piece>& pieces, const cv::Scalar& colour) {
        Text(picture_, pieces, cv::Point(s_.jc_col + 8, text_y_), colour, labels_);
        text_y_ += 24;
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
        Note({W("pixel"), T("(" + std::to_string(p.col) + "," + std::to_string(p.row) + ")"),
              W("hue"), T(std::to_string(p.hue)), W("saturation"), T(Fixed(p.saturation)),
              W("value"), T(Fixed(p.value))},
             kFailColour);
        Note({W("white"), W("saturation"), T("< " + Fixed(s_.s_min)), W("value"),
              T("> " + Fixed(s_.i_max))},
             kStripColour);
        if (s_.bgc == 1) {
            Note({W("blue"), W("hue"), T(Fixed(s_.blue_h_min, 0) + "-" + Fixed(s_.blue_h_max, 0)),
                  W("saturation"), T(Fixed(s_.blue_s_min, 2) + "-" + Fixed(s_.blue_s_max, 2)),
                  W("value"), T("> " + Fixed(s_.i_min, 2))},
                 kStripColour);
        }
    }

    void DrawFaces() {
        const ReviewMeasures& m = result_.measures;
        for (const cv::Rect& face : m.face_rects) {
            cv::rectangle(picture_, face, kFaceColour, 2);
        }
        if (m.faces && *m.faces != 1) {
            Note({W("faces"), T(std::to_string(*m.faces)), W("needed"), T("1")}, kFailColour);
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
            NoteRatio("below-chin", *m.ratio_y, s_.ratio_y_min, s_.ratio_y_max);
        }
        if (m.ratio_x) {
            NoteRatio("beside-face", *m.ratio_x, s_.ratio_x_min, s_.ratio_x_max);
        }
        if (m.centre_diff) {
            const bool centred = result_.failed.rule != Rule::Centring;
            Note({W("margins"),
                  T(std::to_string(f.x) + " / " + std::to_string(s_.dst_width - f.x - f.width)),
                  W("difference"),
                  T(std::to_string(std::abs(*m.centre_diff)) + " < " +
                    std::to_string(s_.face_left_right_dif))},
                 centred ? kFaceColour : kFailColour);
        }
    }

    void NoteRatio(const char* word, float value, float min, float max) {
        const bool inside = InOpenInterval(value, min, max);
        Note({W(word), T(Fixed(value)), W("within"),
              T("(" + Fixed(min, 2) + ", " + Fixed(max, 2) + ")")},
             inside ? kFaceColour : kFailColour);
    }

    cv::Mat picture_;
    const ReviewResult& result_;
    const CheckSettings& s_;
    const VerdictLabels& labels_;
    int text_y_ = 20;
};

} // namespace

cv::Mat DrawExplanation(const ReviewResult& result, const CheckSettings& s,
                        const VerdictLabels& labels) {
    if (result.normalised.empty()) {
        return cv::Mat();
    }
    return Explainer(result, s, labels).Draw();
}

} // namespace vrel
