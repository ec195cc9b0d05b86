// The decoder gives exactly the pixels of the image library's own reader, tells a photo whose
// data ends early from one that merely lacks its end marker, and keeps other complaints as
// warnings.
#include "check/jpeg_decode.h"
#include "check/jpeg_header.h"

#include "test_support.h"

#include <opencv2/imgproc.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <jpeglib.h>

namespace vrel {
namespace {

using test::Bytes;

// Encodes with libjpeg directly, for layouts the image library does not write.
Bytes EncodeWith(const cv::Mat& bgr, J_COLOR_SPACE space, int h_sampling, int v_sampling,
                 bool progressive, int restart_rows = 0) {
    jpeg_compress_struct cinfo;
    jpeg_error_mgr err;
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_compress(&cinfo);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &out, &size);
    cinfo.image_width = static_cast<JDIMENSION>(bgr.cols);
    cinfo.image_height = static_cast<JDIMENSION>(bgr.rows);
    const bool grey = space == JCS_GRAYSCALE;
    const bool cmyk = space == JCS_CMYK;
    cinfo.input_components = grey ? 1 : cmyk ? 4 : 3;
    cinfo.in_color_space = grey ? JCS_GRAYSCALE : cmyk ? JCS_CMYK : JCS_EXT_BGR;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, 88, TRUE);
    if (!grey && !cmyk) {
        cinfo.comp_info[0].h_samp_factor = h_sampling;
        cinfo.comp_info[0].v_samp_factor = v_sampling;
    }
    if (progressive) {
        jpeg_simple_progression(&cinfo);
    }
    cinfo.restart_in_rows = restart_rows;
    jpeg_start_compress(&cinfo, TRUE);
    cv::Mat source;
    if (grey) {
        cv::cvtColor(bgr, source, cv::COLOR_BGR2GRAY);
    } else if (cmyk) {
        source.create(bgr.size(), CV_8UC4);
        for (int y = 0; y < bgr.rows; ++y) {
            for (int x = 0; x < bgr.cols; ++x) {
                const cv::Vec3b p = bgr.at<cv::Vec3b>(y, x);
                const uchar k = static_cast<uchar>(std::max({p[0], p[1], p[2]}));
                source.at<cv::Vec4b>(y, x) = cv::Vec4b(p[2], p[1], p[0], k);
            }
        }
    } else {
        source = bgr;
    }
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = source.ptr<unsigned char>(static_cast<int>(cinfo.next_scanline));
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    Bytes bytes(out, out + size);
    std::free(out);
    return bytes;
}

cv::Mat Portrait(int width = 0) {
    cv::Mat photo = cv::imread(VREL_SOURCE_DIR "/tests/data/grace_hopper.jpg");
    if (width > 0) {
        cv::resize(photo, photo, cv::Size(width, photo.rows * width / photo.cols), 0, 0,
                   cv::INTER_AREA);
    }
    return photo;
}

struct Layout {
    const char* name;
    Bytes bytes;
};

std::vector<Layout> Layouts() {
    const cv::Mat portrait = Portrait();
    const cv::Mat odd = Portrait(131); // sides that are no multiple of any block size
    std::vector<Layout> all = {
        {"real portrait", test::ReadBytes(VREL_SOURCE_DIR "/tests/data/grace_hopper.jpg")},
        {"4:2:0", EncodeWith(portrait, JCS_YCbCr, 2, 2, false)},
        {"4:2:2", EncodeWith(portrait, JCS_YCbCr, 2, 1, false)},
        {"4:4:4", EncodeWith(portrait, JCS_YCbCr, 1, 1, false)},
        {"4:4:0", EncodeWith(odd, JCS_YCbCr, 1, 2, false)},
        {"odd size", EncodeWith(odd, JCS_YCbCr, 2, 2, false)},
        {"progressive", EncodeWith(portrait, JCS_YCbCr, 2, 2, true)},
        {"restart markers", EncodeWith(odd, JCS_YCbCr, 2, 2, false, 1)},
        {"grey", EncodeWith(portrait, JCS_GRAYSCALE, 1, 1, false)},
        {"CMYK", EncodeWith(odd, JCS_CMYK, 1, 1, false)},
    };
    for (const char* sample : {"passed-grey-600x800.jpg", "passed-white-1200x1600.jpg",
                               "face-count-wrong.jpg", "passed-by-marker.jpg"}) {
        all.push_back({"sample", test::ReadBytes(test::SamplePath(sample))});
    }
    const Bytes plain = test::EncodeJpeg(odd);
    for (int orientation = 1; orientation <= 8; ++orientation) {
        all.push_back(
            {"orientation", test::InsertAfterJfif(
                                plain, test::ExifOrientation(orientation, orientation % 2 == 0))});
    }
    return all;
}

