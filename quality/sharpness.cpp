#include "quality/measures.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace vrel::quality {
namespace {

int KernelSize(double sigma) {
    return 2 * int(std::ceil(3 * sigma)) + 1;
}

} // namespace

double MeasureSharpness(const FaceView& view) {
    // Two octaves at the working face width: the finest (the face minus its blur at sigma 1)
    // and the next (blur at sigma 1 minus blur at sigma 2). A face enlarged from fewer pixels
    // keeps the second, not the first. A wider face is measured as it is, with the blurs
    // widened in proportion.
    const double sigma = view.detail_scale;
    const double sigma_next = std::sqrt(3.0) * sigma; // on top of sigma: 2 sigma in all
    const int margin = KernelSize(sigma) / 2 + KernelSize(sigma_next) / 2;
    const cv::Rect padded =
        cv::Rect(view.inner.x - margin, view.inner.y - margin, view.inner.width + 2 * margin,
                 view.inner.height + 2 * margin) &
        cv::Rect(0, 0, view.grey.cols, view.grey.rows);
    cv::Mat grey;
    view.grey(padded).convertTo(grey, CV_32F);
    cv::Mat blur1;
    cv::Mat blur2;
    cv::GaussianBlur(grey, blur1, cv::Size(KernelSize(sigma), KernelSize(sigma)), sigma, sigma,
                     cv::BORDER_REFLECT);
    cv::GaussianBlur(blur1, blur2, cv::Size(KernelSize(sigma_next), KernelSize(sigma_next)),
                     sigma_next, sigma_next, cv::BORDER_REFLECT);
    const cv::Rect inner = view.inner - padded.tl();
    const double fine_energy = cv::norm(grey(inner), blur1(inner), cv::NORM_L2SQR);
    const double next_energy = cv::norm(blur1(inner), blur2(inner), cv::NORM_L2SQR);
    if (next_energy <= 1e-6 * inner.area()) {
        return 0; // a flat face: nothing sharp in it
    }
    return fine_energy / next_energy;
}

} // namespace vrel::quality
