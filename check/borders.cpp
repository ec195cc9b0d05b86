#include "check/borders.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <vector>

namespace vrel {
namespace {

constexpr int kTolerance = 6;        // levels, in each channel
constexpr double kPlainShare = 0.98; // of a line's pixels
constexpr double kMinDepth = 0.02;   // of the picture's height or width
constexpr int kMinPixels = 4;
constexpr double kMaxDepth = 0.40;
constexpr int kDarkLevel = 40;  // the brightest channel of a black bar
constexpr int kSameColour = 12; // two sides' colours, in each channel

bool Near(const cv::Vec3b& a, const cv::Vec3b& b, int tolerance) {
    for (int c = 0; c < 3; ++c) {
        if (std::abs(int(a[c]) - int(b[c])) > tolerance) {
            return false;
        }
    }
    return true;
}

// The middle value of each channel of a line of pixels, taken with a step.
cv::Vec3b Median(const cv::Mat& line) {
    std::array<std::vector<uint8_t>, 3> values;
    const int n = static_cast<int>(line.total());
    const int step = std::max(1, n / 64);
    for (int i = 0; i < n; i += step) {
        const cv::Vec3b& p = line.rows == 1 ? line.at<cv::Vec3b>(0, i) : line.at<cv::Vec3b>(i, 0);
        for (int c = 0; c < 3; ++c) {
            values[c].push_back(p[c]);
        }
    }
    cv::Vec3b median;
    for (int c = 0; c < 3; ++c) {
        std::nth_element(values[c].begin(), values[c].begin() + values[c].size() / 2,
                         values[c].end());
        median[c] = values[c][values[c].size() / 2];
    }
    return median;
}

bool Plain(const cv::Mat& line, const cv::Vec3b& colour) {
    const int n = static_cast<int>(line.total());
    int off = 0;
    const int allowed = static_cast<int>(n * (1 - kPlainShare));
    for (int i = 0; i < n; ++i) {
        const cv::Vec3b& p = line.rows == 1 ? line.at<cv::Vec3b>(0, i) : line.at<cv::Vec3b>(i, 0);
        if (!Near(p, colour, kTolerance) && ++off > allowed) {
            return false;
        }
    }
    return true;
}

struct Side {
    int depth = 0;
    cv::Vec3b colour;
};

// How many outermost lines of one side share the outermost line's colour; 0 where fewer than
// the least depth do.
Side Measure(const cv::Mat& bgr, bool rows, bool from_end) {
    const int count = rows ? bgr.rows : bgr.cols;
    const auto line = [&](int i) {
        const int at = from_end ? count - 1 - i : i;
        return rows ? bgr.row(at) : bgr.col(at);
    };
    Side side;
    side.colour = Median(line(0));
    const int most = static_cast<int>(count * kMaxDepth);
    int depth = 0;
    while (depth < most && Plain(line(depth), side.colour)) {
        ++depth;
    }
    const int least = std::max(kMinPixels, static_cast<int>(std::ceil(count * kMinDepth)));
    side.depth = depth >= least && depth < most ? depth : 0;
    return side;
}

} // namespace

std::optional<PlainBorders> FindPlainBorders(const cv::Mat& bgr) {
    if (bgr.empty() || bgr.type() != CV_8UC3 || bgr.rows < 16 || bgr.cols < 16) {
        return std::nullopt;
    }
    const Side top = Measure(bgr, true, false), bottom = Measure(bgr, true, true);
    const Side left = Measure(bgr, false, false), right = Measure(bgr, false, true);
    const auto dark = [](const cv::Vec3b& c) { return std::max({c[0], c[1], c[2]}) <= kDarkLevel; };
    const auto same = [](const Side& a, const Side& b) {
        return a.depth > 0 && b.depth > 0 && Near(a.colour, b.colour, kSameColour);
    };
    cv::Vec3b colour;
    if (bottom.depth > 0 && (same(bottom, top) || same(bottom, left) || same(bottom, right))) {
        colour = bottom.colour;
    } else if (same(left, right) && dark(left.colour) && dark(right.colour)) {
        colour = left.colour;
    } else {
        return std::nullopt;
    }
    PlainBorders b;
    b.colour = colour;
    const auto depth = [&](const Side& s) {
        return s.depth > 0 && Near(s.colour, colour, kSameColour) ? s.depth : 0;
    };
    b.top = depth(top);
    b.bottom = depth(bottom);
    b.left = depth(left);
    b.right = depth(right);
    return b;
}

} // namespace vrel
