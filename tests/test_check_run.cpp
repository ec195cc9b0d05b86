#include "check/check_run.h"
#include "check/jpeg_header.h"
#include "report/messages.h"

#include "test_support.h"

#include <opencv2/imgcodecs.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>

namespace vrel {
namespace {

using test::Bytes;

Bytes Marker() {
    return Bytes(std::begin(kPassMarker), std::end(kPassMarker));
}

Bytes Concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes SmallJpeg(int width = 48, int height = 64) {
    return test::EncodeJpeg(cv::Mat(height, width, CV_8UC3, cv::Scalar(200, 180, 160)));
}

Bytes WithOrientation(const Bytes& jpeg, int orientation) {
    return test::InsertAfterJfif(jpeg, test::ExifOrientation(orientation));
}

std::optional<JpegHeader> HeaderOf(const std::string& path) {
    FileSource file;
    return file.Open(path) ? std::nullopt : ReadJpegHeader(file);
}

class CheckRun : public ::testing::Test {
protected:
    ReviewResult Review(const Bytes& bytes, const CheckSettings& settings = CheckSettings{}) {
        const std::string path = dir_.File("photo.jpg");
        test::WriteBytes(path, bytes);
        PhotoReviewer reviewer(settings, test::AppDataDir());
        return reviewer.Review(path);
    }
    test::TempDir dir_;
};

struct SignatureCase {
    const char* what;
    Bytes bytes;
    CheckVerdict verdict;
};

class Signature : public CheckRun, public ::testing::WithParamInterface<SignatureCase> {};

TEST_P(Signature, DecidesBeforeAnythingElse) {
    for (int cast : {0, 1}) {
        CheckSettings s;
        s.cast = cast;
        const ReviewResult r = Review(GetParam().bytes, s);
        EXPECT_EQ(r.verdict, GetParam().verdict) << GetParam().what << ", cast " << cast;
        EXPECT_TRUE(r.result_image.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, Signature,
    ::testing::Values(SignatureCase{"empty file", {}, CheckVerdict::NotJpeg},
                      SignatureCase{"one byte", {0xFF}, CheckVerdict::NotJpeg},
                      SignatureCase{"FF D9", {0xFF, 0xD9, 0xFF, 0xE0}, CheckVerdict::NotJpeg},
                      SignatureCase{"D8 FF", {0xD8, 0xFF, 0xFF, 0xE0}, CheckVerdict::NotJpeg},
                      SignatureCase{"PNG", {0x89, 'P', 'N', 'G', 13, 10}, CheckVerdict::NotJpeg},
                      SignatureCase{"marker without a signature", Concat({0x00, 0x00}, Marker()),
                                    CheckVerdict::NotJpeg}));

TEST_F(CheckRun, MarkedFilePassesAtOnceAtItsDecodedSize) {
    for (int cast : {0, 1, 2}) {
        CheckSettings s;
        s.cast = cast;
        const ReviewResult r = Review(Concat(SmallJpeg(40, 30), Marker()), s);
        EXPECT_EQ(r.verdict, CheckVerdict::PassedByMarker);
        EXPECT_TRUE(r.measures.marked);
        EXPECT_EQ(r.result_image.size(), cv::Size(40, 30));
        EXPECT_TRUE(IsPass(r.verdict));
        EXPECT_FALSE(TipPicture(r.verdict, s).has_value());
    }
}

TEST_F(CheckRun, EveryWrongMarkerByteMeansUnmarked) {
    for (size_t i = 0; i < 16; ++i) {
        Bytes marker = Marker();
        marker[i] ^= 0x01;
        const ReviewResult r = Review(Concat(SmallJpeg(), marker));
        EXPECT_EQ(r.verdict, CheckVerdict::PixelSizeOutOfRange) << "byte " << i;
        EXPECT_FALSE(r.measures.marked);
    }
}

TEST_F(CheckRun, UndecodableMarkedOrBypassedFileKeepsNothing) {
    const Bytes garbage = {0xFF, 0xD8, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    ReviewResult r = Review(Concat({0xFF, 0xD8}, Marker()));
    EXPECT_EQ(r.verdict, CheckVerdict::PixelSizeOutOfRange);
    EXPECT_TRUE(r.result_image.empty());
    EXPECT_EQ(r.error.Code(), ErrorCode::Invalid);
    CheckSettings cast;
    cast.cast = 1;
    r = Review(garbage, cast);
    EXPECT_EQ(r.verdict, CheckVerdict::PixelSizeOutOfRange);
    EXPECT_TRUE(r.result_image.empty());
}

TEST_F(CheckRun, CastOneNormalisesAnyJpegCastTwoChecks) {
    CheckSettings s;
    s.cast = 1;
    s.pic_max_size = 0; // would reject every file if it were checked
    ReviewResult r = Review(SmallJpeg(), s);
    EXPECT_EQ(r.verdict, CheckVerdict::PassedByBypass);
    EXPECT_EQ(r.result_image.size(), cv::Size(480, 640));
    s.cast = 2;
    r = Review(SmallJpeg(), s);
    EXPECT_EQ(r.verdict, CheckVerdict::FileSizeOutOfRange);
    EXPECT_TRUE(r.result_image.empty());
}

struct SizeCase {
    int32_t min_kb, max_kb;
    size_t bytes;
    CheckVerdict verdict; // PixelSizeOutOfRange: the size test passed
};

class FileSize : public CheckRun, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(FileSize, LimitsAreInclusive) {
    Bytes file = SmallJpeg();
    ASSERT_LE(file.size(), GetParam().bytes);
    file.resize(GetParam().bytes, 0); // trailing bytes after the image are ignored by decoders
    CheckSettings s;
    s.pic_min_size = GetParam().min_kb;
    s.pic_max_size = GetParam().max_kb;
    const ReviewResult r = Review(file, s);
    EXPECT_EQ(r.verdict, GetParam().verdict);
    EXPECT_EQ(r.measures.file_size, GetParam().bytes);
}

constexpr auto kSizeOk = CheckVerdict::PixelSizeOutOfRange;
constexpr auto kSizeBad = CheckVerdict::FileSizeOutOfRange;
INSTANTIATE_TEST_SUITE_P(
    Table, FileSize,
    ::testing::Values(SizeCase{2, -1, 2048, kSizeOk}, SizeCase{2, -1, 2047, kSizeBad},
                      SizeCase{0, 3, 3072, kSizeOk}, SizeCase{0, 3, 3073, kSizeBad},
                      SizeCase{0, -5, 100000, kSizeOk}, SizeCase{0, 0, 1200, kSizeBad},
                      // limits too large for 32 bits do not wrap
                      SizeCase{0, 3000000, 5000, kSizeOk}, SizeCase{2097152, -1, 5000, kSizeBad}));

struct PixelCase {
    int width, height;
    CheckVerdict verdict; // BackgroundRejected: the pixel test passed
};

class PixelSize : public CheckRun, public ::testing::WithParamInterface<PixelCase> {};

TEST_P(PixelSize, LimitsAndRatio) {
    const auto [width, height, verdict] = GetParam();
    const ReviewResult r = Review(SmallJpeg(width, height));
    EXPECT_EQ(r.verdict, verdict) << width << " x " << height;
    EXPECT_EQ(r.measures.width, width);
    EXPECT_EQ(r.measures.height, height);
    if (verdict == CheckVerdict::BackgroundRejected) {
        EXPECT_EQ(r.normalised.size(), cv::Size(480, 640));
    }
}

constexpr auto kPixelOk = CheckVerdict::BackgroundRejected;
constexpr auto kPixelBad = CheckVerdict::PixelSizeOutOfRange;
INSTANTIATE_TEST_SUITE_P(
    Table, PixelSize,
    ::testing::Values(PixelCase{480, 640, kPixelOk}, PixelCase{479, 640, kPixelBad},
                      PixelCase{480, 639, kPixelBad}, PixelCase{960, 1280, kPixelOk},
                      PixelCase{640, 640, kPixelBad},                                // ratio 1
                      PixelCase{480, 960, kPixelBad},                                // ratio 2
                      PixelCase{480, 959, kPixelOk}, PixelCase{800, 640, kPixelBad}, // landscape
                      PixelCase{4800, 6400, kPixelOk}, PixelCase{4801, 6400, kPixelBad}));

TEST_F(CheckRun, UndecodableContentIsPixelSizeOutOfRange) {
    Bytes file = {0xFF, 0xD8};
    file.resize(3000, 0x42);
    const ReviewResult r = Review(file);
    EXPECT_EQ(r.verdict, CheckVerdict::PixelSizeOutOfRange);
    EXPECT_EQ(r.error.Code(), ErrorCode::Invalid);
}

// A photo whose decoding would hold a worker for minutes, and a review stopped from outside,
// end as photos that could not be decoded, with the reason; the file is reviewed as a buffer
// the same way.
TEST_F(CheckRun, ScanBombsAndStoppedReviewsEndAsUndecodable) {
    const Bytes plain = test::ReadBytes(test::SamplePath("passed-grey-600x800.jpg"));
    const Bytes bomb = test::WithRepeatedScans(cv::imdecode(plain, cv::IMREAD_COLOR), 2000);
    std::atomic<bool> raised{true};
    WorkLimit cancelled;
    cancelled.cancelled = &raised;
    const struct {
        const char* what;
        const Bytes& photo;
        const WorkLimit* limit;
        ErrorCode code;
        const char* error;
    } cases[] = {
        {"scan bomb", bomb, nullptr, ErrorCode::Invalid, "progressive scans"},
        {"cancelled", plain, &cancelled, ErrorCode::Stopped, "cancelled"},
    };
    PhotoReviewer reviewer(test::ShippedSettings(), test::AppDataDir());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const ReviewResult r = reviewer.ReviewBytes(c.photo.data(), c.photo.size(), c.limit);
        EXPECT_EQ(r.verdict, CheckVerdict::PixelSizeOutOfRange);
        EXPECT_EQ(r.failed.rule, Rule::Undecodable);
        EXPECT_EQ(r.error.Code(), c.code);
        EXPECT_NE(r.error.Detail().find(c.error), std::string::npos) << r.error.Detail();
    }
    EXPECT_EQ(Review(bomb, test::ShippedSettings()).error,
              reviewer.ReviewBytes(bomb.data(), bomb.size()).error);
}

TEST_F(CheckRun, HugeDeclaredSizeIsRejectedFromTheHeader) {
    const ReviewResult r = Review(test::DeclaringSize(SmallJpeg(), 60000, 60000));
    EXPECT_EQ(r.verdict, CheckVerdict::PixelSizeOutOfRange);
    EXPECT_EQ(r.measures.width, 60000);
    EXPECT_EQ(r.measures.height, 60000);
}

TEST_F(CheckRun, MarkedOrBypassedFileDeclaringAHugeSizeIsNotDecoded) {
    const Bytes file = test::DeclaringSize(SmallJpeg(), 30000, 30000);
    CheckSettings cast;
    cast.cast = 1;
    for (const auto& [bytes, settings] :
         {std::pair{Concat(file, Marker()), CheckSettings{}}, std::pair{file, cast}}) {
        const ReviewResult r = Review(bytes, settings);
        EXPECT_EQ(r.verdict, CheckVerdict::PixelSizeOutOfRange);
        EXPECT_EQ(r.measures.width, 30000);
        EXPECT_TRUE(r.result_image.empty());
        EXPECT_EQ(r.error.Code(), ErrorCode::Unsupported);
    }
}

TEST_F(CheckRun, OrientationTurnsThePhotoUprightInHeaderAndDecoder) {
    // Stored landscape, tagged to be turned a quarter: a portrait to the operator.
    const Bytes file = WithOrientation(SmallJpeg(800, 600), 6);
    const std::string path = dir_.File("turned.jpg");
    test::WriteBytes(path, file);
    const auto header = HeaderOf(path);
    ASSERT_TRUE(header.has_value());
    EXPECT_EQ(header->orientation, 6);
    EXPECT_EQ(header->UprightWidth(), 600);
    EXPECT_EQ(header->UprightHeight(), 800);
    EXPECT_EQ(cv::imread(path).size(), cv::Size(600, 800));
    const ReviewResult r = Review(file);
    EXPECT_EQ(r.verdict, CheckVerdict::BackgroundRejected);
    EXPECT_EQ(r.measures.width, 600);
}

TEST_F(CheckRun, OnlyTheFirstApp1SegmentTurnsThePhoto) {
    // An XMP segment before the EXIF one: the decoder does not turn the photo, nor may the
    // header check.
    const Bytes xmp = {0xFF, 0xE1, 0x00, 0x0A, 'h', 't', 't', 'p', ':', '/', 0, 0};
    const Bytes file = test::InsertAfterJfif(WithOrientation(SmallJpeg(800, 600), 6), xmp);
    const std::string path = dir_.File("xmp.jpg");
    test::WriteBytes(path, file);
    const auto header = HeaderOf(path);
    ASSERT_TRUE(header.has_value());
    EXPECT_EQ(header->orientation, 1);
    EXPECT_EQ(cv::imread(path).size(), cv::Size(800, 600));
}

TEST_F(CheckRun, UnreadablePathsAreNotJpegWithAReason) {
    PhotoReviewer reviewer(CheckSettings{}, test::AppDataDir());
    for (const auto& [path, code] : {std::pair{dir_.File("vanished.jpg"), ErrorCode::NotFound},
                                     std::pair{dir_.Path(), ErrorCode::Unreadable}}) {
        const ReviewResult r = reviewer.Review(path);
        EXPECT_EQ(r.verdict, CheckVerdict::NotJpeg) << path;
        EXPECT_EQ(r.error.Code(), code) << path;
        EXPECT_FALSE(r.error.Detail().empty()) << path;
    }
}

// A file cut short between its opening and its reading is unreadable, not a shorter photo.
TEST_F(CheckRun, AFileCutShortWhileReadIsUnreadable) {
    const std::string path = dir_.File("cut.jpg");
    test::WriteBytes(path, SmallJpeg(480, 640));
    FileSource file;
    ASSERT_FALSE(file.Open(path));
    std::filesystem::resize_file(path, 100);
    std::vector<unsigned char> bytes;
    const Error error = file.ReadAll(bytes);
    EXPECT_EQ(error.Code(), ErrorCode::Unreadable);
    EXPECT_NE(error.Detail().find("shorter"), std::string::npos) << error.Detail();
}

TEST_F(CheckRun, NonPositiveNormalisedSizeIsRejectedWithoutCrash) {
    for (auto [w, h] : {std::pair{0, 640}, std::pair{480, -1}}) {
        CheckSettings s;
        s.dst_width = w;
        s.dst_height = h;
        ReviewResult r = Review(SmallJpeg(480, 640), s);
        EXPECT_EQ(r.verdict, CheckVerdict::PixelSizeOutOfRange);
        EXPECT_EQ(r.error.Code(), ErrorCode::Invalid);
        s.cast = 1;
        r = Review(SmallJpeg(480, 640), s);
        EXPECT_EQ(r.verdict, CheckVerdict::PixelSizeOutOfRange);
        EXPECT_TRUE(r.result_image.empty());
    }
}

TEST(CheckVerdicts, InfoTextAndTipPicture) {
    struct Row {
        CheckVerdict verdict;
        const char* tip;
    };
    const Row rows[] = {
        {CheckVerdict::NotJpeg, "tips/state1.jpg"},
        {CheckVerdict::FileSizeOutOfRange, "tips/state3.jpg"},
        {CheckVerdict::PixelSizeOutOfRange, "tips/state4.jpg"},
        {CheckVerdict::BackgroundRejected, "tips/state6.jpg"},
        {CheckVerdict::FaceCountWrong, "tips/state7.jpg"},
        {CheckVerdict::PlacementWrong, "tips/state8.jpg"},
        {CheckVerdict::NotCentred, "tips/state9.jpg"},
        {CheckVerdict::PassedByMarker, nullptr},
        {CheckVerdict::PassedByBypass, nullptr},
        {CheckVerdict::Passed, nullptr},
    };
    PhotoReviewer reviewer(CheckSettings{}, test::AppDataDir());
    CheckSettings blue;
    blue.bgc = 1;
    EXPECT_EQ(TipPicture(CheckVerdict::BackgroundRejected, blue), "tips/state6-blue.jpg");
    EXPECT_FALSE(PhotoReviewer(blue, test::AppDataDir())
                     .LoadTipPicture(CheckVerdict::BackgroundRejected)
                     .empty());
    for (const Row& row : rows) {
        const auto tip = TipPicture(row.verdict, CheckSettings{});
        if (row.tip == nullptr) {
            EXPECT_FALSE(tip.has_value());
            EXPECT_EQ(InfoText(row.verdict), "审核通过，保存后退出");
        } else {
            EXPECT_EQ(tip, row.tip);
            EXPECT_EQ(InfoText(row.verdict), "审核不通过");
            EXPECT_FALSE(reviewer.LoadTipPicture(row.verdict).empty()) << row.tip;
        }
    }
}

TEST(CheckRunCascade, MissingCascadeEndsFaceCountWrong) {
    test::TempDir empty;
    PhotoReviewer reviewer(test::ShippedSettings(), empty.Path());
    EXPECT_EQ(reviewer.Review(test::SamplePath("passed-grey-600x800.jpg")).verdict,
              CheckVerdict::FaceCountWrong);
}

TEST(CheckRunTruncated, TruncatedPhotoIsReviewedWithoutCrash) {
    // A real portrait cut off in the middle of its data.
    const Bytes whole = test::ReadBytes(test::SamplePath("passed-grey-600x800.jpg"));
    test::TempDir dir;
    const std::string path = dir.File("cut.jpg");
    test::WriteBytes(path,
                     Bytes(whole.begin(), whole.begin() + static_cast<long>(whole.size() / 2)));
    PhotoReviewer reviewer(test::ShippedSettings(), test::AppDataDir());
    const ReviewResult r = reviewer.Review(path);
    EXPECT_NE(r.verdict, CheckVerdict::NotJpeg);
    EXPECT_EQ(r.measures.width, 600);
}

} // namespace
} // namespace vrel
