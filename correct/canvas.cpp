#include "correct/canvas.h"

#include "correct/backdrop_colour.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

namespace vrel {
namespace {

// The colour of a plain wall that the review's backdrop test takes: the top corners and the
// sides above the face are one even colour; nullopt otherwise.
std::optional<cv::Vec3b> PlainWallColour(const cv::Mat& image, const FaceBox& f,
                                         const CheckSettings& s) {
    const std::optional<WallPatches> wall = MeasureWallPatches(image, f);
    if (!wall || wall->spread > kMaxWallSpread || wall->disagree > kMaxWallDisagree ||
        !BackdropColourAccepted({"", wall->colour}, s)) {
        return std::nullopt;
    }
    return wall->colour;
}

// The columns above the face where the hair can be: a quarter of its width either side.
std::pair<int, int> CrownSpan(const FaceBox& f, int width) {
    return {std::clamp(static_cast<int>(f.x - 0.25 * f.w), 0, width),
            std::clamp(static_cast<int>(f.x + 1.25 * f.w), 0, width)};
}

// The top of the hair on a plain wall: the highest row joined to the face (gaps of at most
// a twentieth of the face's height) that differs from the wall's colour at the photo's top.
// nullopt where the top is not plain or the hair seems to reach implausibly high.
std::optional<double> PlainWallCrown(const cv::Mat& image, const FaceBox& f) {
    const auto [x0, x1] = CrownSpan(f, image.cols);
    const int top_rows = std::max(2, image.rows / 50);
    const int face_top = std::clamp(static_cast<int>(f.y), 0, image.rows);
    if (x1 - x0 < 8 || face_top <= top_rows) {
        return std::nullopt;
    }
    cv::Scalar mean, spread;
    cv::meanStdDev(image(cv::Range(0, top_rows), cv::Range(x0, x1)), mean, spread);
    if (std::max({spread[0], spread[1], spread[2]}) > 12) {
        return std::nullopt;
    }
    const int enough = std::max(2, (x1 - x0) / 50);
    const int max_gap = std::max(3, static_cast<int>(0.05 * f.h));
    int crown = face_top, gap = 0;
    for (int y = face_top; y >= 0 && gap <= max_gap; --y) {
        const cv::Vec3b* row = image.ptr<cv::Vec3b>(y);
        int differs = 0;
        for (int x = x0; x < x1; ++x) {
            for (int c = 0; c < 3; ++c) {
                if (std::abs(row[x][c] - mean[c]) > 40) {
                    ++differs;
                    break;
                }
            }
        }
        if (differs >= enough) {
            crown = y;
            gap = 0;
        } else {
            ++gap;
        }
    }
    if (crown < f.y - f.h) {
        return std::nullopt;
    }
    return crown;
}

// The top of the person's matte above the face.
std::optional<double> MatteCrown(const cv::Mat& alpha, const FaceBox& f) {
    const auto [x0, x1] = CrownSpan(f, alpha.cols);
    const int enough = std::max(2, (x1 - x0) / 100);
    for (int y = 0; y < std::min(alpha.rows, static_cast<int>(f.y + f.h)); ++y) {
        if (x1 > x0 && cv::countNonZero(alpha.row(y).colRange(x0, x1) > 127) >= enough) {
            return y;
        }
    }
    return std::nullopt;
}

// The targets on a canvas: its enlargement bound is the photo's, not the reduced copy's.
FramingTargets TargetsOn(const Canvas& canvas, const FramingTargets& targets) {
    FramingTargets t = targets;
    t.max_enlarge = targets.max_enlarge * canvas.to_photo;
    return t;
}

} // namespace

std::optional<WallPatches> MeasureWallPatches(const cv::Mat& image, const FaceBox& f) {
    const int rows = std::max(2, image.rows / 30);
    const int corner = std::max(2, image.cols / 5);
    const int side = std::max(2, image.cols / 50);
    const int above_face = std::clamp(static_cast<int>(f.y), 0, image.rows);
    if (above_face < 2 * rows || image.cols < 2 * corner) {
        return std::nullopt;
    }
    const cv::Rect patches[] = {{0, 0, corner, rows},
                                {image.cols - corner, 0, corner, rows},
                                {0, 0, side, above_face},
                                {image.cols - side, 0, side, above_face}};
    WallPatches wall;
    cv::Scalar first;
    cv::Vec3d sum;
    for (const cv::Rect& r : patches) {
        cv::Scalar mean, spread;
        cv::meanStdDev(image(r), mean, spread);
        wall.spread = std::max({wall.spread, spread[0], spread[1], spread[2]});
        if (&r == &patches[0]) {
            first = mean;
        }
        wall.disagree = std::max({wall.disagree, std::abs(mean[0] - first[0]),
                                  std::abs(mean[1] - first[1]), std::abs(mean[2] - first[2])});
        sum += cv::Vec3d(mean[0], mean[1], mean[2]);
    }
    wall.colour =
        cv::Vec3b(cv::saturate_cast<uchar>(sum[0] / 4), cv::saturate_cast<uchar>(sum[1] / 4),
                  cv::saturate_cast<uchar>(sum[2] / 4));
    return wall;
}

Canvas MakeCanvas(const cv::Mat& copy, cv::Size photo, const FaceBox& face,
                  std::optional<double> roll, const CheckSettings& settings) {
    Canvas canvas;
    const double k = double(copy.cols) / photo.width;
    canvas.to_photo = 1 / k;
    canvas.face = {face.x * k, face.y * k, face.w * k, face.h * k, std::nullopt};
    canvas.fill = PlainWallColour(copy, canvas.face, settings);
    canvas.inner = cv::Rect(cv::Point(), copy.size());
    if (!roll) {
        canvas.image = copy;
    } else {
        const cv::Point2f centre(static_cast<float>(canvas.face.x + canvas.face.w / 2),
                                 static_cast<float>(canvas.face.y + canvas.face.h / 2));
        const cv::Mat turn = cv::getRotationMatrix2D(centre, -*roll, 1.0);
        const cv::Vec3b fill = canvas.fill.value_or(BorderMedian(copy, false));
        cv::warpAffine(copy, canvas.image, turn, copy.size(), cv::INTER_LINEAR, cv::BORDER_CONSTANT,
                       cv::Scalar(fill[0], fill[1], fill[2]));
        // The photo's own centre after the turn, and the upright rectangle inside it.
        const cv::Point2d c(copy.cols / 2.0, copy.rows / 2.0);
        const cv::Point2d moved(
            turn.at<double>(0, 0) * c.x + turn.at<double>(0, 1) * c.y + turn.at<double>(0, 2),
            turn.at<double>(1, 0) * c.x + turn.at<double>(1, 1) * c.y + turn.at<double>(1, 2));
        const cv::Size2d inside = InsideTurned(copy.cols, copy.rows, *roll);
        canvas.inner =
            cv::Rect(static_cast<int>(std::ceil(moved.x - inside.width / 2)) + 1,
                     static_cast<int>(std::ceil(moved.y - inside.height / 2)) + 1,
                     static_cast<int>(inside.width) - 2, static_cast<int>(inside.height) - 2) &
            cv::Rect(cv::Point(), canvas.image.size());
    }
    canvas.face.crown = PlainWallCrown(canvas.image, canvas.face);
    return canvas;
}

Canvas OnNewBackdrop(const Canvas& canvas, const cv::Mat& composite, const cv::Mat& alpha,
                     const cv::Vec3b& colour) {
    Canvas on_colour = canvas;
    on_colour.image = composite;
    on_colour.fill = colour;
    on_colour.face.crown = MatteCrown(alpha, canvas.face);
    return on_colour;
}

Framing PlanOn(const Canvas& canvas, const FaceBox& face, bool extend, const CheckSettings& s,
               const FramingTargets& targets) {
    if (extend && canvas.fill) {
        CanvasRoom room;
        room.extend = true;
        room.bottom = canvas.inner.y + canvas.inner.height;
        return PlanCrop(face, canvas.image.size(), s, TargetsOn(canvas, targets), room);
    }
    const cv::Point at = canvas.inner.tl();
    FaceBox within = face;
    within.x -= at.x;
    within.y -= at.y;
    if (within.crown) {
        *within.crown -= at.y;
    }
    Framing framing = PlanCrop(within, canvas.inner.size(), s, TargetsOn(canvas, targets));
    framing.crop += at;
    return framing;
}

cv::Mat CutAndScale(const cv::Mat& source, const cv::Rect& crop, const CheckSettings& s,
                    const cv::Vec3b& fill) {
    const cv::Rect inside = crop & cv::Rect(0, 0, source.cols, source.rows);
    cv::Mat cut = source(inside);
    if (inside != crop) {
        const Overhang o = OverhangOf(crop, source.size());
        cv::copyMakeBorder(cut, cut, o.top, o.bottom, o.left, o.right, cv::BORDER_CONSTANT,
                           cv::Scalar(fill[0], fill[1], fill[2]));
    }
    cv::Mat out;
    const bool shrink = cut.cols >= s.dst_width;
    cv::resize(cut, out, cv::Size(s.dst_width, s.dst_height), 0, 0,
               shrink ? cv::INTER_AREA : cv::INTER_LINEAR);
    return out;
}

cv::Rect CropInPhoto(const cv::Rect& c, const Canvas& canvas) {
    return cv::Rect(static_cast<int>(std::lround(c.x * canvas.to_photo)),
                    static_cast<int>(std::lround(c.y * canvas.to_photo)),
                    static_cast<int>(std::lround(c.width * canvas.to_photo)),
                    static_cast<int>(std::lround(c.height * canvas.to_photo)));
}

std::optional<Overhang> AddedBy(const cv::Rect& c, const Canvas& canvas, int width) {
    if ((c & canvas.inner) == c) {
        return std::nullopt;
    }
    const Overhang o = OverhangOf(c - canvas.inner.tl(), canvas.inner.size());
    const double k = double(width) / c.width;
    return Overhang{static_cast<int>(std::lround(o.top * k)),
                    static_cast<int>(std::lround(o.left * k)),
                    static_cast<int>(std::lround(o.right * k)), 0};
}

int CropDenominator(const cv::Rect& crop, const CheckSettings& s) {
    for (int denom : {8, 4, 2}) {
        if (crop.width / denom >= s.dst_width && crop.height / denom >= s.dst_height) {
            return denom;
        }
    }
    return 1;
}

cv::Size2d InsideTurned(double w, double h, double degrees) {
    const double a = std::abs(degrees) * CV_PI / 180;
    const double sin_a = std::sin(a), cos_a = std::cos(a);
    const double long_side = std::max(w, h), short_side = std::min(w, h);
    if (short_side <= 2 * sin_a * cos_a * long_side || std::abs(sin_a - cos_a) < 1e-10) {
        const double x = 0.5 * short_side;
        return w >= h ? cv::Size2d(x / sin_a, x / cos_a) : cv::Size2d(x / cos_a, x / sin_a);
    }
    const double cos_2a = cos_a * cos_a - sin_a * sin_a;
    return {(w * cos_a - h * sin_a) / cos_2a, (h * cos_a - w * sin_a) / cos_2a};
}

cv::Vec3b BorderMedian(const cv::Mat& image, bool with_bottom) {
    std::vector<uchar> channels[3];
    auto add = [&](const cv::Vec3b& p) {
        for (int c = 0; c < 3; ++c) {
            channels[c].push_back(p[c]);
        }
    };
    for (int x = 0; x < image.cols; x += 4) {
        add(image.at<cv::Vec3b>(0, x));
        if (with_bottom) {
            add(image.at<cv::Vec3b>(image.rows - 1, x));
        }
    }
    for (int y = 0; y < image.rows; y += 4) {
        add(image.at<cv::Vec3b>(y, 0));
        add(image.at<cv::Vec3b>(y, image.cols - 1));
    }
    cv::Vec3b median;
    for (int c = 0; c < 3; ++c) {
        std::nth_element(channels[c].begin(), channels[c].begin() + channels[c].size() / 2,
                         channels[c].end());
        median[c] = channels[c][channels[c].size() / 2];
    }
    return median;
}

cv::Rect FaceRect(const FaceBox& f, cv::Size within) {
    const cv::Rect r(static_cast<int>(std::lround(f.x)), static_cast<int>(std::lround(f.y)),
                     static_cast<int>(std::lround(f.w)), static_cast<int>(std::lround(f.h)));
    return r & cv::Rect(cv::Point(), within);
}

} // namespace vrel
