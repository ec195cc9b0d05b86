#include "correct/framing.h"

#include "check/face.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace vrel {
namespace {

// The share of each ratio interval kept clear at both ends, and of the centring bound used.
constexpr double kIntervalMargin = 0.2;
constexpr double kCentringShare = 1.0 / 3.0;
// Room above the face box, in box heights, that the crown of the head and a little air need
// where the top of the hair is not known: a photo whose top edge is closer cuts the head off.
constexpr double kHeadroom = 0.4;
// Where it is known, the box's top keeps at least this much room besides.
constexpr double kMinHeadroom = 0.25;

struct Range {
    double lo, hi;
    bool Empty() const { return lo > hi; }
    double Clamp(double v) const { return std::clamp(v, lo, hi); }
};

Range Inner(float min, float max) {
    const double margin = kIntervalMargin * (double(max) - min);
    return {min + margin, max - margin};
}

bool Inside(float v, float min, float max) {
    const Range r = Inner(min, max);
    return v >= r.lo && v <= r.hi;
}

// One candidate width: where the crop may lie so that the face lands within the margins, and
// where it must lie to stay inside the photo.
struct Placement {
    double width = 0, height = 0;
    Range x{0, 0}, y{0, 0};               // allowed by the ratios and the centring
    Range inside_x{0, 0}, inside_y{0, 0}; // allowed by the photo
    double x_target = 0, y_target = 0;
};

Placement Place(double width, const FaceBox& f, cv::Size photo, const CheckSettings& s,
                const FramingTargets& t, const CanvasRoom& room) {
    Placement p;
    p.width = width;
    p.height = width * s.dst_height / s.dst_width;
    const double k = s.dst_width / width;
    // Centring: |2 x' + w' - dst_width| stays within a share of the bound, in normalised pixels.
    const double centred = f.x + f.w / 2 - width / 2;
    const double slack = kCentringShare * s.face_left_right_dif / (2 * k);
    p.x = {centred - slack, centred + slack};
    p.x_target = centred;
    // Vertical ratio: 1 - (chin line - top) / height.
    const double chin = ChinLineUntruncated(f.y, f.h);
    const Range ry = Inner(s.ratio_y_min, s.ratio_y_max);
    const double top_limit =
        f.crown ? std::min(*f.crown - kCrownRoom * p.height, f.y - kMinHeadroom * f.h)
                : f.y - kHeadroom * f.h;
    p.y = {chin - (1 - ry.lo) * p.height, std::min(chin - (1 - ry.hi) * p.height, top_limit)};
    p.y_target = chin - (1 - t.ratio_y) * p.height;
    const double bottom = room.bottom.value_or(photo.height);
    constexpr double kFar = 1e9;
    p.inside_x = room.extend ? Range{-kFar, kFar} : Range{0, photo.width - width};
    p.inside_y = {room.extend ? -kFar : 0, bottom - p.height};
    return p;
}

double Gap(const Range& want, const Range& have) {
    if (want.hi < have.lo) {
        return have.lo - want.hi;
    }
    if (want.lo > have.hi) {
        return want.lo - have.hi;
    }
    return 0;
}

// Every whole width from lo to hi, from the target outwards: the first that fits is the one
// closest to it.
std::vector<int> WidthsFrom(int target, int lo, int hi) {
    std::vector<int> widths;
    const int start = std::clamp(target, lo, std::max(lo, hi));
    for (int step = 0; start - step >= lo || start + step <= hi; ++step) {
        if (start + step <= hi) {
            widths.push_back(start + step);
        }
        if (step > 0 && start - step >= lo) {
            widths.push_back(start - step);
        }
    }
    return widths;
}

// Whether the placement leaves room for the crop inside the photo; if so, the crop, placed as
// near the targets as the room allows.
bool Fits(const Placement& p, cv::Size photo, double aspect, const CanvasRoom& room, Framing& out) {
    const Range x{std::max(p.x.lo, p.inside_x.lo), std::min(p.x.hi, p.inside_x.hi)};
    const Range y{std::max(p.y.lo, p.inside_y.lo), std::min(p.y.hi, p.inside_y.hi)};
    if (x.Empty() || y.Empty() || (!room.extend && p.inside_y.hi < 0)) {
        return false;
    }
    const int width = static_cast<int>(p.width);
    const int bottom = static_cast<int>(std::floor(room.bottom.value_or(photo.height)));
    int height = static_cast<int>(std::lround(width * aspect));
    int left = static_cast<int>(std::lround(x.Clamp(p.x_target)));
    int top = static_cast<int>(std::lround(y.Clamp(p.y_target)));
    if (room.extend) {
        top = std::min(top, bottom - height);
    } else {
        height = std::min(height, bottom);
        left = std::clamp(left, 0, photo.width - width);
        top = std::clamp(top, 0, bottom - height);
    }
    out.crop = cv::Rect(left, top, width, height);
    return true;
}

// What the photo lacks at the placement that came closest: the side where most is missing.
Framing Missing(const Placement& p) {
    const double above = p.y.hi < p.inside_y.lo ? p.inside_y.lo - p.y.hi : 0;
    const double below = p.y.lo > p.inside_y.hi ? p.y.lo - p.inside_y.hi : 0;
    const double left = p.x.hi < p.inside_x.lo ? p.inside_x.lo - p.x.hi : 0;
    const double right = p.x.lo > p.inside_x.hi ? p.x.lo - p.inside_x.hi : 0;
    const double worst = std::max({above, below, left, right});
    Framing out;
    out.problem = worst == above   ? FramingProblem::SpaceAbove
                  : worst == below ? FramingProblem::SpaceBelow
                  : worst == left  ? FramingProblem::SpaceLeft
                                   : FramingProblem::SpaceRight;
    out.needed = std::ceil(worst);
    return out;
}

} // namespace

