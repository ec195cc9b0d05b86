#include "correct/backdrop/guided_filter.h"

#include <opencv2/imgproc.hpp>

namespace vrel {
namespace {

cv::Mat Mean(const cv::Mat& m, int radius) {
    cv::Mat out;
    cv::boxFilter(m, out, CV_32F, cv::Size(2 * radius + 1, 2 * radius + 1), cv::Point(-1, -1), true,
                  cv::BORDER_REFLECT);
    return out;
}

} // namespace

cv::Mat GuidedFilterCoefficients(const cv::Mat& guide, const cv::Mat& input, int radius,
                                 double eps) {
    CV_Assert(guide.type() == CV_8UC3 && guide.size() == input.size());
    CV_Assert(input.type() == CV_32F || input.type() == CV_8U);
    CV_Assert(radius >= 1);
    const int rows = guide.rows, cols = guide.cols;

    cv::Mat colour;
    guide.convertTo(colour, CV_32FC3, 1.0 / 255.0);
    cv::Mat p;
    input.convertTo(p, CV_32F, input.type() == CV_8U ? 1.0 / 255.0 : 1.0);

    // The products whose window means the fit needs: c·p (3) and the six of c·cᵀ.
    cv::Mat cp(rows, cols, CV_32FC3), cc1(rows, cols, CV_32FC3), cc2(rows, cols, CV_32FC3);
    for (int y = 0; y < rows; ++y) {
        const cv::Vec3f* c = colour.ptr<cv::Vec3f>(y);
        const float* pv = p.ptr<float>(y);
        cv::Vec3f* o_cp = cp.ptr<cv::Vec3f>(y);
        cv::Vec3f* o_1 = cc1.ptr<cv::Vec3f>(y);
        cv::Vec3f* o_2 = cc2.ptr<cv::Vec3f>(y);
        for (int x = 0; x < cols; ++x) {
            const cv::Vec3f& v = c[x];
            o_cp[x] = v * pv[x];
            o_1[x] = cv::Vec3f(v[0] * v[0], v[0] * v[1], v[0] * v[2]);
            o_2[x] = cv::Vec3f(v[1] * v[1], v[1] * v[2], v[2] * v[2]);
        }
    }
    const cv::Mat mean_c = Mean(colour, radius), mean_p = Mean(p, radius);
    const cv::Mat mean_cp = Mean(cp, radius), mean_cc1 = Mean(cc1, radius),
                  mean_cc2 = Mean(cc2, radius);

    cv::Mat coefficients(rows, cols, CV_32FC4);
    const float e = static_cast<float>(eps);
    for (int y = 0; y < rows; ++y) {
        const cv::Vec3f* mc = mean_c.ptr<cv::Vec3f>(y);
        const float* mp = mean_p.ptr<float>(y);
        const cv::Vec3f* mcp = mean_cp.ptr<cv::Vec3f>(y);
        const cv::Vec3f* m1 = mean_cc1.ptr<cv::Vec3f>(y);
        const cv::Vec3f* m2 = mean_cc2.ptr<cv::Vec3f>(y);
        cv::Vec4f* out = coefficients.ptr<cv::Vec4f>(y);
        for (int x = 0; x < cols; ++x) {
            const cv::Vec3f& u = mc[x];
            // Covariance of the colours in the window (symmetric), with the ridge on its
            // diagonal, and their covariance with the input.
            const float s00 = m1[x][0] - u[0] * u[0] + e, s01 = m1[x][1] - u[0] * u[1],
                        s02 = m1[x][2] - u[0] * u[2], s11 = m2[x][0] - u[1] * u[1] + e,
                        s12 = m2[x][1] - u[1] * u[2], s22 = m2[x][2] - u[2] * u[2] + e;
            const float q0 = mcp[x][0] - u[0] * mp[x], q1 = mcp[x][1] - u[1] * mp[x],
                        q2 = mcp[x][2] - u[2] * mp[x];
            // The inverse by cofactors; the ridge keeps the determinant above eps³.
            const float i00 = s11 * s22 - s12 * s12, i01 = s02 * s12 - s01 * s22,
                        i02 = s01 * s12 - s02 * s11, i11 = s00 * s22 - s02 * s02,
                        i12 = s01 * s02 - s00 * s12, i22 = s00 * s11 - s01 * s01;
            const float inv_det = 1.0f / (s00 * i00 + s01 * i01 + s02 * i02);
            const float a0 = (i00 * q0 + i01 * q1 + i02 * q2) * inv_det;
            const float a1 = (i01 * q0 + i11 * q1 + i12 * q2) * inv_det;
            const float a2 = (i02 * q0 + i12 * q1 + i22 * q2) * inv_det;
            out[x] = cv::Vec4f(a0, a1, a2, mp[x] - a0 * u[0] - a1 * u[1] - a2 * u[2]);
        }
    }
    return Mean(coefficients, radius);
}

cv::Mat ApplyGuidedCoefficients(const cv::Mat& coefficients, const cv::Mat& guide) {
    CV_Assert(coefficients.type() == CV_32FC4 && guide.type() == CV_8UC3 &&
              coefficients.size() == guide.size());
    cv::Mat out(guide.size(), CV_32F);
    constexpr float k = 1.0f / 255.0f;
    for (int y = 0; y < guide.rows; ++y) {
        const cv::Vec4f* c = coefficients.ptr<cv::Vec4f>(y);
        const cv::Vec3b* g = guide.ptr<cv::Vec3b>(y);
        float* o = out.ptr<float>(y);
        for (int x = 0; x < guide.cols; ++x) {
            o[x] = (c[x][0] * g[x][0] + c[x][1] * g[x][1] + c[x][2] * g[x][2]) * k + c[x][3];
        }
    }
    return out;
}

} // namespace vrel
