#include "check/check_run.h"

#include "check/jpeg_header.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace vrel {
namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

int64_t KilobytesToBytes(int32_t kb) {
    return int64_t{kb} * 1024;
}

cv::Mat Decode(const std::string& path) {
    try {
        return cv::imread(path, cv::IMREAD_COLOR);
    } catch (const cv::Exception&) {
        return cv::Mat();
    }
}

// The largest photo that is decoded at all, whatever the settings: a marked or bypassed file
// is accepted at any size, and a small file can declare a size that would take gigabytes.
constexpr int64_t kMaxDecodedPixels = int64_t{64} * 1000 * 1000;

bool PixelSizeAccepted(int cols, int rows, const CheckSettings& s) {
    const float ratio = static_cast<float>(static_cast<double>(rows) / cols);
    return s.min_width <= cols && cols <= s.max_width && s.min_height <= rows &&
           rows <= s.max_height && ratio > 1.0f && ratio < 2.0f;
}

ReviewResult Reject(ReviewResult r, CheckVerdict verdict) {
    r.verdict = verdict;
    r.result_image.release();
    return r;
}

} // namespace

const char* VerdictName(CheckVerdict verdict) {
    switch (verdict) {
    case CheckVerdict::Cancelled:
        return "Cancelled";
    case CheckVerdict::NotJpeg:
        return "NotJpeg";
    case CheckVerdict::PassedByMarker:
        return "PassedByMarker";
    case CheckVerdict::PassedByBypass:
        return "PassedByBypass";
    case CheckVerdict::FileSizeOutOfRange:
        return "FileSizeOutOfRange";
    case CheckVerdict::PixelSizeOutOfRange:
        return "PixelSizeOutOfRange";
    case CheckVerdict::BackgroundRejected:
        return "BackgroundRejected";
    case CheckVerdict::FaceCountWrong:
        return "FaceCountWrong";
    case CheckVerdict::PlacementWrong:
        return "PlacementWrong";
    case CheckVerdict::NotCentred:
        return "NotCentred";
    case CheckVerdict::Passed:
        return "Passed";
    }
    return "?";
}

bool IsPass(CheckVerdict verdict) {
    return verdict == CheckVerdict::PassedByMarker || verdict == CheckVerdict::PassedByBypass ||
           verdict == CheckVerdict::Passed;
}

std::string InfoText(CheckVerdict verdict) {
    if (verdict == CheckVerdict::Cancelled) {
        return std::string();
    }
    return IsPass(verdict) ? kPassText : kFailText;
}

std::optional<std::string> TipPicture(CheckVerdict verdict) {
    switch (verdict) {
    case CheckVerdict::NotJpeg:
        return "tips/state1.jpg";
    case CheckVerdict::FileSizeOutOfRange:
        return "tips/state3.jpg";
    case CheckVerdict::PixelSizeOutOfRange:
        return "tips/state4.jpg";
    case CheckVerdict::BackgroundRejected:
        return "tips/state6.jpg";
    case CheckVerdict::FaceCountWrong:
        return "tips/state7.jpg";
    case CheckVerdict::PlacementWrong:
        return "tips/state8.jpg";
    case CheckVerdict::NotCentred:
        return "tips/state9.jpg";
    default:
        return std::nullopt;
    }
}

PhotoReviewer::PhotoReviewer(const CheckSettings& settings, std::string data_dir,
                             ReviewOptions options)
    : settings_(settings), data_dir_(std::move(data_dir)), options_(options) {
    if (!data_dir_.empty() && data_dir_.back() != '/') {
        data_dir_ += '/';
    }
}

PhotoReviewer::~PhotoReviewer() = default;

cv::Mat PhotoReviewer::LoadTipPicture(CheckVerdict verdict) const {
    const auto tip = TipPicture(verdict);
    return tip ? Decode(data_dir_ + *tip) : cv::Mat();
}