FramingTargets TargetsFor(const CheckSettings& s) {
    FramingTargets t;
    if (s.correct_ratio_y) {
        t.ratio_y = *s.correct_ratio_y;
    } else if (!Inside(t.ratio_y, s.ratio_y_min, s.ratio_y_max)) {
        t.ratio_y = (s.ratio_y_min + s.ratio_y_max) / 2;
    }
    if (s.correct_ratio_x) {
        t.ratio_x = *s.correct_ratio_x;
    } else if (!Inside(t.ratio_x, s.ratio_x_min, s.ratio_x_max)) {
        t.ratio_x = (s.ratio_x_min + s.ratio_x_max) / 2;
    }
    t.max_enlarge = s.correct_max_enlarge;
    return t;
}

bool RatiosWellInside(float ratio_y, float ratio_x, const CheckSettings& s) {
    return Inside(ratio_y, s.ratio_y_min, s.ratio_y_max) &&
           Inside(ratio_x, s.ratio_x_min, s.ratio_x_max);
}

FaceBox FaceInCrop(const FaceBox& f, const cv::Rect& crop, const CheckSettings& s) {
    const double k = double(s.dst_width) / crop.width;
    FaceBox out{(f.x - crop.x) * k, (f.y - crop.y) * k, f.w * k, f.h * k, std::nullopt};
    if (f.crown) {
        out.crown = (*f.crown - crop.y) * k;
    }
    return out;
}

Framing PlanCrop(const FaceBox& face, cv::Size photo, const CheckSettings& s,
                 const FramingTargets& t, const CanvasRoom& room) {
    Framing out;
    const double aspect = double(s.dst_height) / s.dst_width;
    // The photo itself: extending it adds backdrop, never the detail that its size lacks.
    const double photo_needed = std::max(double(s.dst_width) / std::max(1, photo.width),
                                         double(s.dst_height) / std::max(1, photo.height));
    // Widths that put the horizontal ratio within its margins, around the target.
    const Range rx = Inner(s.ratio_x_min, s.ratio_x_max);
    const double target = face.w / (1 - t.ratio_x);
    if (photo_needed > t.max_enlarge) {
        out.problem = FramingProblem::TooSmall;
        out.needed = std::max(photo_needed, s.dst_width / target);
        out.available = t.max_enlarge;
        out.photo_too_small = true;
        return out;
    }
    if (face.w / (1 - rx.hi) < s.dst_width / t.max_enlarge) {
        out.problem = FramingProblem::TooSmall;
        out.needed = s.dst_width / target;
        out.available = t.max_enlarge;
        return out;
    }
    const double bottom = room.bottom.value_or(photo.height);
    const int lo =
        static_cast<int>(std::ceil(std::max(face.w / (1 - rx.lo), s.dst_width / t.max_enlarge)));
    const int hi = static_cast<int>(std::floor(
        room.extend
            ? face.w / (1 - rx.hi)
            : std::min({face.w / (1 - rx.hi), double(photo.width), std::floor(bottom / aspect)})));

    double best_gap = std::numeric_limits<double>::infinity();
    Placement closest = Place(std::max(lo, 1), face, photo, s, t, room);
    for (int width : WidthsFrom(static_cast<int>(std::lround(target)), lo, hi)) {
        const Placement p = Place(width, face, photo, s, t, room);
        if (Fits(p, photo, aspect, room, out)) {
            out.scale = double(s.dst_width) / width;
            return out;
        }
        const double gap = Gap(p.x, p.inside_x) + Gap(p.y, p.inside_y);
        if (gap < best_gap) {
            best_gap = gap;
            closest = p;
        }
    }
    return Missing(closest);
}

Overhang OverhangOf(const cv::Rect& crop, cv::Size photo) {
    Overhang o;
    o.top = std::max(0, -crop.y);
    o.left = std::max(0, -crop.x);
    o.right = std::max(0, crop.x + crop.width - photo.width);
    o.bottom = std::max(0, crop.y + crop.height - photo.height);
    return o;
}

} // namespace vrel
