#include "correct/backdrop/backdrop.h"

#include "correct/backdrop/composite.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace vrel {
namespace {

// The ring around the person's edge that must not show the old wall, on either side of the
// edge: as wide as the guided filter's reach, and at least this share of the long side.
constexpr double kRingShare = 0.02;
// The top rows: this share of the height, at least one row.
constexpr double kTopShare = 0.005;
// A patch of old wall is at least this share of the long side across: the faint wall between
// strands of hair and along a soft edge is thinner, and a person does not see it as the old wall.
constexpr double kPatchShare = 0.015;

double Share(int64_t part, int64_t whole) {
    return whole > 0 ? static_cast<double>(part) / static_cast<double>(whole) : 0.0;
}

cv::Rect Scaled(const cv::Rect& r, double scale) {
    const int x0 = static_cast<int>(std::floor(r.x * scale));
    const int y0 = static_cast<int>(std::floor(r.y * scale));
    const int x1 = static_cast<int>(std::ceil((r.x + r.width) * scale));
    const int y1 = static_cast<int>(std::ceil((r.y + r.height) * scale));
    return cv::Rect(x0, y0, std::max(1, x1 - x0), std::max(1, y1 - y0));
}

cv::Mat Distance(const cv::Mat& inside) {
    cv::Mat distance;
    cv::distanceTransform(inside, distance, cv::DIST_L2, cv::DIST_MASK_3);
    return distance;
}

// Area of the network's person regions that do not touch `region`, per area of region.
double OtherRegions(const cv::Mat& probability, const cv::Mat& region) {
    cv::Mat p;
    cv::resize(probability, p, region.size(), 0, 0, cv::INTER_LINEAR);
    const cv::Mat person = (p > 0.5f) | region;
    cv::Mat components, stats, centroids;
    const int count = cv::connectedComponentsWithStats(person, components, stats, centroids, 8);
    std::vector<char> joined(count, 0);
    for (int y = 0; y < region.rows; ++y) {
        const uchar* r = region.ptr<uchar>(y);
        const int* c = components.ptr<int>(y);
        for (int x = 0; x < region.cols; ++x) {
            if (r[x] != 0) {
                joined[c[x]] = 1;
            }
        }
    }
    int64_t other = 0;
    for (int i = 1; i < count; ++i) {
        if (!joined[i]) {
            other += stats.at<int>(i, cv::CC_STAT_AREA);
        }
    }
    return Share(other, cv::countNonZero(region));
}

} // namespace

const char* RefusalName(BackdropRefusal refusal) {
    switch (refusal) {
    case BackdropRefusal::None:
        return "none";
    case BackdropRefusal::Stopped:
        return "stopped";
    case BackdropRefusal::BadInput:
        return "bad_input";
    case BackdropRefusal::NotAtBottom:
        return "not_at_bottom";
    case BackdropRefusal::OtherRegions:
        return "other_regions";
    case BackdropRefusal::CutAtTop:
        return "cut_at_top";
    case BackdropRefusal::FaceNotOpaque:
        return "face_not_opaque";
    case BackdropRefusal::TooTransparent:
        return "too_transparent";
    case BackdropRefusal::WallLeft:
        return "wall_left";
    }
    return "unknown";
}

std::vector<std::pair<const char*, double>> BackdropMeasures::Named() const {
    std::vector<std::pair<const char*, double>> named;
    const std::pair<const char*, const std::optional<double>*> all[] = {
        {"bottom_share", &bottom_share}, {"other_regions", &other_regions},
        {"top_share", &top_share},       {"face_clear", &face_clear},
        {"half_share", &half_share},     {"ring_wall", &ring_wall}};
    for (const auto& [name, value] : all) {
        if (*value) {
            named.emplace_back(name, **value);
        }
    }
    return named;
}

cv::Rect InnerFace(const cv::Rect& face) {
    return cv::Rect(face.x + face.width / 4, face.y + face.height / 5, std::max(1, face.width / 2),
                    std::max(1, face.height * 3 / 5));
}

Result<BackdropReplacer> BackdropReplacer::Load(const std::string& model_path, MatteOptions options,
                                                BackdropBounds bounds) {
    Result<PersonSegmenter> segmenter = PersonSegmenter::Load(model_path);
    if (!segmenter) {
        return segmenter.Err();
    }
    return BackdropReplacer(std::move(*segmenter), options, bounds);
}