cv::Mat PhotoReviewer::DecodeFile(std::FILE* file, uint64_t length, const std::string& path) {
    // Files too large to hold in memory whole are decoded from the file itself.
    constexpr uint64_t kBufferLimit = uint64_t{256} << 20;
    if (!options_.reuse_buffers || length > kBufferLimit) {
        return Decode(path);
    }
    file_buffer_.resize(static_cast<size_t>(length));
    if (std::fseek(file, 0, SEEK_SET) != 0 ||
        std::fread(file_buffer_.data(), 1, file_buffer_.size(), file) != file_buffer_.size()) {
        return cv::Mat();
    }
    // From memory the decoder leaves the rows after a premature end unwritten, where from the
    // file it fills them in; a photo that does not end in its end-of-image marker (before a
    // pass marker, if any) is therefore decoded from the file.
    size_t end = file_buffer_.size();
    if (end >= sizeof kPassMarker && std::memcmp(file_buffer_.data() + end - sizeof kPassMarker,
                                                 kPassMarker, sizeof kPassMarker) == 0) {
        end -= sizeof kPassMarker;
    }
    if (end < 4 || file_buffer_[end - 2] != 0xFF || file_buffer_[end - 1] != 0xD9) {
        return Decode(path);
    }
    try {
        // The kept image is refilled in place when the next photo has its size; once it has
        // been handed on, it is left to its new owner.
        if (decoded_.u != nullptr && decoded_.u->refcount > 1) {
            decoded_ = cv::Mat();
        }
        cv::imdecode(file_buffer_, cv::IMREAD_COLOR, &decoded_);
    } catch (const cv::Exception&) {
        decoded_ = cv::Mat();
    }
    if (decoded_.empty()) {
        decoded_ = cv::Mat();
    }
    return decoded_;
}

FacePlacement PhotoReviewer::CheckFaces(const cv::Mat& photo) {
    if (!options_.reuse_detector) {
        return CheckFacePlacement(photo, settings_, CascadePath());
    }
    if (!detector_) {
        detector_ = std::make_unique<FaceDetector>(CascadePath());
    }
    return JudgeFaces(detector_->Detect(photo, settings_), settings_);
}

