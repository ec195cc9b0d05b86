// Plain borders: found on screenshots' bars and scans' margins made from real photos, never on
// the real photos themselves (plain walls above the head, dark clothes at the bottom, bright
// or turned copies); the review names them and the correction cuts them off first.
#include "check/borders.h"
#include "correct/correction.h"
#include "report/report.h"

#include "test_support.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>

namespace vrel {
namespace {

// The real photos: the samples and the correction's photos, by file name.
std::vector<std::string> RealPhotos() {
    std::vector<std::string> paths;
    for (const char* dir : {VREL_SOURCE_DIR "/samples", VREL_SOURCE_DIR "/tests/data/correction"}) {
        for (const auto& entry : std::filesystem::directory_iterator(dir)) {
            const std::string ext = entry.path().extension().string();
            if (ext == ".jpg" || ext == ".png" || ext == ".webp") {
                paths.push_back(entry.path().string());
            }
        }
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

// The photo inside bands of colour: depth as shares of its height (top, bottom) and width.
cv::Mat Framed(const cv::Mat& photo, double top, double bottom, double sides,
               const cv::Scalar& colour) {
    cv::Mat framed;
    cv::copyMakeBorder(photo, framed, int(photo.rows * top), int(photo.rows * bottom),
                       int(photo.cols * sides), int(photo.cols * sides), cv::BORDER_CONSTANT,
                       colour);
    return framed;
}

cv::Mat Reencoded(const cv::Mat& image) {
    std::vector<unsigned char> bytes;
    cv::imencode(".jpg", image, bytes, {cv::IMWRITE_JPEG_QUALITY, 85});
    return cv::imdecode(bytes, cv::IMREAD_COLOR);
}

TEST(Borders, FoundOnBarsAndMarginsNeverOnThePhotos) {
    const bool table = std::getenv("VREL_BORDERS_TABLE") != nullptr;
    const struct {
        const char* what;
        bool found;
        cv::Mat (*make)(const cv::Mat&);
    } derived[] = {
        {"as it is", false, [](const cv::Mat& p) { return p.clone(); }},
        {"brighter", false,
         [](const cv::Mat& p) {
             cv::Mat b;
             p.convertTo(b, -1, 1.3, 40);
             return b;
         }},
        {"darker", false,
         [](const cv::Mat& p) {
             cv::Mat d;
             p.convertTo(d, -1, 0.4, 0);
             return d;
         }},
        {"black bars above and below", true,
         [](const cv::Mat& p) { return Framed(p, 0.15, 0.15, 0, cv::Scalar(0, 0, 0)); }},
        {"black bars beside", true,
         [](const cv::Mat& p) { return Framed(p, 0, 0, 0.2, cv::Scalar(0, 0, 0)); }},
        {"white scan margins", true,
         [](const cv::Mat& p) { return Framed(p, 0.06, 0.1, 0.08, cv::Scalar(250, 250, 250)); }},
        {"grey bars above and below", true,
         [](const cv::Mat& p) { return Framed(p, 0.1, 0.1, 0, cv::Scalar(40, 40, 40)); }},
    };
    int found_wrongly = 0, missed = 0, photos = 0;
    for (const std::string& path : RealPhotos()) {
        const cv::Mat photo = cv::imread(path, cv::IMREAD_COLOR);
        if (photo.empty()) {
            continue; // the samples that are no photo
        }
        ++photos;
        std::string row = std::filesystem::path(path).filename().string();
        for (const auto& d : derived) {
            const cv::Mat image = Reencoded(d.make(photo));
            cv::Mat normalised;
            cv::resize(image, normalised, cv::Size(480, 640), 0, 0, cv::INTER_AREA);
            const bool found = FindPlainBorders(normalised).has_value();
            row += std::string(" | ") + (found ? "found" : "-");
            if (found != d.found) {
                (found ? found_wrongly : missed) += 1;
                ADD_FAILURE() << path << ", " << d.what << ": borders "
                              << (found ? "found" : "missed");
            }
        }
        if (table) {
            std::cout << row << "\n";
        }
    }
    EXPECT_GT(photos, 20);
    if (table) {
        std::cout << photos << " photos; found wrongly " << found_wrongly << ", missed " << missed
                  << "\n";
    }
}

// A screenshot with black bars above and below: the reason says so, and the correction cuts
// the bars off before anything else and mends the rest.
TEST(Borders, TheReasonNamesThemAndTheCorrectionCutsThemFirst) {
    const CheckSettings settings = test::ShippedSettings();
    PhotoReviewer reviewer(settings, test::AppDataDir());
    PhotoCorrector corrector(settings, test::AppDataDir());
    const cv::Mat photo = cv::imread(test::SamplePath("passed-grey-600x800.jpg"));
    const struct {
        const char* what;
        cv::Mat image;
    } cases[] = {
        {"letterboxed", Framed(photo, 0.15, 0.15, 0, cv::Scalar(0, 0, 0))},
        {"scanned", Framed(photo, 0.08, 0.12, 0.1, cv::Scalar(250, 250, 250))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<unsigned char> bytes;
        cv::imencode(".jpg", c.image, bytes, {cv::IMWRITE_JPEG_QUALITY, 92});
        const ReviewResult review = reviewer.ReviewBytes(bytes.data(), bytes.size());
        ASSERT_FALSE(IsPass(review.verdict));
        const PhotoRecord record = MakeRecord(c.what, review, settings);
        EXPECT_NE(record.reason.find("纯色边框"), std::string::npos) << record.reason;
        EXPECT_TRUE(record.why.contains("borders")) << record.why.dump();
        const Correction corrected = corrector.Correct(bytes.data(), bytes.size(), review);
        ASSERT_EQ(corrected.status, CorrectionStatus::Corrected)
            << CorrectionRuleName(corrected.rule);
        ASSERT_FALSE(corrected.steps.empty());
        EXPECT_EQ(corrected.steps.front(), CorrectionStep::Trim);
        // The crop lies inside the bars.
        const int bar = static_cast<int>(photo.rows * (c.what[0] == 'l' ? 0.15 : 0.08));
        EXPECT_GE(corrected.crop.y, bar) << corrected.crop;
    }
}

} // namespace
} // namespace vrel
