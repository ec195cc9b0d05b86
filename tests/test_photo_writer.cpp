#include "output/photo_writer.h"
#include "report/messages.h"

#include "check/check_run.h"
#include "test_support.h"

#include <opencv2/imgproc.hpp>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <unistd.h>

namespace vrel {
namespace {

using test::Bytes;

// An encoder that answers each quality with a JPEG-looking file of a chosen length.
JpegEncoder FakeEncoder(std::map<int, size_t> sizes, std::vector<int>* asked) {
    return [sizes, asked](int quality, std::vector<unsigned char>& out) {
        asked->push_back(quality);
        out.assign(sizes.at(quality), 0);
        return true;
    };
}

struct LadderCase {
    const char* what;
    int32_t min_kb, max_kb;
    std::map<int, size_t> sizes;
    std::vector<int> qualities; // the qualities the ladder encodes at, in order
    SaveStatus status;
};

class Ladder : public ::testing::TestWithParam<LadderCase> {};

TEST_P(Ladder, Branches) {
    const LadderCase& c = GetParam();
    CheckSettings s;
    s.pic_out_min_size = c.min_kb;
    s.pic_out_max_size = c.max_kb;
    std::vector<int> asked;
    const LadderResult r = RunQualityLadder(FakeEncoder(c.sizes, &asked), s);
    EXPECT_EQ(asked, c.qualities) << c.what;
    EXPECT_EQ(r.status, c.status) << c.what;
    EXPECT_EQ(r.quality, c.qualities.back()) << c.what;
}

const std::map<int, size_t> kSizes = {{85, 30000}, {75, 20000}, {60, 10000}, {95, 50000}};

INSTANTIATE_TEST_SUITE_P(
    Table, Ladder,
    ::testing::Values(
        LadderCase{"within limits at 85", 20, 39, kSizes, {85}, SaveStatus::Saved},
        LadderCase{"too big at 85, fine at 75", 20, 25, kSizes, {85, 75}, SaveStatus::Saved},
        LadderCase{
            "fine at 75 though below the minimum", 25, 25, kSizes, {85, 75}, SaveStatus::Saved},
        LadderCase{"too big at 75, fine at 60", 20, 15, kSizes, {85, 75, 60}, SaveStatus::Saved},
        LadderCase{"too big at 60", 0, 5, kSizes, {85, 75, 60}, SaveStatus::TooLarge},
        LadderCase{"too small at 85: once more at 95, whatever its size",
                   35,
                   39,
                   kSizes,
                   {85, 95},
                   SaveStatus::Saved},
        LadderCase{
            "exactly the maximum is not too big", 0, 2, {{85, 2048}}, {85}, SaveStatus::Saved},
        LadderCase{"one byte over the maximum is",
                   0,
                   2,
                   {{85, 2049}, {75, 2048}},
                   {85, 75},
                   SaveStatus::Saved},
        LadderCase{
            "exactly the minimum is not too small", 2, 39, {{85, 2048}}, {85}, SaveStatus::Saved},
        LadderCase{"one byte under the minimum is",
                   2,
                   39,
                   {{85, 2047}, {95, 1}},
                   {85, 95},
                   SaveStatus::Saved},
        LadderCase{"a huge maximum does not wrap", 0, 3000000, kSizes, {85}, SaveStatus::Saved}));

TEST(LadderFailures, EncoderFailureIsReported) {
    CheckSettings s;
    const LadderResult r =
        RunQualityLadder([](int, std::vector<unsigned char>&) { return false; }, s);
    EXPECT_EQ(r.status, SaveStatus::WriteFailed);
    EXPECT_EQ(r.error.Code(), ErrorCode::Unwritable);
    EXPECT_EQ(EncodeWithinLimits(cv::Mat(), s).status, SaveStatus::WriteFailed);
}

cv::Mat Noise(int width, int height) {
    cv::Mat image(height, width, CV_8UC3);
    cv::RNG rng(12345);
    rng.fill(image, cv::RNG::UNIFORM, 0, 256);
    cv::GaussianBlur(image, image, cv::Size(3, 3), 0);
    return image;
}

int32_t CeilKb(size_t bytes) {
    return static_cast<int32_t>((bytes + 1023) / 1024);
}

TEST(LadderOnRealEncodings, EveryBranchIsTaken) {
    const cv::Mat image = Noise(480, 640);
    std::map<int, size_t> size;
    for (int q : {60, 75, 85, 95}) {
        size[q] = test::EncodeJpeg(image, q).size();
    }
    ASSERT_GT(size[85], size[75] + 2048);
    ASSERT_GT(size[75], size[60] + 2048);
    CheckSettings s;
    s.pic_out_min_size = 0;
    s.pic_out_max_size = CeilKb(size[75]);
    EXPECT_EQ(EncodeWithinLimits(image, s).quality, 75);
    s.pic_out_max_size = CeilKb(size[60]);
    EXPECT_EQ(EncodeWithinLimits(image, s).quality, 60);
    s.pic_out_max_size = CeilKb(size[60]) - 2;
    EXPECT_EQ(EncodeWithinLimits(image, s).status, SaveStatus::TooLarge);
    s.pic_out_max_size = CeilKb(size[95]);
    s.pic_out_min_size = CeilKb(size[85]) + 1;
    const LadderResult r = EncodeWithinLimits(image, s);
    EXPECT_EQ(r.quality, 95);
    EXPECT_EQ(r.jpeg.size(), size[95]);
}

TEST(SavedFile, LayoutByteByByte) {
    const cv::Mat image = Noise(480, 640);
    test::TempDir dir;
    const std::string path = dir.File("out.jpg");
    CheckSettings s;
    s.pic_out_min_size = 0;
    s.pic_out_max_size = 100000;
    const SaveOutcome out = SavePassedPhotoFile(image, path, s);
    ASSERT_EQ(out.status, SaveStatus::Saved) << out.error.Detail();
    EXPECT_EQ(out.quality, 85);
    EXPECT_TRUE(SaveMessage(out).empty());
    const Bytes encoded = test::EncodeJpeg(image, 85);
    const Bytes saved = test::ReadBytes(path);
    ASSERT_EQ(saved.size(), encoded.size() + 16);
    EXPECT_EQ(out.size, saved.size());
    EXPECT_TRUE(std::equal(encoded.begin(), encoded.begin() + 13, saved.begin()));
    EXPECT_EQ(Bytes(saved.begin() + 13, saved.begin() + 18), (Bytes{1, 1, 0x2C, 1, 0x2C}));
    EXPECT_TRUE(std::equal(encoded.begin() + 18, encoded.end(), saved.begin() + 18));
    EXPECT_TRUE(std::equal(std::begin(kPassMarker), std::end(kPassMarker), saved.end() - 16));
    // A saved encoding larger than 200 KB is kept whole, with its marker.
    s.pic_out_min_size = 100000;
    const cv::Mat big = Noise(1200, 1600);
    const SaveOutcome big_out = SavePassedPhotoFile(big, dir.File("big.jpg"), s);
    ASSERT_EQ(big_out.status, SaveStatus::Saved);
    EXPECT_EQ(big_out.quality, 95);
    EXPECT_EQ(test::ReadBytes(dir.File("big.jpg")).size(), test::EncodeJpeg(big, 95).size() + 16);
    EXPECT_GT(big_out.size, 204800u);
}

TEST(SavedFile, AnyExtensionGetsAJpeg) {
    test::TempDir dir;
    const std::string path = dir.File("photo.png");
    CheckSettings s;
    ASSERT_EQ(SavePassedPhotoFile(Noise(48, 64), path, s).status, SaveStatus::Saved);
    const Bytes saved = test::ReadBytes(path);
    EXPECT_EQ(Bytes(saved.begin(), saved.begin() + 3), (Bytes{0xFF, 0xD8, 0xFF}));
}

TEST(SavedFile, NonJfifEncodingIsNotPatched) {
    EXPECT_FALSE(MarkEncodedPhoto(test::ReadBytes(test::SamplePath("not-jpeg.jpg"))).has_value());
    EXPECT_FALSE(MarkEncodedPhoto(Bytes{0xFF, 0xD8}).has_value());
}

bool NoTemporaryFiles(const std::string& dir) {
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().filename().string().find(".part-") != std::string::npos) {
            return false;
        }
    }
    return true;
}

