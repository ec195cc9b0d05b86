#pragma once

// Photos with a known matte for the backdrop replacement: the person of a real portrait
// (tests/data/grace_hopper.jpg, cut out once with tests/data/grace_hopper_matte.png), with thin
// hair-like strands drawn around the head, laid on flat, gradient and busy backdrops. The true
// alpha of every pixel is known, so a replacement can be scored against it.

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <string>

namespace vrel::test {

struct Subject {
    cv::Mat colour; // CV_32FC3, premultiplied by alpha, 0..255
    cv::Mat alpha;  // CV_32F, 0..1
    cv::Rect face;  // the face detector's box
};

// The portrait's face as the review's cascade finds it (tests/data/SOURCES.md).
inline const cv::Rect kGraceHopperFace(149, 102, 229, 229);

// Loose strands of hair, 0.25 to 0.75 pixels thick, drawn at four times the size and reduced so
// that their coverage is their alpha: each leaves the outline of the head (from the top of the
// face box to its bottom) outwards, a little curved.
inline void AddStrands(Subject& s, uint64_t seed, int count) {
    const int k = 4;
    cv::Mat big(s.alpha.size() * k, CV_8U, cv::Scalar(0));
    cv::RNG rng(seed);
    const cv::Rect f = s.face;
    // The outline's pixels beside the head, with the outward direction.
    cv::Mat smooth, gx, gy;
    cv::GaussianBlur(s.alpha, smooth, cv::Size(0, 0), 3);
    cv::Sobel(smooth, gx, CV_32F, 1, 0);
    cv::Sobel(smooth, gy, CV_32F, 0, 1);
    std::vector<cv::Point> outline;
    for (int y = std::max(1, f.y - f.height / 4); y < std::min(s.alpha.rows - 1, f.y + f.height);
         ++y) {
        for (int x = 1; x < s.alpha.cols - 1; ++x) {
            if (s.alpha.at<float>(y, x) >= 0.5f && s.alpha.at<float>(y, x - 1) < 0.5f) {
                outline.emplace_back(x, y);
            } else if (s.alpha.at<float>(y, x) >= 0.5f && s.alpha.at<float>(y, x + 1) < 0.5f) {
                outline.emplace_back(x, y);
            }
        }
    }
    if (outline.empty()) {
        return;
    }
    for (int i = 0; i < count; ++i) {
        const cv::Point o = outline[rng.uniform(0, static_cast<int>(outline.size()))];
        float angle = std::atan2(-gy.at<float>(o), -gx.at<float>(o)) * 180.0f / CV_PI +
                      rng.uniform(-40.0f, 40.0f);
        cv::Point2f p(o.x, o.y);
        const float length = rng.uniform(0.04f, 0.12f) * f.width;
        const int thickness = rng.uniform(1, 4); // of 4: 0.25 to 0.75 px
        const float bend = rng.uniform(-6.0f, 6.0f);
        const int steps = 10;
        for (int j = 0; j < steps; ++j) {
            angle += bend;
            const float rad = angle * static_cast<float>(CV_PI / 180);
            const cv::Point2f q = p + cv::Point2f(std::cos(rad), std::sin(rad)) * (length / steps);
            cv::line(big, p * k, q * k, cv::Scalar(255), thickness, cv::LINE_AA);
            p = q;
        }
    }
    cv::Mat strands;
    cv::resize(big, strands, s.alpha.size(), 0, 0, cv::INTER_AREA);
    strands.convertTo(strands, CV_32F, 1.0 / 255);
    const cv::Vec3f hair(150, 155, 165); // grey, as her own hair, blue-green-red
    for (int y = 0; y < s.alpha.rows; ++y) {
        const float* a_s = strands.ptr<float>(y);
        float* a = s.alpha.ptr<float>(y);
        cv::Vec3f* c = s.colour.ptr<cv::Vec3f>(y);
        for (int x = 0; x < s.alpha.cols; ++x) {
            c[x] = hair * a_s[x] + c[x] * (1 - a_s[x]);
            a[x] = a_s[x] + a[x] * (1 - a_s[x]);
        }
    }
}

// The cut-out portrait; empty when its files are missing.
inline Subject LoadSubject(const std::string& data_dir, int strands = 40) {
    Subject s;
    const cv::Mat photo = cv::imread(data_dir + "/grace_hopper.jpg", cv::IMREAD_COLOR);
    const cv::Mat matte = cv::imread(data_dir + "/grace_hopper_matte.png", cv::IMREAD_GRAYSCALE);
    if (photo.empty() || matte.size() != photo.size()) {
        return s;
    }
    matte.convertTo(s.alpha, CV_32F, 1.0 / 255);
    photo.convertTo(s.colour, CV_32FC3);
    cv::Mat a3;
    cv::merge(std::vector<cv::Mat>{s.alpha, s.alpha, s.alpha}, a3);
    cv::multiply(s.colour, a3, s.colour);
    s.face = kGraceHopperFace;
    if (strands > 0) {
        AddStrands(s, 7, strands);
    }
    return s;
}

// The subject scaled to `width` and set on a canvas of `size` at (x, y) (its top-left corner);
// what lies outside the canvas is cut off.
inline Subject Place(const Subject& s, cv::Size size, double width, cv::Point2d at) {
    const double scale = width / s.alpha.cols;
    const cv::Matx23d m(scale, 0, at.x, 0, scale, at.y);
    Subject out;
    const int interpolation = scale < 1 ? cv::INTER_AREA : cv::INTER_CUBIC;
    cv::warpAffine(s.colour, out.colour, m, size, interpolation, cv::BORDER_CONSTANT);
    cv::warpAffine(s.alpha, out.alpha, m, size, interpolation, cv::BORDER_CONSTANT);
    cv::threshold(out.alpha, out.alpha, 1, 1, cv::THRESH_TRUNC);
    cv::threshold(out.alpha, out.alpha, 0, 0, cv::THRESH_TOZERO);
    out.face = cv::Rect(cvRound(s.face.x * scale + at.x), cvRound(s.face.y * scale + at.y),
                        cvRound(s.face.width * scale), cvRound(s.face.height * scale));
    return out;
}

// The subject laid on a backdrop of its size: an 8-bit photo.
inline cv::Mat Compose(const Subject& s, const cv::Mat& backdrop_bgr) {
    cv::Mat out(s.alpha.size(), CV_8UC3);
    for (int y = 0; y < out.rows; ++y) {
        const float* a = s.alpha.ptr<float>(y);
        const cv::Vec3f* c = s.colour.ptr<cv::Vec3f>(y);
        const cv::Vec3b* b = backdrop_bgr.ptr<cv::Vec3b>(y);
        cv::Vec3b* o = out.ptr<cv::Vec3b>(y);
        for (int x = 0; x < out.cols; ++x) {
            const cv::Vec3f v = c[x] + cv::Vec3f(b[x][0], b[x][1], b[x][2]) * (1 - a[x]);
            o[x] = cv::Vec3b(cv::saturate_cast<uchar>(v[0]), cv::saturate_cast<uchar>(v[1]),
                             cv::saturate_cast<uchar>(v[2]));
        }
    }
    return out;
}

// Backdrops.
inline cv::Mat Flat(cv::Size size, cv::Scalar bgr) {
    return cv::Mat(size, CV_8UC3, bgr);
}

// A wall lit from one side: top to bottom from one colour to another, and darker to the right.
inline cv::Mat Gradient(cv::Size size, cv::Vec3f top, cv::Vec3f bottom, float side_falloff) {
    cv::Mat out(size, CV_8UC3);
    for (int y = 0; y < size.height; ++y) {
        const float t = static_cast<float>(y) / std::max(1, size.height - 1);
        const cv::Vec3f row = top * (1 - t) + bottom * t;
        for (int x = 0; x < size.width; ++x) {
            const float s = 1 - side_falloff * x / std::max(1, size.width - 1);
            const cv::Vec3f v = row * s;
            out.at<cv::Vec3b>(y, x) =
                cv::Vec3b(cv::saturate_cast<uchar>(v[0]), cv::saturate_cast<uchar>(v[1]),
                          cv::saturate_cast<uchar>(v[2]));
        }
    }
    return out;
}

// A plain wall with sensor noise of the given standard deviation.
inline cv::Mat Noisy(cv::Size size, cv::Scalar bgr, double sigma, uint64_t seed) {
    cv::Mat noise(size, CV_16SC3);
    cv::RNG rng(seed);
    rng.fill(noise, cv::RNG::NORMAL, cv::Scalar::all(0), cv::Scalar::all(sigma));
    cv::Mat out;
    cv::add(cv::Mat(size, CV_16SC3, bgr), noise, out, cv::noArray(), CV_8UC3);
    return out;
}

// Vertical stripes (a blind, a wallpaper) of two colours.
inline cv::Mat Stripes(cv::Size size, int period, cv::Scalar a, cv::Scalar b) {
    cv::Mat out(size, CV_8UC3, a);
    for (int x = 0; x < size.width; x += period) {
        cv::rectangle(out, cv::Rect(x, 0, period / 2, size.height), b, cv::FILLED);
    }
    cv::GaussianBlur(out, out, cv::Size(3, 3), 0);
    return out;
}

// A room behind the person: a cream wall, the edge of a brown door on the left, a framed picture
// on the right and a white light switch.
inline cv::Mat Room(cv::Size size) {
    const double u = size.width / 600.0;
    cv::Mat out = Gradient(size, cv::Vec3f(190, 214, 232), cv::Vec3f(160, 185, 205), 0.15f);
    auto r = [&](double x, double y, double w, double h) {
        return cv::Rect(cvRound(x * u), cvRound(y * u), cvRound(w * u), cvRound(h * u));
    };
    cv::rectangle(out, r(0, 0, 90, 2000), cv::Scalar(40, 75, 120), cv::FILLED);
    cv::rectangle(out, r(90, 0, 12, 2000), cv::Scalar(70, 110, 150), cv::FILLED);
    cv::rectangle(out, r(430, 60, 150, 110), cv::Scalar(30, 40, 50), cv::FILLED);
    cv::rectangle(out, r(442, 72, 126, 86), cv::Scalar(120, 150, 90), cv::FILLED);
    cv::rectangle(out, r(470, 300, 40, 60), cv::Scalar(245, 245, 245), cv::FILLED);
    cv::GaussianBlur(out, out, cv::Size(0, 0), 1.2 * u);
    return out;
}

// A real photo stretched over the canvas (a room, a busy scene).
inline cv::Mat PhotoBackdrop(const std::string& path, cv::Size size) {
    const cv::Mat photo = cv::imread(path, cv::IMREAD_COLOR);
    cv::Mat out;
    if (!photo.empty()) {
        cv::resize(photo, out, size, 0, 0, cv::INTER_CUBIC);
    }
    return out;
}

// How a replacement's alpha (CV_8U) compares with the true one.
struct MatteScore {
    double alpha_error = 0;   // sum of |alpha - true| per pixel of the true person's area
    double backdrop_kept = 0; // share of the true backdrop (true alpha 0) with alpha > 0.1
    double person_lost = 0;   // share of the true person (true alpha 1) with alpha < 0.9
};

// The mean colour difference (0..255, averaged over the channels) between a composite and the
// true one, over the edge: where either alpha is strictly between 0 and 1.
inline double EdgeColourError(const cv::Mat& composite, const cv::Mat& alpha8,
                              const cv::Mat& true_composite, const cv::Mat& truth) {
    double sum = 0;
    int64_t count = 0;
    for (int y = 0; y < truth.rows; ++y) {
        for (int x = 0; x < truth.cols; ++x) {
            const uchar a = alpha8.at<uchar>(y, x);
            const float t = truth.at<float>(y, x);
            if ((a > 0 && a < 255) || (t > 0 && t < 1)) {
                const cv::Vec3b c = composite.at<cv::Vec3b>(y, x);
                const cv::Vec3b u = true_composite.at<cv::Vec3b>(y, x);
                sum +=
                    (std::abs(c[0] - u[0]) + std::abs(c[1] - u[1]) + std::abs(c[2] - u[2])) / 3.0;
                ++count;
            }
        }
    }
    return count > 0 ? sum / count : 0;
}

inline MatteScore Score(const cv::Mat& alpha8, const cv::Mat& truth) {
    MatteScore score;
    double sum = 0, area = 0;
    int64_t backdrop = 0, kept = 0, person = 0, lost = 0;
    for (int y = 0; y < truth.rows; ++y) {
        const uchar* a = alpha8.ptr<uchar>(y);
        const float* t = truth.ptr<float>(y);
        for (int x = 0; x < truth.cols; ++x) {
            const float v = a[x] / 255.0f;
            sum += std::abs(v - t[x]);
            area += t[x];
            if (t[x] <= 0.0f) {
                ++backdrop;
                kept += v > 0.1f;
            } else if (t[x] >= 1.0f) {
                ++person;
                lost += v < 0.9f;
            }
        }
    }
    score.alpha_error = area > 0 ? sum / area : 0;
    score.backdrop_kept = backdrop > 0 ? static_cast<double>(kept) / backdrop : 0;
    score.person_lost = person > 0 ? static_cast<double>(lost) / person : 0;
    return score;
}

} // namespace vrel::test
