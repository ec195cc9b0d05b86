#include "correct/backdrop_colour.h"

#include "check/background.h"
#include "check/hsi.h"

#include <opencv2/imgproc.hpp>

#include <cctype>
#include <cstdio>

namespace vrel {

BackdropColour WhiteBackdrop() {
    return {"white", cv::Vec3b(255, 255, 255)};
}

BackdropColour BlueBackdrop() {
    // #438EDB: hue 210 degrees, saturation 0.69, value 0.86.
    return {"blue", cv::Vec3b(0xDB, 0x8E, 0x43)};
}

std::optional<BackdropColour> ParseBackdropColour(const std::string& text) {
    std::string lower;
    for (const char c : text) {
        lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    if (lower == "white") {
        return WhiteBackdrop();
    }
    if (lower == "blue") {
        return BlueBackdrop();
    }
    if (lower.size() != 7 || lower[0] != '#') {
        return std::nullopt;
    }
    int rgb[3];
    for (int i = 0; i < 3; ++i) {
        int value = 0;
        for (const char c : lower.substr(1 + 2 * i, 2)) {
            if (!std::isxdigit(static_cast<unsigned char>(c))) {
                return std::nullopt;
            }
            value =
                value * 16 + (std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : c - 'a' + 10);
        }
        rgb[i] = value;
    }
    return BackdropColour{lower, cv::Vec3b(static_cast<uchar>(rgb[2]), static_cast<uchar>(rgb[1]),
                                           static_cast<uchar>(rgb[0]))};
}

bool BackdropColourAccepted(const BackdropColour& colour, const CheckSettings& settings) {
    const cv::Mat pixel(1, 1, CV_8UC3, cv::Scalar(colour.bgr[0], colour.bgr[1], colour.bgr[2]));
    cv::Mat hsi(1, 1, CV_8UC3), hsv;
    ConvertToHsi(pixel, hsi);
    cv::cvtColor(pixel, hsv, cv::COLOR_RGB2HSV); // as the review converts
    const cv::Vec3b h = hsi.at<cv::Vec3b>(0, 0), v = hsv.at<cv::Vec3b>(0, 0);
    return BackgroundPixelPasses(h[0], v[1], v[2], settings);
}

std::vector<BackdropColour> AcceptedBackdrops(const CheckSettings& settings) {
    std::vector<BackdropColour> colours;
    for (const BackdropColour& c : {WhiteBackdrop(), BlueBackdrop()}) {
        if (BackdropColourAccepted(c, settings) && (c.name != "blue" || settings.bgc == 1)) {
            colours.push_back(c);
        }
    }
    return colours;
}

Result<BackdropColour> ChooseBackdrop(const std::string& text, const CheckSettings& settings) {
    std::optional<BackdropColour> colour = ParseBackdropColour(text);
    if (!colour) {
        return Error(ErrorCode::Invalid,
                     "unknown backdrop colour '" + text + "': use white, blue or #RRGGBB");
    }
    if (colour->name == "blue" && settings.bgc != 1) {
        return Error(ErrorCode::Unsupported,
                     "a blue backdrop is not accepted by these settings (bgc is not 1)");
    }
    if (!BackdropColourAccepted(*colour, settings)) {
        return Error(ErrorCode::Unsupported,
                     "the backdrop colour " + colour->name + " would not pass the backdrop test");
    }
    return *colour;
}

} // namespace vrel