BackdropResult BackdropReplacer::Replace(const cv::Mat& photo_bgr, const cv::Rect& face,
                                         const cv::Scalar& colour_bgr, const WorkLimit* limit) {
    BackdropResult result;
    auto refuse = [&](BackdropRefusal why) {
        result.refusal = why;
        return result;
    };
    auto stopped = [&] { return limit != nullptr && limit->Stopped() != nullptr; };
    const cv::Rect whole(cv::Point(), photo_bgr.size());
    if (photo_bgr.type() != CV_8UC3 || photo_bgr.empty() || face.area() <= 0 ||
        (face & whole) != face) {
        return refuse(BackdropRefusal::BadInput);
    }
    if (stopped()) {
        return refuse(BackdropRefusal::Stopped);
    }

    // The network and the matte work on a reduced copy.
    double scale = 1;
    const cv::Mat work = ReduceForMatte(photo_bgr, options_.work_side, &scale);
    const cv::Rect work_face = Scaled(InnerFace(face), scale) & cv::Rect(cv::Point(), work.size());
    const cv::Mat probability = segmenter_.Probability(work);
    if (stopped()) {
        return refuse(BackdropRefusal::Stopped);
    }

    cv::Mat region;
    {
        double cut_scale = 1;
        const cv::Mat cut = options_.grabcut_side > 0 && options_.grabcut_side < options_.work_side
                                ? ReduceForMatte(work, options_.grabcut_side, &cut_scale)
                                : work;
        const cv::Rect cut_face = Scaled(work_face, cut_scale) & cv::Rect(cv::Point(), cut.size());
        const cv::Mat labels = SeedLabels(probability, cut.size(), cut_face);
        region = PersonRegion(
            cut, labels, options_.grabcut_side > 0 ? options_.grabcut_iterations : 0, cut_face);
        if (!region.empty() && region.size() != work.size()) {
            cv::resize(region, region, work.size(), 0, 0, cv::INTER_LINEAR);
            cv::threshold(region, region, 127, 255, cv::THRESH_BINARY);
        }
    }
    if (region.empty()) { // (the inner face is always seeded as person)
        return refuse(BackdropRefusal::NotAtBottom);
    }
    if (stopped()) {
        return refuse(BackdropRefusal::Stopped);
    }

    // The checks of the region itself.
    const double bottom =
        static_cast<double>(cv::countNonZero(region.row(region.rows - 1))) / region.cols;
    const double other = OtherRegions(probability, region);
    result.measures.bottom_share = bottom;
    result.measures.other_regions = other;
    if (bottom < bounds_.min_bottom_share) {
        return refuse(BackdropRefusal::NotAtBottom);
    }
    if (other > bounds_.max_other_regions) {
        return refuse(BackdropRefusal::OtherRegions);
    }
    if (stopped()) {
        return refuse(BackdropRefusal::Stopped);
    }

    const int side = std::max(work.cols, work.rows);
    const cv::Mat coefficients = MatteCoefficients(work, region, options_);
    const int reach =
        2 * std::max(1, static_cast<int>(std::lround(options_.filter_radius * side))) + 1;
    // The old wall's colour beside the person, and the person's own colour inside the edge.
    const cv::Mat wall = EstimateWall(work, region, reach);
    const cv::Mat person = EstimateWall(work, ~region, reach);

    // The ring on both sides of the edge.
    const double ring_width = std::max<double>(reach, kRingShare * side);
    cv::Mat ring(region.size(), CV_8U, cv::Scalar(0));
    ring.setTo(kRingOut, (region == 0) & (Distance(~region) <= ring_width));
    ring.setTo(kRingIn, (region != 0) & (Distance(region) <= ring_width));
    CompositeInput input;
    input.coefficients = coefficients;
    input.wall = wall;
    input.person = person;
    input.ring = ring;
    input.colour = colour_bgr;
    input.inner_face = InnerFace(face);
    input.top_rows = std::max(1, static_cast<int>(std::lround(kTopShare * photo_bgr.rows)));
    cv::Mat wall_shown;
    const CompositeCounts counts =
        CompositeOnColour(photo_bgr, input, result.photo, result.alpha, wall_shown);
    // A patch of wall, not the faint edge of a strand: what is left of the pixels that show the
    // wall once everything thinner than a patch is taken away.
    // Judged at the matte's working size: a patch is wide enough to show there.
    cv::Mat shown = wall_shown != 0;
    if (shown.size() != work.size()) {
        cv::resize(shown, shown, work.size(), 0, 0, cv::INTER_AREA);
        cv::threshold(shown, shown, 127, 255, cv::THRESH_BINARY);
    }
    const int patch = std::max(3, static_cast<int>(std::lround(kPatchShare * side)));
    cv::Mat patches;
    cv::morphologyEx(shown, patches, cv::MORPH_OPEN,
                     cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(patch, patch)));
    const double patch_pixels = static_cast<double>(cv::countNonZero(patches)) * photo_bgr.total() /
                                static_cast<double>(work.total());

    const double top = Share(counts.top_person, counts.top);
    const double face_clear = Share(counts.face_clear, counts.face);
    const double half = Share(counts.half, counts.person);
    const double ring_wall = Share(static_cast<int64_t>(std::llround(patch_pixels)), counts.ring);
    result.measures.top_share = top;
    result.measures.face_clear = face_clear;
    result.measures.half_share = half;
    result.measures.ring_wall = ring_wall;
    if (top > bounds_.max_top_share) {
        return refuse(BackdropRefusal::CutAtTop);
    }
    if (face_clear > bounds_.max_face_clear) {
        return refuse(BackdropRefusal::FaceNotOpaque);
    }
    if (half > bounds_.max_half_share) {
        return refuse(BackdropRefusal::TooTransparent);
    }
    if (ring_wall > bounds_.max_ring_wall) {
        return refuse(BackdropRefusal::WallLeft);
    }
    return result;
}

} // namespace vrel