TEST(JpegDecode, SamePixelsAsTheImageLibrary) {
    for (const Layout& layout : Layouts()) {
        for (int denom : {1, 2, 4, 8}) {
            SCOPED_TRACE(std::string(layout.name) + ", 1/" + std::to_string(denom));
            const int flags = denom == 1   ? cv::IMREAD_COLOR
                              : denom == 2 ? cv::IMREAD_REDUCED_COLOR_2
                              : denom == 4 ? cv::IMREAD_REDUCED_COLOR_4
                                           : cv::IMREAD_REDUCED_COLOR_8;
            const cv::Mat expected = cv::imdecode(layout.bytes, flags);
            const JpegDecode got = DecodeJpeg(layout.bytes.data(), layout.bytes.size(), denom);
            ASSERT_FALSE(expected.empty());
            ASSERT_EQ(got.image.size(), expected.size());
            ASSERT_EQ(got.image.type(), CV_8UC3);
            EXPECT_EQ(cv::norm(got.image, expected, cv::NORM_INF), 0.0);
            EXPECT_FALSE(got.damaged);
            EXPECT_TRUE(got.warnings.empty()) << got.warnings.front();
        }
    }
}

TEST(JpegDecode, KeptPixelsAreReusedOnlyWhenOwned) {
    const Bytes jpeg = test::EncodeJpeg(Portrait(131));
    cv::Mat kept;
    DecodeJpeg(jpeg.data(), jpeg.size(), 1, &kept);
    const uchar* pixels = kept.data;
    DecodeJpeg(jpeg.data(), jpeg.size(), 1, &kept);
    EXPECT_EQ(kept.data, pixels); // sole owner: refilled in place

    cv::Mat held = kept; // handed on: the next decoding must not write into it
    held.setTo(cv::Scalar::all(7));
    const JpegDecode next = DecodeJpeg(jpeg.data(), jpeg.size(), 1, &kept);
    EXPECT_NE(kept.data, held.data);
    EXPECT_EQ(cv::norm(held, cv::Mat(held.size(), held.type(), cv::Scalar::all(7)), cv::NORM_INF),
              0.0);
    EXPECT_EQ(next.image.data, kept.data);
}

Bytes Cut(const Bytes& jpeg, double share) {
    return Bytes(jpeg.begin(), jpeg.begin() + static_cast<long>(jpeg.size() * share));
}

struct DamageCase {
    const char* what;
    Bytes bytes;
    bool decodes;
    bool damaged;
    const char* warning; // expected among the warnings, or nullptr for none
};

TEST(JpegDecode, DataThatEndsEarlyIsDamagedOtherComplaintsAreWarnings) {
    const cv::Mat portrait = Portrait();
    const Bytes baseline = test::EncodeJpeg(portrait, 90);
    const Bytes progressive = EncodeWith(portrait, JCS_YCbCr, 2, 2, true);
    Bytes no_end = baseline;
    no_end.resize(no_end.size() - 2); // without FF D9
    Bytes extraneous = baseline;
    extraneous.insert(extraneous.end() - 2, 16, 0x5A); // more than the decoder reads ahead
    const Bytes sample_cut =
        Cut(test::ReadBytes(test::SamplePath("passed-grey-600x800.jpg")), 50000.0 / 89000.0);
    const std::vector<DamageCase> cases = {
        {"baseline cut at a quarter", Cut(baseline, 0.25), true, true, nullptr},
        {"baseline cut at nine tenths", Cut(baseline, 0.9), true, true, nullptr},
        {"sample cut short", sample_cut, true, true, nullptr},
        {"progressive cut in its first scans", Cut(progressive, 0.3), true, true, nullptr},
        {"progressive cut in its last scan", Cut(progressive, 0.97), true, true, nullptr},
        {"complete, without its end marker", no_end, true, false, "Premature end of JPEG file"},
        {"extraneous bytes before the end", extraneous, true, false, "extraneous bytes"},
        {"the real cut file", test::ReadBytes(VREL_SOURCE_DIR "/tests/data/truncated.jpg"), false,
         false, nullptr},
        {"signature only", {0xFF, 0xD8}, false, false, nullptr},
        {"nothing", {}, false, false, nullptr},
    };
    for (const DamageCase& c : cases) {
        SCOPED_TRACE(c.what);
        const JpegDecode got = DecodeJpeg(c.bytes.data(), c.bytes.size());
        EXPECT_EQ(!got.image.empty(), c.decodes);
        EXPECT_EQ(got.damaged, c.damaged);
        EXPECT_EQ(!got.error, c.decodes) << got.error.Detail();
        if (c.warning != nullptr) {
            bool found = false;
            for (const std::string& w : got.warnings) {
                found = found || w.find(c.warning) != std::string::npos;
            }
            EXPECT_TRUE(found);
        }
        if (c.damaged) { // the damage is the news, not a warning beside it
            for (const std::string& w : got.warnings) {
                EXPECT_EQ(w.find("Premature end"), std::string::npos) << w;
            }
        }
    }
}