ReviewResult PhotoReviewer::Review(const std::string& path) {
    ReviewResult r;
    ReviewMeasures& m = r.measures;
    const CheckSettings& s = settings_;

    // The file itself: anything that cannot be read as a file is not a JPEG.
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        r.error = std::string("cannot open file: ") + std::strerror(errno);
        return Reject(std::move(r), CheckVerdict::NotJpeg);
    }
    if (!S_ISREG(st.st_mode)) {
        r.error = "not a regular file";
        return Reject(std::move(r), CheckVerdict::NotJpeg);
    }
    File file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        r.error = std::string("cannot open file: ") + std::strerror(errno);
        return Reject(std::move(r), CheckVerdict::NotJpeg);
    }
    const uint64_t length = static_cast<uint64_t>(st.st_size);
    m.file_size = length;

    // JPEG signature: the first two bytes.
    unsigned char head[2] = {0, 0};
    if (std::fread(head, 1, 2, file.get()) != 2) {
        if (std::ferror(file.get())) {
            r.error = std::string("cannot read file: ") + std::strerror(errno);
        }
        return Reject(std::move(r), CheckVerdict::NotJpeg);
    }
    if (head[0] != 0xFF || head[1] != 0xD8) {
        return Reject(std::move(r), CheckVerdict::NotJpeg);
    }

    // Pass marker: the last sixteen bytes.
    if (length >= sizeof kPassMarker) {
        unsigned char tail[sizeof kPassMarker];
        if (std::fseek(file.get(), -static_cast<long>(sizeof tail), SEEK_END) == 0 &&
            std::fread(tail, 1, sizeof tail, file.get()) == sizeof tail) {
            m.marked = std::memcmp(tail, kPassMarker, sizeof tail) == 0;
        }
    }

    const bool dst_valid = s.dst_width > 0 && s.dst_height > 0;
    // A pass keeps the photo shown: the normalised photo, or the decoded one for a marked file.
    auto accept = [&](ReviewResult res, CheckVerdict verdict, const cv::Mat* decoded) {
        res.verdict = verdict;
        res.result_image = decoded != nullptr ? *decoded : res.normalised;
        return res;
    };
    auto undecodable = [&](ReviewResult res) {
        res.error = "the photo's content cannot be decoded";
        return Reject(std::move(res), CheckVerdict::PixelSizeOutOfRange);
    };
    auto bad_dst = [&](ReviewResult res) {
        res.error = "dst_width and dst_height must be positive to normalise the photo";
        return Reject(std::move(res), CheckVerdict::PixelSizeOutOfRange);
    };
    // Marked and bypassed files skip the pixel-size test, but are not decoded beyond the
    // ceiling either.
    auto too_large_to_decode = [&](ReviewResult& res) {
        const auto header = ReadJpegHeader(file.get());
        if (!header) {
            res.error = "the photo's content cannot be decoded";
            return true;
        }
        if (int64_t{header->width} * header->height > kMaxDecodedPixels) {
            res.measures.width = header->UprightWidth();
            res.measures.height = header->UprightHeight();
            res.error = "the photo declares more pixels than are decoded (" +
                        std::to_string(header->width) + " x " + std::to_string(header->height) +
                        ")";
            return true;
        }
        return false;
    };
    auto normalise = [&](const cv::Mat& source) {
        cv::Mat work;
        cv::resize(source, work, cv::Size(s.dst_width, s.dst_height), 0, 0, cv::INTER_LINEAR);
        return work;
    };

    // A marked file passes as it is, and with the bypass any JPEG passes normalised: neither is
    // tested further, but both must decode.
    const bool pass_marked = m.marked && !options_.ignore_marker;
    if (pass_marked || s.cast == 1) {
        if (too_large_to_decode(r)) {
            return Reject(std::move(r), CheckVerdict::PixelSizeOutOfRange);
        }
        cv::Mat photo = DecodeFile(file.get(), length, path);
        file.reset();
        if (photo.empty()) {
            return undecodable(std::move(r));
        }
        m.width = photo.cols;
        m.height = photo.rows;
        if (pass_marked) {
            return accept(std::move(r), CheckVerdict::PassedByMarker, &photo);
        }
        if (!dst_valid) {
            return bad_dst(std::move(r));
        }
        r.normalised = normalise(photo);
        return accept(std::move(r), CheckVerdict::PassedByBypass, nullptr);
    }

    // File size, on the full 64-bit length.
    const int64_t min_bytes = KilobytesToBytes(s.pic_min_size);
    const int64_t max_bytes = KilobytesToBytes(s.pic_max_size);
    const auto len = static_cast<int64_t>(length);
    const bool size_ok =
        s.pic_max_size < 0 ? len >= min_bytes : len >= min_bytes && len <= max_bytes;
    if (!size_ok) {
        return Reject(std::move(r), CheckVerdict::FileSizeOutOfRange);
    }

    // Pixel size from the frame header first, so that a photo declaring a huge size is never
    // decoded. The decoder turns the photo upright by its EXIF orientation; so does this.
    const auto header = ReadJpegHeader(file.get());
    if (!header) {
        return undecodable(std::move(r));
    }
    if (!PixelSizeAccepted(header->UprightWidth(), header->UprightHeight(), s) ||
        int64_t{header->width} * header->height > kMaxDecodedPixels) {
        m.width = header->UprightWidth();
        m.height = header->UprightHeight();
        return Reject(std::move(r), CheckVerdict::PixelSizeOutOfRange);
    }

    cv::Mat source = DecodeFile(file.get(), length, path);
    file.reset();
    m.width = source.cols;
    m.height = source.rows;
    if (source.empty()) {
        return undecodable(std::move(r));
    }
    if (!PixelSizeAccepted(source.cols, source.rows, s)) {
        return Reject(std::move(r), CheckVerdict::PixelSizeOutOfRange);
    }
    if (!dst_valid) {
        return bad_dst(std::move(r));
    }
    r.normalised = normalise(source);
    source.release();

    const BackgroundOutcome background =
        CheckBackground(r.normalised, s, options_.whole_image_conversions);
    if (!background.passed) {
        m.background_pixel = background.failed_pixel;
        return Reject(std::move(r), CheckVerdict::BackgroundRejected);
    }

    const FacePlacement faces = CheckFaces(r.normalised);
    m.faces = static_cast<int>(faces.faces.size());
    m.face_rects = faces.faces;
    if (faces.faces.size() == 1) {
        m.face = faces.faces.front();
    }
    m.ratio_y = faces.ratio_y;
    m.ratio_x = faces.ratio_x;
    m.centre_diff = faces.centre_diff;
    switch (faces.outcome) {
    case FaceCheckOutcome::FaceCountWrong:
        return Reject(std::move(r), CheckVerdict::FaceCountWrong);
    case FaceCheckOutcome::PlacementWrong:
        return Reject(std::move(r), CheckVerdict::PlacementWrong);
    case FaceCheckOutcome::NotCentred:
        return Reject(std::move(r), CheckVerdict::NotCentred);
    case FaceCheckOutcome::Pass:
        break;
    }
    return accept(std::move(r), CheckVerdict::Passed, nullptr);
}

} // namespace vrel
