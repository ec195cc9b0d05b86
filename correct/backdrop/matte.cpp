#include "correct/backdrop/matte.h"

#include "correct/backdrop/guided_filter.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <vector>

namespace vrel {
namespace {

// Where the seeds are drawn, as shares of the long side: the network's edge is blurred over a
// few of its 256 cells, and hair that it misses lies within the outer band.
constexpr double kProbableOutside = 0.05;
constexpr double kSureInside = 0.03;
constexpr float kPersonProbability = 0.5f;
constexpr float kMaybeProbability = 0.05f;
// Holes in the region smaller than this share of it are filled (a glint on glasses or a button
// that GrabCut gave to the backdrop); larger ones are backdrop seen through (an arm's gap).
constexpr double kPinhole = 0.001;
// GrabCut fits five colours to each side; with fewer pixels than this on a side it cannot.
constexpr int kGrabCutSamples = 64;
// The wall estimate: the level it is returned at, and how much of a cell must be surely
// backdrop for the cell's own average to be trusted fully.
constexpr int kWallSide = 64;
constexpr float kWallTrusted = 0.3f;

// Distance of every pixel to the nearest pixel outside `inside` (0 outside).
cv::Mat DistanceInside(const cv::Mat& inside) {
    cv::Mat distance;
    cv::distanceTransform(inside, distance, cv::DIST_L2, cv::DIST_MASK_3);
    return distance;
}

cv::Mat Not(const cv::Mat& m) {
    cv::Mat out;
    cv::bitwise_not(m, out);
    return out;
}

} // namespace

cv::Mat ReduceForMatte(const cv::Mat& photo_bgr, int side, double* scale) {
    const int long_side = std::max(photo_bgr.cols, photo_bgr.rows);
    if (long_side <= side) {
        *scale = 1;
        return photo_bgr.clone();
    }
    *scale = static_cast<double>(side) / long_side;
    const cv::Size size(std::max(1, static_cast<int>(std::lround(photo_bgr.cols * *scale))),
                        std::max(1, static_cast<int>(std::lround(photo_bgr.rows * *scale))));
    // Averaging by a whole factor first takes OpenCV's fast path; the rest is less than 2.
    const int whole = long_side / side;
    cv::Mat out;
    if (whole >= 2) {
        cv::Mat part;
        cv::resize(photo_bgr, part, cv::Size(), 1.0 / whole, 1.0 / whole, cv::INTER_AREA);
        cv::resize(part, out, size, 0, 0, cv::INTER_AREA);
    } else {
        cv::resize(photo_bgr, out, size, 0, 0, cv::INTER_AREA);
    }
    return out;
}

cv::Mat SeedLabels(const cv::Mat& probability, cv::Size size, const cv::Rect& inner_face) {
    cv::Mat p;
    cv::resize(probability, p, size, 0, 0, cv::INTER_LINEAR);
    const double side = std::max(size.width, size.height);
    const cv::Mat person = p > kPersonProbability;
    // Depth in the mask counts the photo's top and sides as outside it, so that a strip of wall
    // between a shoulder and the side that the mask took in is only probably person; the person
    // goes on below the bottom edge.
    cv::Mat framed;
    cv::copyMakeBorder(person, framed, 1, 0, 1, 1, cv::BORDER_CONSTANT, cv::Scalar(0));
    const cv::Mat depth = DistanceInside(framed)(cv::Rect(1, 1, size.width, size.height));
    const cv::Mat distance_out = DistanceInside(Not(person));

    cv::Mat labels(size, CV_8U, cv::Scalar(cv::GC_BGD));
    labels.setTo(cv::GC_PR_BGD,
                 (distance_out <= kProbableOutside * side) | (p > kMaybeProbability));
    labels.setTo(cv::GC_PR_FGD, person);
    labels.setTo(cv::GC_FGD, depth > kSureInside * side);
    const cv::Rect face = inner_face & cv::Rect(cv::Point(), size);
    labels(face).setTo(cv::GC_FGD);
    return labels;
}

cv::Mat PersonRegion(const cv::Mat& photo_bgr, cv::Mat labels, int iterations,
                     const cv::Rect& inner_face) {
    CV_Assert(photo_bgr.type() == CV_8UC3 && labels.type() == CV_8U &&
              labels.size() == photo_bgr.size());
    if (iterations > 0) {
        // GC_FGD and GC_PR_FGD are the odd labels.
        cv::Mat odd;
        cv::bitwise_and(labels, cv::Scalar(1), odd);
        const int person = cv::countNonZero(odd);
        if (person >= kGrabCutSamples && odd.total() - person >= kGrabCutSamples) {
            cv::Mat background_model, person_model;
            // GrabCut starts its colour models with k-means from the thread's random generator:
            // a fixed start gives the same photo the same matte, whoever ran before on the thread.
            cv::RNG& rng = cv::theRNG();
            const uint64 kept = rng.state;
            rng.state = 0x5EED;
            cv::grabCut(photo_bgr, labels, cv::Rect(), background_model, person_model, iterations,
                        cv::GC_INIT_WITH_MASK);
            rng.state = kept;
        }
    }
    cv::Mat person;
    cv::bitwise_and(labels, cv::Scalar(1), person);

    cv::Mat components, stats, centroids;
    const int count = cv::connectedComponentsWithStats(person, components, stats, centroids, 8);
    const cv::Rect face = inner_face & cv::Rect(cv::Point(), photo_bgr.size());
    std::vector<int> on_face(count, 0);
    for (int y = face.y; y < face.y + face.height; ++y) {
        const int* row = components.ptr<int>(y);
        for (int x = face.x; x < face.x + face.width; ++x) {
            ++on_face[row[x]];
        }
    }
    int best = 0;
    for (int i = 1; i < count; ++i) {
        if (on_face[i] > on_face[best] || (best == 0 && on_face[i] > 0)) {
            best = i;
        }
    }
    if (best == 0) {
        return {};
    }
    cv::Mat region = components == best;

    // Fill the pinholes: backdrop components that do not reach the edge and are tiny.
    const int holes =
        cv::connectedComponentsWithStats(Not(region), components, stats, centroids, 4);
    const double pinhole = kPinhole * cv::countNonZero(region);
    std::vector<uchar> fill(holes, 0);
    bool any = false;
    for (int i = 1; i < holes; ++i) {
        const int x = stats.at<int>(i, cv::CC_STAT_LEFT), y = stats.at<int>(i, cv::CC_STAT_TOP);
        const int w = stats.at<int>(i, cv::CC_STAT_WIDTH), h = stats.at<int>(i, cv::CC_STAT_HEIGHT);
        const bool at_edge = x == 0 || y == 0 || x + w == region.cols || y + h == region.rows;
        if (!at_edge && stats.at<int>(i, cv::CC_STAT_AREA) < pinhole) {
            fill[i] = 255;
            any = true;
        }
    }
    if (any) {
        for (int y = 0; y < region.rows; ++y) {
            const int* c = components.ptr<int>(y);
            uchar* r = region.ptr<uchar>(y);
            for (int x = 0; x < region.cols; ++x) {
                r[x] |= fill[c[x]];
            }
        }
    }
    return region;
}

cv::Mat MatteCoefficients(const cv::Mat& photo_bgr, const cv::Mat& region,
                          const MatteOptions& options) {
    const int side = std::max(photo_bgr.cols, photo_bgr.rows);
    const int radius = std::max(1, static_cast<int>(std::lround(options.filter_radius * side)));
    cv::Mat coefficients = GuidedFilterCoefficients(photo_bgr, region, radius, options.filter_eps);
    // alpha' = (alpha - low) / (high - low), folded into the linear model; the colour weights
    // from 0..1 to 0..255.
    const float stretch = static_cast<float>(1.0 / (options.alpha_high - options.alpha_low));
    const float low = static_cast<float>(options.alpha_low);
    coefficients.forEach<cv::Vec4f>([&](cv::Vec4f& c, const int*) {
        c[0] *= stretch / 255.0f;
        c[1] *= stretch / 255.0f;
        c[2] *= stretch / 255.0f;
        c[3] = (c[3] - low) * stretch;
    });
    return coefficients;
}

cv::Mat EstimateWall(const cv::Mat& photo_bgr, const cv::Mat& region, int margin) {
    CV_Assert(photo_bgr.type() == CV_8UC3 && region.size() == photo_bgr.size());
    cv::Mat weight;
    const cv::Mat surely_wall = DistanceInside(Not(region)) > margin;
    surely_wall.convertTo(weight, CV_32F, 1.0 / 255.0);
    cv::Mat sum;
    photo_bgr.convertTo(sum, CV_32FC3);
    {
        cv::Mat w3;
        cv::merge(std::vector<cv::Mat>{weight, weight, weight}, w3);
        cv::multiply(sum, w3, sum);
    }
    // Premultiplied averages down to a few pixels.
    std::vector<cv::Mat> sums{sum}, weights{weight};
    int wall_level = -1;
    while (true) {
        const cv::Mat& s = sums.back();
        if (wall_level < 0 && std::max(s.cols, s.rows) <= kWallSide) {
            wall_level = static_cast<int>(sums.size()) - 1;
        }
        if (std::max(s.cols, s.rows) <= 2) {
            break;
        }
        cv::Mat s2, w2;
        cv::pyrDown(s, s2);
        cv::pyrDown(weights.back(), w2);
        sums.push_back(s2);
        weights.push_back(w2);
    }
    // Back up to the returned level: a cell's own average where enough of it is backdrop, the
    // coarser estimate where the person covers it.
    cv::Mat estimate;
    {
        const cv::Scalar total = cv::sum(sums.back());
        const double w = cv::sum(weights.back())[0];
        const cv::Scalar fallback =
            w > 1e-6 ? cv::Scalar(total[0] / w, total[1] / w, total[2] / w) : cv::mean(photo_bgr);
        estimate = cv::Mat(sums.back().size(), CV_32FC3, fallback);
    }
    for (int level = static_cast<int>(sums.size()) - 1; level >= wall_level; --level) {
        cv::Mat coarse;
        cv::resize(estimate, coarse, sums[level].size(), 0, 0, cv::INTER_LINEAR);
        estimate.create(sums[level].size(), CV_32FC3);
        for (int y = 0; y < estimate.rows; ++y) {
            const cv::Vec3f* s = sums[level].ptr<cv::Vec3f>(y);
            const float* w = weights[level].ptr<float>(y);
            const cv::Vec3f* c = coarse.ptr<cv::Vec3f>(y);
            cv::Vec3f* e = estimate.ptr<cv::Vec3f>(y);
            for (int x = 0; x < estimate.cols; ++x) {
                const float trust = std::min(1.0f, w[x] / kWallTrusted);
                e[x] = w[x] > 1e-6f ? s[x] * (trust / w[x]) + c[x] * (1.0f - trust) : c[x];
            }
        }
    }
    return estimate;
}

} // namespace vrel