TEST(SavedFile, FailuresKeepTheOldFileAndLeaveNothingBehind) {
    test::TempDir dir;
    const std::string path = dir.File("old.jpg");
    const Bytes old = {'o', 'l', 'd'};
    test::WriteBytes(path, old);
    CheckSettings tiny;
    tiny.pic_out_max_size = 0;
    const SaveOutcome too_big = SavePassedPhotoFile(Noise(480, 640), path, tiny);
    EXPECT_EQ(too_big.status, SaveStatus::TooLarge);
    EXPECT_EQ(SaveMessage(too_big), "原始文件太大，请重新选取!");
    EXPECT_EQ(too_big.quality, 60);
    EXPECT_EQ(test::ReadBytes(path), old);

    // The destination is a folder: the rename fails after the bytes were written aside.
    std::filesystem::create_directory(dir.File("folder.jpg"));
    const SaveOutcome failed = SavePassedPhotoFile(Noise(48, 64), dir.File("folder.jpg"), {});
    EXPECT_EQ(failed.status, SaveStatus::WriteFailed);
    EXPECT_EQ(SaveMessage(failed), "读取文件大小错误!写文件失败!");
    EXPECT_TRUE(std::filesystem::is_directory(dir.File("folder.jpg")));
    EXPECT_TRUE(NoTemporaryFiles(dir.Path()));
}

