#include "quality/measures.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>

namespace vrel::quality {
namespace {

// Steps larger than this are edges in the picture, not between blocks.
constexpr int kMaxStep = 24;
// At most this many rows (columns) are sampled in each direction.
constexpr int kMaxLines = 192;

// Mean step at the phase (position modulo 8) with the largest mean over the largest mean of
// the other seven. A JPEG block grid lifts one phase alone; structure of period 2 or 4 (a photo
// enlarged twice or four times) lifts several phases together and reads near 1.
double GridRatio(const std::array<int64_t, 8>& sum, const std::array<int64_t, 8>& count) {
    std::array<double, 8> mean{};
    for (int p = 0; p < 8; ++p) {
        mean[p] = count[p] > 0 ? double(sum[p]) / double(count[p]) : 0.0;
    }
    const int top = int(std::max_element(mean.begin(), mean.end()) - mean.begin());
    double second = 0;
    for (int p = 0; p < 8; ++p) {
        if (p != top) {
            second = std::max(second, mean[p]);
        }
    }
    // A quarter of a grey level keeps a nearly flat face from dividing by almost nothing.
    return (mean[top] + 0.25) / (second + 0.25);
}

inline int Step(int a, int b) {
    return std::min(std::abs(a - b), kMaxStep);
}

} // namespace

double MeasureBlockiness(const FaceView& view) {
    const cv::Mat& grey = view.full_grey;
    if (grey.cols < 17 || grey.rows < 17) {
        return 1.0;
    }
    // The grid's phase is not assumed: a photo turned upright from its file, or cut, has its
    // grid anywhere; the strongest phase is taken.
    std::array<int64_t, 8> sum{};
    std::array<int64_t, 8> count{};
    const int row_step = std::max(1, grey.rows / kMaxLines);
    for (int y = 0; y < grey.rows; y += row_step) {
        const uint8_t* row = grey.ptr<uint8_t>(y);
        for (int x = 0; x + 1 < grey.cols; ++x) {
            sum[x & 7] += Step(row[x + 1], row[x]);
            ++count[x & 7];
        }
    }
    const double across_columns = GridRatio(sum, count);

    sum.fill(0);
    count.fill(0);
    const int column_step = std::max(1, grey.cols / kMaxLines);
    for (int y = 0; y + 1 < grey.rows; ++y) {
        const uint8_t* upper = grey.ptr<uint8_t>(y);
        const uint8_t* lower = grey.ptr<uint8_t>(y + 1);
        int64_t row_sum = 0;
        int64_t row_count = 0;
        for (int x = 0; x < grey.cols; x += column_step) {
            row_sum += Step(lower[x], upper[x]);
            ++row_count;
        }
        sum[y & 7] += row_sum;
        count[y & 7] += row_count;
    }
    const double across_rows = GridRatio(sum, count);
    // A grid lies both ways; stripes of the same period (a fabric) lie one way only.
    return std::min(across_columns, across_rows);
}

} // namespace vrel::quality
