// What an applicant reads: every reason says what happened and what to do, in Chinese, with
// no English word beyond format names and units.
#include "correct/blockers.h"
#include "correct/correction.h"
#include "report/correction_text.h"
#include "report/messages.h"
#include "report/report.h"
#include "report/requirements.h"

#include "test_support.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <gtest/gtest.h>

#include <regex>
#include <set>

namespace vrel {
namespace {

// The first ASCII word in text that is neither a format's name nor a unit; empty where none.
std::string EnglishWord(const std::string& text) {
    static const std::set<std::string> allowed = {"JPG",  "JPEG", "PNG", "WebP", "BMP",
                                                  "TIFF", "GIF",  "PDF", "HEIC", "HEIF",
                                                  "KB",   "FF",   "D8"};
    static const std::regex word("[A-Za-z][A-Za-z0-9]*");
    for (std::sregex_iterator it(text.begin(), text.end(), word), end; it != end; ++it) {
        if (allowed.count(it->str()) == 0) {
            return it->str();
        }
    }
    return "";
}

test::Bytes Encoded(const cv::Mat& image, const char* ext) {
    std::vector<unsigned char> bytes;
    cv::imencode(ext, image, bytes, {cv::IMWRITE_JPEG_QUALITY, 95});
    return test::Bytes(bytes.begin(), bytes.end());
}

// A 480 x 640 photo of grey noise around level, tinted by bgr: no face, but a backdrop that
// the backdrop test judges first.
test::Bytes Wall(int level, const cv::Scalar& tint) {
    cv::Mat noise(640, 480, CV_8UC1);
    cv::randu(noise, cv::Scalar(0), cv::Scalar(60));
    cv::Mat grey;
    noise.convertTo(grey, CV_8UC1, 1.0, level - 30);
    cv::Mat photo;
    cv::cvtColor(grey, photo, cv::COLOR_GRAY2BGR);
    photo += tint;
    return Encoded(photo, ".jpg");
}

TEST(Reasons, SayWhatHappenedAndWhatToDoInChinese) {
    const CheckSettings settings = *ReadCheckSettingsFile(test::AppDataDir() + "setting.vr");
    PhotoReviewer reviewer(settings, test::AppDataDir());
    const cv::Mat small(40, 30, CV_8UC3, cv::Scalar(200, 180, 160));
    test::Bytes heic = {0, 0, 0, 0x18, 'f', 't', 'y', 'p', 'h', 'e', 'i', 'c'};
    heic.resize(4000, 0);
    const test::Bytes gif = {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0, 0, 0};
    auto sample = [](const char* name) { return test::ReadBytes(test::SamplePath(name)); };
    test::Bytes cut = sample("passed-grey-600x800.jpg");
    cut.resize(cut.size() * 6 / 10);
    const struct {
        const char* what;
        test::Bytes bytes;
        const char* says;
        bool offered; // the correction is offered: something it can read
    } cases[] = {
        {"empty", {}, "文件是空的", false},
        {"heic", heic, "HEIC/HEIF 格式", false},
        {"png", Encoded(small, ".png"), "PNG 格式", true},
        {"webp", Encoded(small, ".webp"), "WebP 格式", true},
        {"bmp", Encoded(small, ".bmp"), "BMP 格式", true},
        {"tiff", Encoded(small, ".tiff"), "TIFF 格式", true},
        {"gif", gif, "GIF 格式", false},
        {"cut short", cut, "损坏", false},
        {"dark neutral wall", Wall(100, cv::Scalar(0, 0, 0)),
         "背景太暗（照片太暗，或背景是深灰色）", true},
        {"red wall", Wall(170, cv::Scalar(0, 0, 80)), "背景颜色不符合要求", true},
        {"small file", sample("file-size-out-of-range.jpg"), "照片文件太", true},
        {"few pixels", sample("pixel-size-out-of-range.jpg"), "照片像素太", true},
        {"two faces", sample("face-count-wrong.jpg"), "只能有申请人一人", true},
        {"placement", sample("placement-wrong.jpg"), "镜头", true},
        {"off centre", sample("not-centred.jpg"), "头部没有左右居中", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const ReviewResult result = reviewer.ReviewBytes(c.bytes.data(), c.bytes.size());
        ASSERT_FALSE(IsPass(result.verdict));
        const PhotoRecord record = MakeRecord(c.what, result, settings);
        EXPECT_NE(record.reason.find(c.says), std::string::npos) << record.reason;
        EXPECT_EQ(EnglishWord(record.reason), "") << record.reason;
        EXPECT_EQ(MayCorrect(result), c.offered);
    }
}

// The other sentences users read: requirements, settings warnings, correction refusals.
TEST(Reasons, OtherUserTextsHoldNoEnglish) {
    std::vector<std::string> texts;
    CheckSettings settings = *ReadCheckSettingsFile(test::AppDataDir() + "setting.vr");
    for (int bgc : {0, 1}) {
        settings.bgc = bgc;
        for (const std::string& s : RequirementSentences(RequirementsOf(settings))) {
            texts.push_back(s);
        }
    }
    using Kind = SettingsWarning::Kind;
    for (const SettingsWarning& w :
         {SettingsWarning{Kind::UnknownKey, "s_mn", "0.15", "", "s_min"},
          SettingsWarning{Kind::NotANumber, "pic_out_max_size", "39KB", "39", ""},
          SettingsWarning{Kind::DecimalComma, "ratio_y_max", "0,45", "0", "0.45"},
          SettingsWarning{Kind::NotASwitch, "bgc", "2", "0", ""},
          SettingsWarning{Kind::NotAShare, "s_min", "15", "15", ""},
          SettingsWarning{Kind::Missing, "s_min", "", "0", ""}}) {
        // The keys and values are the file's own words, quoted as written.
        std::string text = SettingsWarningText(w);
        for (const std::string& own : {w.key + "=" + w.value, w.key, w.suggestion}) {
            for (size_t at; !own.empty() && (at = text.find(own)) != std::string::npos;) {
                text.erase(at, own.size());
            }
        }
        texts.push_back(text);
    }
    for (bool too_large : {true, false}) {
        Correction refused;
        refused.status = CorrectionStatus::Refused;
        CorrectionBlocker writer(CorrectionRule::Writer, {}, "larger than pic_out_max_size");
        writer.saved_too_large = too_large;
        refused.blockers.push_back(writer);
        for (CorrectionRule rule : {CorrectionRule::Unreadable, CorrectionRule::Review}) {
            refused.blockers.push_back(CorrectionBlocker(rule, {}, "cannot open 'x.jpg'"));
        }
        refused.blockers.push_back(
            CorrectionBlocker(CorrectionRule::Background, {}, "the backdrop model is missing"));
        texts.push_back(CorrectionReason(refused, settings));
    }
    for (const std::string& text : texts) {
        EXPECT_EQ(EnglishWord(text), "") << text;
    }
}

} // namespace
} // namespace vrel