TEST(SavedFile, UnwritableFolderIsReported) {
    test::TempDir dir;
    std::vector<std::string> targets = {dir.File("missing/photo.jpg"), "/proc/vrel-photo.jpg"};
    if (geteuid() != 0) { // permissions do not stop the superuser
        std::filesystem::create_directory(dir.File("locked"));
        std::filesystem::permissions(dir.File("locked"), std::filesystem::perms::owner_read |
                                                             std::filesystem::perms::owner_exec);
        targets.push_back(dir.File("locked/photo.jpg"));
    }
    for (const std::string& target : targets) {
        const SaveOutcome out = SavePassedPhotoFile(Noise(48, 64), target, {});
        EXPECT_EQ(out.status, SaveStatus::WriteFailed) << target;
        EXPECT_EQ(out.error.Code(), ErrorCode::Unwritable);
        EXPECT_FALSE(std::filesystem::exists(target));
    }
}

std::string RunCommand(const std::string& command) {
    std::string output;
    if (std::FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[256];
        while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
            output += buffer;
        }
        pclose(pipe);
    }
    return output;
}

TEST(SavedFile, RoundTripPassesAtOnceAndReads300Dpi) {
    PhotoReviewer reviewer(test::ShippedSettings(), test::AppDataDir());
    const ReviewResult first = reviewer.Review(test::SamplePath("passed-grey-600x800.jpg"));
    ASSERT_EQ(first.verdict, CheckVerdict::Passed);
    test::TempDir dir;
    const std::string path = dir.File("报名照片.jpg");
    const SaveOutcome out = SavePassedPhotoFile(first.result_image, path, reviewer.Settings());
    ASSERT_EQ(out.status, SaveStatus::Saved) << out.error.Detail();
    EXPECT_LE(out.size, 39u * 1024 + 16);
    const ReviewResult again = reviewer.Review(path);
    EXPECT_EQ(again.verdict, CheckVerdict::PassedByMarker);
    EXPECT_EQ(again.result_image.size(), cv::Size(480, 640));

    // An independent reader of the JFIF header.
    if (RunCommand("command -v exiftool").empty()) {
        GTEST_SKIP() << "exiftool is not installed";
    }
    EXPECT_EQ(RunCommand("exiftool -s3 -XResolution -YResolution -ResolutionUnit '" + path + "'"),
              "300\n300\ninches\n");
}

} // namespace
} // namespace vrel