TEST(JpegDecode, FromAFileAsFromMemory) {
    test::TempDir dir;
    const Bytes jpeg =
        test::InsertAfterJfif(test::EncodeJpeg(Portrait(131)), test::ExifOrientation(6));
    for (const Bytes& bytes : {jpeg, Cut(jpeg, 0.6)}) {
        test::WriteBytes(dir.File("p.jpg"), bytes);
        std::FILE* f = std::fopen(dir.File("p.jpg").c_str(), "rb");
        const JpegDecode from_file = DecodeJpegFile(f);
        std::fclose(f);
        const JpegDecode from_memory = DecodeJpeg(bytes.data(), bytes.size());
        EXPECT_EQ(from_file.damaged, from_memory.damaged);
        EXPECT_EQ(from_file.orientation, 6);
        ASSERT_EQ(from_file.image.size(), from_memory.image.size());
        EXPECT_EQ(cv::norm(from_file.image, from_memory.image, cv::NORM_INF), 0.0);
    }
}

TEST(JpegDecode, RefusesADeclaredSizeBeyondTheCeiling) {
    const Bytes jpeg = test::DeclaringSize(
        test::EncodeJpeg(cv::Mat(16, 16, CV_8UC3, cv::Scalar::all(128))), 64768, 64768);
    const JpegDecode got = DecodeJpeg(jpeg.data(), jpeg.size());
    EXPECT_TRUE(got.image.empty());
    EXPECT_NE(got.error.Detail().find("more pixels"), std::string::npos) << got.error.Detail();
}

// A stuffed zero (FF 00) right after the start is no marker: the header reader skips it as the
// decoder does, and so reads the size that is decoded, not a frame header hidden inside the
// next segment.
TEST(JpegDecode, TheHeaderReaderReadsTheSizeThatIsDecoded) {
    const Bytes honest = test::EncodeJpeg(cv::Mat(160, 120, CV_8UC3, cv::Scalar(40, 90, 200)));
    // FF 00 "00 06" would be a length that lands inside the APP2 segment, on a frame header
    // that says 600 x 800.
    Bytes hidden = {0xFF, 0x00, 0x00, 0x06, 0xFF, 0xE2, 0x00, 0x20, 0xFF,
                    0xC0, 0x00, 0x11, 0x08, 0x03, 0x20, 0x02, 0x58, 0x03,
                    0x01, 0x22, 0x00, 0x02, 0x11, 0x01, 0x03, 0x11, 0x01};
    hidden.resize(4 + 2 + 0x20, 0);
    Bytes jpeg = honest;
    jpeg.insert(jpeg.begin() + 2, hidden.begin(), hidden.end());
    MemorySource source(jpeg.data(), jpeg.size());
    const std::optional<JpegHeader> header = ReadJpegHeader(source);
    ASSERT_TRUE(header);
    EXPECT_EQ(cv::Size(header->width, header->height), cv::Size(120, 160));
    const JpegDecode got = DecodeJpeg(jpeg.data(), jpeg.size());
    EXPECT_EQ(got.image.size(), cv::Size(120, 160)) << got.error.Detail();
}

// A progressive photo that repeats a scan is a pass over the whole photo per repetition: past
// the cap it is refused, whatever its size; a review out of time or cancelled stops as well.
TEST(JpegDecode, StopsPastTheScanCapOrItsLimit) {
    const cv::Mat photo = test::CleanPortrait();
    const Bytes normal = test::WithRepeatedScans(photo, 0);
    std::atomic<bool> raised{true};
    WorkLimit cancelled;
    cancelled.cancelled = &raised;
    WorkLimit expired;
    expired.deadline = WorkLimit::Clock::now() - std::chrono::seconds(1);
    const struct {
        const char* what;
        Bytes jpeg;
        const WorkLimit* limit;
        const char* error; // nullptr: decodes
    } cases[] = {
        {"libjpeg's own 10 scans", normal, nullptr, nullptr},
        {"100 scans in all", test::WithRepeatedScans(photo, kMaxJpegScans - 10), nullptr, nullptr},
        {"one scan more", test::WithRepeatedScans(photo, kMaxJpegScans - 9), nullptr,
         "more than 100 progressive scans"},
        {"thousands of scans", test::WithRepeatedScans(photo, 5000), nullptr,
         "more than 100 progressive scans"},
        {"cancelled", normal, &cancelled, "cancelled"},
        {"out of time", test::EncodeJpeg(photo), &expired, "time limit"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const JpegDecode d = DecodeJpeg(c.jpeg.data(), c.jpeg.size(), 1, nullptr, c.limit);
        if (c.error == nullptr) {
            EXPECT_EQ(d.image.size(), photo.size()) << d.error.Detail();
        } else {
            EXPECT_TRUE(d.image.empty());
            EXPECT_NE(d.error.Detail().find(c.error), std::string::npos) << d.error.Detail();
        }
    }
}

} // namespace
} // namespace vrel
