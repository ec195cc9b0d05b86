#include "correct/backdrop/composite.h"

#include <opencv2/core/utility.hpp>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace vrel {
namespace {

// Where an output pixel falls in a grid: the two neighbouring cells and the second's weight,
// with pixel centres aligned as cv::resize aligns them.
struct Tap {
    int i0 = 0, i1 = 0;
    float w = 0;
};

std::vector<Tap> Taps(int out_size, int grid_size) {
    std::vector<Tap> taps(out_size);
    const double scale = static_cast<double>(grid_size) / out_size;
    for (int i = 0; i < out_size; ++i) {
        const double s = std::clamp((i + 0.5) * scale - 0.5, 0.0, grid_size - 1.0);
        taps[i].i0 = static_cast<int>(s);
        taps[i].i1 = std::min(taps[i].i0 + 1, grid_size - 1);
        taps[i].w = static_cast<float>(s - taps[i].i0);
    }
    return taps;
}

// One grid row interpolated between two rows, as floats.
template <int N> void BlendRows(const cv::Mat& grid, const Tap& tap, std::vector<float>& row) {
    const float* a = grid.ptr<float>(tap.i0);
    const float* b = grid.ptr<float>(tap.i1);
    const int n = grid.cols * N;
    row.resize(n);
    const float w = tap.w;
    for (int i = 0; i < n; ++i) {
        row[i] = a[i] + (b[i] - a[i]) * w;
    }
}

// Grid cells whose alpha does not depend on the colour.
constexpr uchar kClear = 0, kOpaque = 1, kMixed = 2;

inline uchar Byte(float v) {
    return static_cast<uchar>(std::clamp(v, 0.0f, 255.0f) + 0.5f);
}

} // namespace

