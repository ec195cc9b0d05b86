#include "check/check_run.h"
#include "cli/batch.h"
#include "cli/progress.h"
#include "report/annotate.h"
#include "report/attention.h"

#include "test_support.h"

#include <opencv2/imgproc.hpp>

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

namespace vrel {
namespace {

using test::Bytes;

// Photos of every kind: the samples, the same portraits at other sizes (twice each, so that
// kept buffers are reused), one turned by its EXIF orientation and one cut short.
std::vector<std::string> Corpus(const test::TempDir& dir) {
    std::vector<std::string> files = ExpandPath(VREL_SOURCE_DIR "/samples");
    const cv::Mat portrait = cv::imread(test::SamplePath("passed-white-1200x1600.jpg"));
    for (cv::Size size : {cv::Size(600, 800), cv::Size(1200, 1600), cv::Size(3000, 4000)}) {
        cv::Mat photo;
        cv::resize(portrait, photo, size, 0, 0, cv::INTER_CUBIC);
        const std::string path = dir.File(std::to_string(size.width) + ".jpg");
        test::WriteBytes(path, test::EncodeJpeg(photo, 90));
        files.push_back(path);
        files.push_back(path);
    }
    const Bytes landscape = test::InsertAfterJfif(
        test::EncodeJpeg(cv::imread(test::SamplePath("passed-grey-600x800.jpg")).t()),
        test::ExifOrientation(8, true));
    files.push_back(dir.File("turned.jpg"));
    test::WriteBytes(files.back(), landscape);
    Bytes cut = test::ReadBytes(test::SamplePath("not-centred.jpg"));
    cut.resize(cut.size() * 2 / 3);
    files.push_back(dir.File("cut.jpg"));
    test::WriteBytes(files.back(), cut);
    return files;
}

void ExpectSameReview(const ReviewResult& a, const ReviewResult& b, const std::string& path) {
    SCOPED_TRACE(path);
    EXPECT_EQ(a.verdict, b.verdict);
    const ReviewMeasures &x = a.measures, &y = b.measures;
    EXPECT_EQ(x.file_size, y.file_size);
    EXPECT_EQ(x.width, y.width);
    EXPECT_EQ(x.height, y.height);
    EXPECT_EQ(x.marked, y.marked);
    ASSERT_EQ(x.background_pixel.has_value(), y.background_pixel.has_value());
    if (x.background_pixel) {
        EXPECT_EQ(x.background_pixel->row, y.background_pixel->row);
        EXPECT_EQ(x.background_pixel->col, y.background_pixel->col);
        EXPECT_EQ(x.background_pixel->hue, y.background_pixel->hue);
        EXPECT_EQ(x.background_pixel->saturation, y.background_pixel->saturation);
        EXPECT_EQ(x.background_pixel->value, y.background_pixel->value);
    }
    EXPECT_EQ(x.faces, y.faces);
    auto sorted = [](std::vector<cv::Rect> r) {
        std::sort(r.begin(), r.end(), [](const cv::Rect& p, const cv::Rect& q) {
            return std::tie(p.x, p.y, p.width, p.height) < std::tie(q.x, q.y, q.width, q.height);
        });
        return r;
    };
    EXPECT_EQ(sorted(x.face_rects), sorted(y.face_rects));
    EXPECT_EQ(x.face, y.face);
    EXPECT_EQ(x.ratio_y, y.ratio_y);
    EXPECT_EQ(x.ratio_x, y.ratio_x);
    EXPECT_EQ(x.centre_diff, y.centre_diff);
    ASSERT_EQ(a.result_image.size(), b.result_image.size());
    EXPECT_EQ(cv::norm(a.result_image, b.result_image, cv::NORM_INF), 0.0);
}

TEST(BatchReview, SameVerdictsAndMeasuresAsTheStepByStepReview) {
    test::TempDir dir;
    const auto corpus = Corpus(dir);
    ReviewOptions reference;
    reference.whole_image_conversions = true;
    ReviewOptions batch;
    batch.reuse_detector = true;
    batch.reuse_buffers = true;
    PhotoReviewer slow(test::ShippedSettings(), test::AppDataDir(), reference);
    PhotoReviewer fast(test::ShippedSettings(), test::AppDataDir(), batch);
    std::vector<ReviewResult> kept; // passes hold their photo while the next ones are decoded
    std::set<CheckVerdict> seen;
    for (const std::string& path : corpus) {
        const ReviewResult expected = slow.Review(path);
        ReviewResult actual = fast.Review(path);
        ExpectSameReview(expected, actual, path);
        seen.insert(expected.verdict);
        kept.push_back(std::move(actual));
    }
    EXPECT_GE(seen.size(), 9u);
    // What a pass kept was not overwritten by later reviews.
    for (size_t i = 0; i < corpus.size(); ++i) {
        ExpectSameReview(slow.Review(corpus[i]), kept[i], corpus[i]);
    }
}

// The bytes of a file give the same review through the file and through the buffer: every
// sample, the test photographs, cut, marked and EXIF-turned files.
TEST(BatchReview, FileAndBufferGiveTheSameReview) {
    test::TempDir dir;
    std::vector<std::string> corpus = Corpus(dir);
    for (const char* name : {"grace_hopper.jpg", "truncated.jpg", "chelsea.png"}) {
        corpus.push_back(std::string(VREL_SOURCE_DIR "/tests/data/") + name);
    }
    Bytes marked = test::ReadBytes(test::SamplePath("passed-grey-600x800.jpg"));
    marked.insert(marked.end(), std::begin(kPassMarker), std::end(kPassMarker));
    corpus.push_back(dir.File("marked.jpg"));
    test::WriteBytes(corpus.back(), marked);
    for (bool ignore_marker : {false, true}) {
        ReviewOptions options;
        options.reuse_detector = true;
        options.ignore_marker = ignore_marker;
        PhotoReviewer from_files(test::ShippedSettings(), test::AppDataDir(), options);
        options.reuse_buffers = true;
        PhotoReviewer from_memory(test::ShippedSettings(), test::AppDataDir(), options);
        for (const std::string& path : corpus) {
            const Bytes bytes = test::ReadBytes(path);
            const ReviewResult file = from_files.Review(path);
            const ReviewResult memory = from_memory.ReviewBytes(bytes.data(), bytes.size());
            ExpectSameReview(file, memory, path);
            EXPECT_EQ(file.error, memory.error) << path;
            EXPECT_EQ(file.warnings, memory.warnings) << path;
            EXPECT_EQ(file.failed.rule, memory.failed.rule) << path;
            EXPECT_EQ(RecordToJson(MakeRecord("p", file, test::ShippedSettings())),
                      RecordToJson(MakeRecord("p", memory, test::ShippedSettings())))
                << path;
        }
    }
}

TEST(BatchReview, IgnoreMarkerReviewsEveryTest) {
    ReviewOptions options;
    options.ignore_marker = true;
    PhotoReviewer reviewer(test::ShippedSettings(), test::AppDataDir(), options);
    const ReviewResult r = reviewer.Review(test::SamplePath("passed-by-marker.jpg"));
    EXPECT_EQ(r.verdict, CheckVerdict::PixelSizeOutOfRange);
    EXPECT_TRUE(r.measures.marked);
}

TEST(BatchRun, RecordsComeInInputOrderWhateverTheWorkers) {
    test::TempDir dir;
    std::vector<std::string> paths = Corpus(dir);
    paths.push_back(dir.File("missing.jpg"));
    auto run = [&](int jobs) {
        BatchOptions opts;
        opts.check = test::ShippedSettings();
        opts.data_dir = test::AppDataDir();
        opts.jobs = jobs;
        ListSource source(paths);
        std::vector<std::string> lines;
        const BatchSummary summary =
            RunBatch(source, opts, [&](const PhotoRecord& r, const ReportPictures&) {
                lines.push_back(RecordToJson(r).dump());
            });
        EXPECT_EQ(summary.reviewed, paths.size());
        EXPECT_FALSE(summary.AllPassed());
        return lines;
    };
    const auto one = run(1);
    ASSERT_EQ(one.size(), paths.size());
    for (size_t i = 0; i < paths.size(); ++i) {
        EXPECT_NE(one[i].find(paths[i]), std::string::npos) << i;
    }
    EXPECT_EQ(run(3), one);
}

TEST(BatchPaths, ListLinesSkipBlanksAndCarriageReturns) {
    std::istringstream in("a.jpg\r\n\nb c.jpg\n\r\nd.jpg");
    LineSource source(in, std::nullopt);
    std::vector<std::string> got;
    for (std::string path; source.Next(path);) {
        got.push_back(path);
    }
    EXPECT_EQ(got, (std::vector<std::string>{"a.jpg", "b c.jpg", "d.jpg"}));
}

// A picture that cannot be written ends the report: the failure is kept, and the report is
// never put in place as if it were whole.
TEST(BatchReport, TheFirstFailedWriteEndsTheReport) {
    test::TempDir dir;
    BatchReportWriter report;
    ASSERT_FALSE(report.Open(dir.Path()));
    std::filesystem::remove_all(dir.File("thumbs"));
    test::WriteBytes(dir.File("thumbs"), {1}); // a file where the folder was
    ReportPictures pictures;
    pictures.thumb = {0xFF, 0xD8, 0xFF, 0xD9};
    const Error failed = report.Add(nlohmann::ordered_json{{"path", "a.jpg"}}, pictures);
    EXPECT_EQ(failed.Code(), ErrorCode::Unwritable);
    EXPECT_EQ(report.Add(nlohmann::ordered_json{{"path", "b.jpg"}}, {}), failed);
    EXPECT_EQ(report.Close({}), failed);
    EXPECT_FALSE(std::filesystem::exists(dir.File("records.js")));
}

TEST(BatchReport, CsvFieldsAreQuotedWhereNeeded) {
    const std::pair<const char*, const char*> table[] = {{"plain", "plain"},
                                                         {"a,b", "\"a,b\""},
                                                         {"say \"hi\"", "\"say \"\"hi\"\"\""},
                                                         {"two\nlines", "\"two\nlines\""},
                                                         {"审核不通过", "审核不通过"}};
    for (const auto& [in, out] : table) {
        EXPECT_EQ(CsvField(in), out);
    }
}

// The explanation picture of a photo normalised to any height, however small: the verdict label
// is left out where it does not fit, never drawn outside the picture.
TEST(BatchReport, ExplanationPicturesOfSmallNormalisedHeights) {
    const VerdictLabels labels(test::AppDataDir());
    const Bytes photo = test::ReadBytes(test::SamplePath("background-rejected.jpg"));
    for (int height : {40, 44, 45, 47, 48, 640}) {
        SCOPED_TRACE(height);
        CheckSettings settings = test::ShippedSettings();
        settings.dst_height = height;
        settings.dst_width = 480;
        PhotoReviewer reviewer(settings, test::AppDataDir());
        const ReviewResult r = reviewer.ReviewBytes(photo.data(), photo.size());
        ASSERT_FALSE(r.normalised.empty());
        EXPECT_EQ(DrawExplanation(r, settings, labels).rows, height);
    }
}

TEST(BatchProgress, LineAndSummary) {
    EXPECT_EQ(ProgressLine(50, 150, 10.0), "50/150 photos  5.0/s  00:00:20 left");
    EXPECT_EQ(ProgressLine(7, std::nullopt, 2.0), "7 photos  3.5/s");
    EXPECT_EQ(SummaryText(3, {{CheckVerdict::Passed, 2}, {CheckVerdict::NotJpeg, 1}}, 1.0),
              "3 photos reviewed in 1.0 s\n  NotJpeg: 1\n  Passed: 2\n");
}

// What a photo asks of an operator, and the summary's count of it.
TEST(BatchProgress, EachRecordIsCountedByWhatItAsksOfAPerson) {
    const auto record = [](CheckVerdict verdict, const char* measure, bool advised,
                           bool corrected) {
        PhotoRecord r;
        r.verdict = verdict;
        if (measure != nullptr) {
            r.why = {{"measure", measure}};
        }
        if (advised) {
            r.measures.advisories.emplace().push_back(AdvisoryNote{});
        }
        if (corrected) {
            r.corrected = "corrected/x.jpg";
        }
        return r;
    };
    using V = CheckVerdict;
    const struct {
        PhotoRecord record;
        Attention expected;
    } cases[] = {
        {record(V::Passed, nullptr, false, false), Attention::Passed},
        {record(V::PassedByMarker, nullptr, true, false), Attention::Advised},
        {record(V::PlacementWrong, "ratio_y", false, true), Attention::Corrected},
        {record(V::NotJpeg, "signature", false, true), Attention::Corrected},
        {record(V::BackgroundRejected, "background_pixel", false, false), Attention::Refused},
        {record(V::NotJpeg, "signature", false, false), Attention::Refused},
        {record(V::NotJpeg, "readable", false, false), Attention::Damaged},
        {record(V::PixelSizeOutOfRange, "damaged", false, false), Attention::Damaged},
        {record(V::NotJpeg, "decode", false, false), Attention::Damaged},
    };
    AttentionCounts counts;
    for (const auto& c : cases) {
        EXPECT_EQ(AttentionOf(c.record), c.expected) << VerdictName(c.record.verdict);
        counts.Add(c.record);
    }
    EXPECT_EQ(counts.ToReview(), 3u);
    EXPECT_EQ(SummaryText(9, {{V::Passed, 9}}, 1.0, &counts),
              "9 photos reviewed in 1.0 s\n  Passed: 9\n  passed: 2 (1 with advisories)\n"
              "  corrected, to confirm: 2\n  refused, to tell the applicant: 2\n"
              "  damaged or unreadable: 3\n  for a person to look at: 3\n");
}

} // namespace
} // namespace vrel
