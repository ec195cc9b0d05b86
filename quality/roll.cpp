#include "quality/measures.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <vector>

namespace vrel::quality {
namespace {

constexpr double kMaxDegrees = 25;
const double kMaxSlope = std::tan(kMaxDegrees * CV_PI / 180);

cv::Point2d Centre(const cv::Rect& r) {
    return {r.x + r.width / 2.0, r.y + r.height / 2.0};
}

cv::Rect Around(cv::Point2d centre, double half_width, double half_height) {
    return cv::Rect(int(std::floor(centre.x - half_width)), int(std::floor(centre.y - half_height)),
                    int(std::ceil(2 * half_width)), int(std::ceil(2 * half_height)));
}

// An eye that the detector finds with its centre within reach_x, reach_y of `expected`, at
// sizes from min_eye to max_eye: the middle size first, then outwards, up to the first size
// that finds one; of those, the one nearest `expected`. Each size is sought in a window just
// large enough for that reach, reduced so that the eye fills the detector's own window: the
// detector looks at as few places as it can, which is most of the advisor's cost.
std::optional<cv::Rect> FindEye(const cv::Mat& face, cv::Point2d expected, double reach_x,
                                double reach_y, double min_eye, double max_eye,
                                cv::CascadeClassifier& eyes, const RollSearch& search) {
    const cv::Size native = eyes.getOriginalWindowSize();
    const cv::Rect bounds(0, 0, face.cols, face.rows);
    std::vector<double> sizes;
    for (double size = min_eye; size <= max_eye * 1.001; size *= search.scale_factor) {
        sizes.push_back(size);
    }
    const double middle = std::sqrt(min_eye * max_eye);
    std::stable_sort(sizes.begin(), sizes.end(), [&](double a, double b) {
        return std::abs(std::log(a / middle)) < std::abs(std::log(b / middle));
    });
    std::vector<cv::Rect> found;
    cv::Mat reduced;
    for (const double size : sizes) {
        const cv::Rect window = Around(expected, reach_x + size / 2, reach_y + size / 2) & bounds;
        const double scale = native.width / size;
        const cv::Size reduced_size(int(std::lround(window.width * scale)),
                                    int(std::lround(window.height * scale)));
        if (reduced_size.width < native.width || reduced_size.height < native.height) {
            continue;
        }
        cv::resize(face(window), reduced, reduced_size, 0, 0,
                   scale < 1 ? cv::INTER_AREA : cv::INTER_LINEAR);
        eyes.detectMultiScale(reduced, found, 1.1, search.neighbours, cv::CASCADE_SCALE_IMAGE,
                              native, native);
        std::optional<cv::Rect> best;
        double best_distance = 0;
        for (const cv::Rect& r : found) {
            const cv::Rect eye(
                int(std::lround(window.x + r.x / scale)), int(std::lround(window.y + r.y / scale)),
                int(std::lround(r.width / scale)), int(std::lround(r.height / scale)));
            const double d = cv::norm(Centre(eye) - expected);
            if (!best || d < best_distance) {
                best = eye;
                best_distance = d;
            }
        }
        if (best) {
            return best;
        }
    }
    return std::nullopt;
}

struct Match {
    cv::Point2d at;
    double score = 0; // normalised correlation, -1 to 1
};

// Where the mirror image of the patch about `from`, turned by `turn` degrees (counter-clockwise
// as seen), fits best within `reach` of `near`, to a fraction of a pixel. Mirrored, one eye looks
// like the other, and whatever error the detector made in the first eye's height, the match
// carries over to the second: the error drops out of their difference. With the head rolled by
// r degrees, the mirrored eye leans by -r and the other eye by +r: turned by 2r they match.
std::optional<Match> MirrorMatch(const cv::Mat& face, cv::Point2d from, cv::Point2d near, int size,
                                 double turn, int reach) {
    const int tw = std::max(9, int(0.8 * size)) | 1;
    const int th = std::max(7, int(0.6 * size)) | 1;
    const cv::Rect bounds(0, 0, face.cols, face.rows);
    const int side = int(std::ceil(std::hypot(tw, th))) | 1; // room to turn the patch in
    const cv::Rect patch = Around(from, side / 2.0, side / 2.0);
    const cv::Rect search = Around(near, tw / 2.0 + reach, th / 2.0 + reach) & bounds;
    if ((patch & bounds) != patch || search.width <= tw || search.height <= th) {
        return std::nullopt;
    }
    cv::Mat mirrored;
    cv::flip(face(patch), mirrored, 1);
    const cv::Point2f middle(float(side - 1) / 2, float(side - 1) / 2);
    cv::warpAffine(mirrored, mirrored, cv::getRotationMatrix2D(middle, turn, 1.0), mirrored.size(),
                   cv::INTER_LINEAR, cv::BORDER_REPLICATE);
    const cv::Mat templ = mirrored(cv::Rect((side - tw) / 2, (side - th) / 2, tw, th));
    cv::Mat score;
    cv::matchTemplate(face(search), templ, score, cv::TM_CCOEFF_NORMED);
    cv::Point best;
    double top = 0;
    cv::minMaxLoc(score, nullptr, &top, nullptr, &best);
    // A parabola through the peak and its neighbours, in each direction.
    auto offset = [](double l, double c, double r) {
        const double d = l - 2 * c + r;
        return d < 0 ? std::clamp(0.5 * (l - r) / d, -0.5, 0.5) : 0.0;
    };
    double ox = 0;
    double oy = 0;
    if (best.x > 0 && best.x < score.cols - 1) {
        ox = offset(score.at<float>(best.y, best.x - 1), score.at<float>(best.y, best.x),
                    score.at<float>(best.y, best.x + 1));
    }
    if (best.y > 0 && best.y < score.rows - 1) {
        oy = offset(score.at<float>(best.y - 1, best.x), score.at<float>(best.y, best.x),
                    score.at<float>(best.y + 1, best.x));
    }
    // The patch was cut about the whole pixel nearest `from`; mirrored, its offset from `from`
    // changes side across, not down.
    const cv::Point2d shift =
        from - cv::Point2d(patch.x + (side - 1) / 2.0, patch.y + (side - 1) / 2.0);
    return Match{{search.x + best.x + ox + (tw - 1) / 2.0 - shift.x,
                  search.y + best.y + oy + (th - 1) / 2.0 + shift.y},
                 top};
}

// Roll in degrees from the left and the right eye's centres.
double Degrees(cv::Point2d left, cv::Point2d right) {
    return -std::atan2(right.y - left.y, right.x - left.x) * 180.0 / CV_PI;
}

} // namespace

std::optional<double> MeasureRoll(const FaceView& view, cv::CascadeClassifier& eyes,
                                  const RollSearch& search) {
    if (eyes.empty()) {
        return std::nullopt;
    }
    // The band of the face that holds the eyes, reduced to the search's face width.
    const int band_top = int(std::floor(search.band_top * view.grey.rows));
    const int band_bottom = int(std::ceil(search.band_bottom * view.grey.rows));
    const cv::Mat band = view.grey(cv::Range(band_top, band_bottom), cv::Range::all());
    cv::Mat face = band;
    while (face.cols >= 2 * search.face_width) {
        face = Halve(face);
    }
    if (face.cols > search.face_width) {
        cv::Mat reduced;
        const double s = double(search.face_width) / face.cols;
        cv::resize(face, reduced, cv::Size(search.face_width, int(std::lround(face.rows * s))), 0,
                   0, cv::INTER_AREA);
        face = reduced;
    }
    const double w = face.cols;
    const double eye_y = (search.eye_y * view.grey.rows - band_top) * face.rows / band.rows;
    const double native = eyes.getOriginalWindowSize().width;
    const double min_eye = std::max(native, search.min_eye * w);
    const double max_eye = std::max(min_eye, search.max_eye * w);
    // Both eyes in the band as it is; failing that (the detector misses eyes that lean much),
    // in the band turned either way about the face's centre, the eyes' centres turned back.
    const cv::Point2f pivot(float(w / 2),
                            float((0.5 * view.grey.rows - band_top) * face.rows / band.rows));
    std::optional<cv::Rect> left;
    std::optional<cv::Rect> right;
    cv::Mat turned;
    for (const double turn : {0.0, search.retry_turn, -search.retry_turn}) {
        const cv::Mat rotation = cv::getRotationMatrix2D(pivot, turn, 1.0);
        if (turn != 0) {
            cv::warpAffine(face, turned, rotation, face.size(), cv::INTER_LINEAR,
                           cv::BORDER_REPLICATE);
        }
        const cv::Mat& seen = turn != 0 ? turned : face;
        left = FindEye(seen, {search.eye_x * w, eye_y}, search.reach_x * w, search.reach_y * w,
                       min_eye, max_eye, eyes, search);
        if (!left) {
            continue;
        }
        right = FindEye(seen, {(1 - search.eye_x) * w, eye_y}, search.reach_x * w,
                        search.reach_y * w, min_eye, max_eye, eyes, search);
        if (!right) {
            continue;
        }
        if (turn != 0) {
            cv::Mat back;
            cv::invertAffineTransform(rotation, back);
            for (std::optional<cv::Rect>* eye : {&left, &right}) {
                const cv::Point2d c = Centre(**eye);
                const cv::Point2d at(back.at<double>(0, 0) * c.x + back.at<double>(0, 1) * c.y +
                                         back.at<double>(0, 2),
                                     back.at<double>(1, 0) * c.x + back.at<double>(1, 1) * c.y +
                                         back.at<double>(1, 2));
                (*eye)->x = int(std::lround(at.x - (*eye)->width / 2.0));
                (*eye)->y = int(std::lround(at.y - (*eye)->height / 2.0));
            }
        }
        break;
    }
    if (!left || !right) {
        return std::nullopt;
    }
    // Two plausible eyes: a quarter to 70 % of the face apart, within 25 degrees of level (a
    // face turned further is not found by the face detector), of like size.
    const cv::Point2d a = Centre(*left);
    const cv::Point2d b = Centre(*right);
    const double dx = b.x - a.x;
    const double size_ratio =
        double(std::max(left->width, right->width)) / std::min(left->width, right->width);
    if (dx < 0.25 * w || dx > 0.7 * w || std::abs(b.y - a.y) > kMaxSlope * dx ||
        size_ratio > search.max_size_ratio) {
        return std::nullopt;
    }
    // Each eye's mirror image, turned by twice the roll the detector's centres give, finds the
    // other eye; the rolls the two matches give are averaged.
    const double coarse = Degrees(a, b);
    const int reach =
        std::max(2, int(std::lround(search.mirror_reach * (left->width + right->width) / 2)));
    double sum = 0;
    int count = 0;
    if (const std::optional<Match> m = MirrorMatch(face, a, b, left->width, 2 * coarse, reach);
        m && m->score >= search.min_match) {
        sum += Degrees(a, m->at);
        ++count;
    }
    if (const std::optional<Match> m = MirrorMatch(face, b, a, right->width, 2 * coarse, reach);
        m && m->score >= search.min_match) {
        sum += Degrees(m->at, b);
        ++count;
    }
    if (count == 0 || std::abs(sum / count) > kMaxDegrees) {
        return std::nullopt;
    }
    return sum / count;
}

} // namespace vrel::quality