CompositeCounts CompositeOnColour(const cv::Mat& photo, const CompositeInput& input, cv::Mat& out,
                                  cv::Mat& alpha, cv::Mat& wall_shown) {
    CV_Assert(photo.type() == CV_8UC3 && input.coefficients.type() == CV_32FC4 &&
              input.wall.type() == CV_32FC3 && input.person.type() == CV_32FC3 &&
              input.person.size() == input.wall.size() && input.ring.type() == CV_8U &&
              input.ring.size() == input.coefficients.size());
    const int rows = photo.rows, cols = photo.cols;
    out.create(photo.size(), CV_8UC3);
    alpha.create(photo.size(), CV_8U);
    wall_shown.create(photo.size(), CV_8U);
    wall_shown.setTo(0);

    const std::vector<Tap> cx = Taps(cols, input.coefficients.cols);
    const std::vector<Tap> cy = Taps(rows, input.coefficients.rows);
    const std::vector<Tap> wx = Taps(cols, input.wall.cols);
    const std::vector<Tap> wy = Taps(rows, input.wall.rows);
    std::vector<int> ring_x(cols);
    for (int x = 0; x < cols; ++x) {
        ring_x[x] = static_cast<int>(static_cast<int64_t>(x) * input.ring.cols / cols);
    }
    const float n[3] = {static_cast<float>(input.colour[0]), static_cast<float>(input.colour[1]),
                        static_cast<float>(input.colour[2])};
    const uchar n8[3] = {Byte(n[0]), Byte(n[1]), Byte(n[2])};
    const cv::Rect face = input.inner_face & cv::Rect(0, 0, cols, rows);

    std::vector<uchar> colour_row(3 * static_cast<size_t>(cols));
    for (int x = 0; x < cols; ++x) {
        std::memcpy(&colour_row[3 * x], n8, 3);
    }

    const int stripes = std::max(1, std::min(rows, 64));
    std::vector<CompositeCounts> counts(stripes);
    cv::parallel_for_(cv::Range(0, stripes), [&](const cv::Range& range) {
        std::vector<float> crow, wrow, prow;
        std::vector<uchar> kind; // of each grid cell in the row: alpha 0, alpha 1 or either
        for (int stripe = range.start; stripe < range.end; ++stripe) {
            CompositeCounts& c = counts[stripe];
            const int y_begin = static_cast<int>(static_cast<int64_t>(rows) * stripe / stripes);
            const int y_end = static_cast<int>(static_cast<int64_t>(rows) * (stripe + 1) / stripes);
            for (int y = y_begin; y < y_end; ++y) {
                BlendRows<4>(input.coefficients, cy[y], crow);
                BlendRows<3>(input.wall, wy[y], wrow);
                BlendRows<3>(input.person, wy[y], prow);
                kind.resize(input.coefficients.cols);
                for (size_t g = 0; g < kind.size(); ++g) {
                    const float* k = &crow[4 * g];
                    const bool flat = k[0] == 0.0f && k[1] == 0.0f && k[2] == 0.0f;
                    kind[g] = !flat          ? kMixed
                              : k[3] <= 0.0f ? kClear
                              : k[3] >= 1.0f ? kOpaque
                                             : kMixed;
                }
                auto kind_at = [&](int x) {
                    const Tap& t = cx[x];
                    return kind[t.i0] == kind[t.i1] ? kind[t.i0] : kMixed;
                };
                const uchar* ring = input.ring.ptr<uchar>(
                    static_cast<int>(static_cast<int64_t>(y) * input.ring.rows / rows));
                const uchar* in = photo.ptr<uchar>(y);
                uchar* o = out.ptr<uchar>(y);
                uchar* a8 = alpha.ptr<uchar>(y);
                uchar* shown = wall_shown.ptr<uchar>(y);
                // A grid's colour at x, interpolated along the row.
                auto at = [&](const std::vector<float>& grid_row, int x, float* out3) {
                    const Tap& u = wx[x];
                    const float* g0 = &grid_row[3 * u.i0];
                    const float* g1 = &grid_row[3 * u.i1];
                    for (int ch = 0; ch < 3; ++ch) {
                        out3[ch] = g0[ch] + (g1[ch] - g0[ch]) * u.w;
                    }
                };
                // Whether a ring pixel shows the old wall (composite.h).
                auto shows_wall = [&](int x, float a, const float* b) {
                    float wall_off = 0, person_off = 0, seen = 0, p[3];
                    at(prow, x, p);
                    for (int ch = 0; ch < 3; ++ch) {
                        const float v = in[3 * x + ch];
                        wall_off = std::max(wall_off, std::abs(v - b[ch]));
                        person_off = std::max(person_off, std::abs(v - p[ch]));
                        seen = std::max(seen, a * std::abs(b[ch] - n[ch]));
                    }
                    const bool person_side = ring[ring_x[x]] == kRingIn;
                    return wall_off <= kWallLike && seen > kVisible &&
                           (!person_side || person_off > kPersonLike);
                };
                auto mark_wall = [&](int x, float a, const float* b) {
                    const uchar side = ring[ring_x[x]];
                    if (side != 0 && shows_wall(x, a, b)) {
                        shown[x] = side;
                    }
                };
                int x = 0;
                while (x < cols) {
                    const uchar k = kind_at(x);
                    if (k != kMixed) {
                        // A run whose alpha is 0 or 1 whatever the colour: copied whole.
                        int end = x + 1;
                        while (end < cols && kind_at(end) == k) {
                            ++end;
                        }
                        const size_t n_bytes = 3 * static_cast<size_t>(end - x);
                        if (k == kClear) {
                            std::memcpy(o + 3 * x, colour_row.data(), n_bytes);
                            std::memset(a8 + x, 0, end - x);
                        } else {
                            std::memcpy(o + 3 * x, in + 3 * x, n_bytes);
                            std::memset(a8 + x, 255, end - x);
                            c.person += end - x;
                            // Opaque wall inside the ring is the old wall kept whole.
                            for (int i = x; i < end; ++i) {
                                if (ring[ring_x[i]] != 0) {
                                    float b[3];
                                    at(wrow, i, b);
                                    mark_wall(i, 1.0f, b);
                                }
                            }
                        }
                        x = end;
                        continue;
                    }
                    const Tap& t = cx[x];
                    const float i0 = in[3 * x], i1 = in[3 * x + 1], i2 = in[3 * x + 2];
                    const float* k0 = &crow[4 * t.i0];
                    const float* k1 = &crow[4 * t.i1];
                    const float q0 = k0[0] * i0 + k0[1] * i1 + k0[2] * i2 + k0[3];
                    const float q1 = k1[0] * i0 + k1[1] * i1 + k1[2] * i2 + k1[3];
                    const float a = std::clamp(q0 + (q1 - q0) * t.w, 0.0f, 1.0f);
                    const uchar a_byte = static_cast<uchar>(a * 255.0f + 0.5f);
                    a8[x] = a_byte;
                    uchar* p = o + 3 * x;
                    float b[3];
                    at(wrow, x, b);
                    if (a_byte == 0) {
                        std::memcpy(p, n8, 3);
                    } else if (a_byte == 255) {
                        std::memcpy(p, in + 3 * x, 3);
                    } else {
                        const float inv = 1.0f / a, rest = 1.0f - a;
                        const float src[3] = {i0, i1, i2};
                        for (int ch = 0; ch < 3; ++ch) {
                            const float f =
                                std::clamp((src[ch] - rest * b[ch]) * inv, 0.0f, 255.0f);
                            p[ch] = Byte(a * f + rest * n[ch]);
                        }
                    }
                    c.person += a_byte >= 128;
                    c.half += a_byte > 25 && a_byte < 230;
                    if (a_byte != 0) {
                        mark_wall(x, a, b);
                    }
                    ++x;
                }
            }
        }
    });
    CompositeCounts total;
    for (const CompositeCounts& c : counts) {
        total.person += c.person, total.half += c.half;
    }
    // The rest from the alpha and the ring (the ring's cells are counted at their share of the
    // photo).
    const cv::Rect top(0, 0, cols, std::clamp(input.top_rows, 1, rows));
    total.top = top.area();
    total.top_person = cv::countNonZero(alpha(top) > 25);
    total.face = face.area();
    total.face_clear = face.area() > 0 ? cv::countNonZero(alpha(face) < 250) : 0;
    total.ring = static_cast<int64_t>(std::llround(
        static_cast<double>(cv::countNonZero(input.ring)) * rows * cols / input.ring.total()));
    return total;
}

} // namespace vrel
