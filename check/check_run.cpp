#include "check/check_run.h"

#include "check/jpeg_decode.h"
#include "check/jpeg_header.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>

namespace vrel {
namespace {

// The first rule of the pixel-size test that a photo of cols x rows fails; Rule::None when it
// passes.
FailedRule PixelSizeRule(int cols, int rows, const CheckSettings& s) {
    if (cols < s.min_width || cols > s.max_width) {
        return {Rule::Width, double(cols), double(s.min_width), double(s.max_width)};
    }
    if (rows < s.min_height || rows > s.max_height) {
        return {Rule::Height, double(rows), double(s.min_height), double(s.max_height)};
    }
    const float ratio = static_cast<float>(static_cast<double>(rows) / cols);
    if (!(ratio > kMinAspect && ratio < kMaxAspect)) {
        return {Rule::Aspect, double(ratio), double(kMinAspect), double(kMaxAspect)};
    }
    return {};
}

} // namespace

const char* RuleName(Rule rule) {
    switch (rule) {
    case Rule::None:
        return "none";
    case Rule::Readable:
        return "readable";
    case Rule::Signature:
        return "signature";
    case Rule::FileSize:
        return "file_size";
    case Rule::Width:
        return "width";
    case Rule::Height:
        return "height";
    case Rule::Aspect:
        return "aspect";
    case Rule::DecodeCeiling:
        return "decode_ceiling";
    case Rule::Undecodable:
        return "decode";
    case Rule::Damaged:
        return "damaged";
    case Rule::Settings:
        return "settings";
    case Rule::Background:
        return "background_pixel";
    case Rule::BackgroundRegion:
        return "background_region";
    case Rule::FaceCount:
        return "faces";
    case Rule::RatioY:
        return "ratio_y";
    case Rule::RatioX:
        return "ratio_x";
    case Rule::Centring:
        return "centre_diff";
    case Rule::ReviewFailed:
        return "review";
    }
    return "?";
}

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

std::optional<std::string> TipPicture(CheckVerdict verdict, const CheckSettings& settings) {
    switch (verdict) {
    case CheckVerdict::NotJpeg:
        return "tips/state1.jpg";
    case CheckVerdict::FileSizeOutOfRange:
        return "tips/state3.jpg";
    case CheckVerdict::PixelSizeOutOfRange:
        return "tips/state4.jpg";
    case CheckVerdict::BackgroundRejected:
        return settings.bgc == 1 ? "tips/state6-blue.jpg" : "tips/state6.jpg";
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
    const auto tip = TipPicture(verdict, settings_);
    if (!tip) {
        return cv::Mat();
    }
    FileSource file;
    std::vector<unsigned char> bytes;
    if (file.Open(data_dir_ + *tip) || file.ReadAll(bytes)) {
        return cv::Mat();
    }
    JpegDecode decoded = DecodeJpeg(bytes.data(), bytes.size());
    return decoded.damaged ? cv::Mat() : decoded.image;
}

FaceDetector& PhotoReviewer::Detector() {
    if (!detector_) {
        detector_ = std::make_unique<FaceDetector>(CascadePath());
    }
    return *detector_;
}

QualityAdvisor& PhotoReviewer::Advisor() {
    if (!advisor_) {
        advisor_ = std::make_unique<QualityAdvisor>(data_dir_ + kEyeCascadeFileName,
                                                    options_.landmarks ? data_dir_ + kModelsFolder
                                                                       : std::string());
    }
    return *advisor_;
}

FacePlacement PhotoReviewer::CheckFaces(const cv::Mat& photo) {
    if (!options_.reuse_detector) {
        return CheckFacePlacement(photo, settings_, CascadePath());
    }
    return JudgeFaces(Detector().Detect(photo, settings_), settings_);
}

// One review, as the list of its tests: each step either decides the verdict (and returns
// false) or lets the photo go on to the next.
class ReviewRun {
public:
    ReviewRun(PhotoReviewer& reviewer, PhotoSource& source, const WorkLimit& limit)
        : reviewer_(reviewer), s_(reviewer.settings_), options_(reviewer.options_), source_(source),
          limit_(limit), m_(r_.measures) {}

    ReviewResult Run() {
        m_.file_size = source_.Size();
        (void)(StartsWithJpegSignature() && NotPassedByMarker() && NotBypassed() &&
               FileSizeInRange() && DeclaredPixelSizeInRange() && DecodedWhole() && GoesOn() &&
               PixelSizeInRange() && Normalised() && GoesOn() && BackgroundAccepted() && GoesOn() &&
               FaceCountedAndPlaced() && Accept(CheckVerdict::Passed, r_.normalised));
        return std::move(r_);
    }

private:
    // Between steps: a review past its time limit, or cancelled, ends as a photo that could not
    // be decoded, with the reason.
    bool GoesOn() {
        const char* stopped = limit_.Stopped();
        if (stopped == nullptr) {
            return true;
        }
        r_.error = {ErrorCode::Stopped,
                    std::string("the photo's content cannot be decoded (") + stopped + ")"};
        return Reject(CheckVerdict::PixelSizeOutOfRange, {Rule::Undecodable});
    }

    // JPEG signature: the first two bytes.
    bool StartsWithJpegSignature() {
        unsigned char head[2] = {0, 0};
        if (source_.ReadAt(0, head, 2) != 2 && source_.Failed()) {
            r_.error = source_.Failed();
            return Reject(CheckVerdict::NotJpeg, {Rule::Readable});
        }
        if (head[0] != 0xFF || head[1] != 0xD8) {
            unsigned char first[16] = {};
            const size_t n = source_.ReadAt(0, first, sizeof first);
            m_.file_kind = KindOfFile(first, n, source_.Size());
            return Reject(CheckVerdict::NotJpeg, {Rule::Signature});
        }
        return true;
    }

    // Pass marker: the last sixteen bytes. A marked file passes as it is, but must decode.
    bool NotPassedByMarker() {
        const uint64_t size = source_.Size();
        unsigned char tail[sizeof kPassMarker];
        if (size >= sizeof tail &&
            source_.ReadAt(size - sizeof tail, tail, sizeof tail) == sizeof tail) {
            m_.marked = std::memcmp(tail, kPassMarker, sizeof tail) == 0;
        }
        if (!m_.marked || options_.ignore_marker) {
            return true;
        }
        if (!DecodableWithinCeiling() || !DecodedWhole() || !GoesOn()) {
            return false;
        }
        return Accept(CheckVerdict::PassedByMarker, source_photo_);
    }

    // With the bypass any JPEG passes normalised, untested, but it must decode.
    bool NotBypassed() {
        if (s_.cast != 1) {
            return true;
        }
        if (!DecodableWithinCeiling() || !DecodedWhole() || !Normalised() || !GoesOn()) {
            return false;
        }
        return Accept(CheckVerdict::PassedByBypass, r_.normalised);
    }

    // File size, on the full 64-bit length; a negative upper limit means none.
    bool FileSizeInRange() {
        tested_ = true;
        const auto len = static_cast<int64_t>(source_.Size());
        const int64_t min = KilobytesToBytes(s_.pic_min_size);
        const int64_t max = KilobytesToBytes(s_.pic_max_size);
        const bool in_range = s_.pic_max_size < 0 ? len >= min : len >= min && len <= max;
        if (!in_range) {
            FailedRule rule{Rule::FileSize, double(len), double(min), std::nullopt};
            if (s_.pic_max_size >= 0) {
                rule.max = double(max);
            }
            return Reject(CheckVerdict::FileSizeOutOfRange, rule);
        }
        return true;
    }

    // The pixel size from the frame header first, so that a photo declaring a huge size is never
    // decoded. The decoder turns the photo upright by its EXIF orientation; so does this.
    bool DeclaredPixelSizeInRange() {
        if (!ReadHeader()) {
            return false;
        }
        const FailedRule rule =
            PixelSizeRule(header_->UprightWidth(), header_->UprightHeight(), s_);
        if (rule.rule != Rule::None) {
            m_.width = header_->UprightWidth();
            m_.height = header_->UprightHeight();
            return Reject(CheckVerdict::PixelSizeOutOfRange, rule);
        }
        return WithinCeiling();
    }

    bool DecodableWithinCeiling() { return ReadHeader() && WithinCeiling(); }

    bool ReadHeader() {
        header_ = ReadJpegHeader(source_);
        if (!header_) {
            r_.error = {ErrorCode::Invalid, "the photo's content cannot be decoded"};
            return Reject(CheckVerdict::PixelSizeOutOfRange, {Rule::Undecodable});
        }
        return true;
    }

    // Whatever the settings allow, a photo beyond the ceiling is never decoded.
    bool WithinCeiling() {
        if (header_->Pixels() > kMaxDecodedPixels) {
            m_.width = header_->UprightWidth();
            m_.height = header_->UprightHeight();
            r_.error = {ErrorCode::Unsupported,
                        "the photo declares more pixels than are decoded (" +
                            std::to_string(header_->width) + " x " +
                            std::to_string(header_->height) + ")"};
            return Reject(CheckVerdict::PixelSizeOutOfRange,
                          {Rule::DecodeCeiling, double(header_->Pixels()), std::nullopt,
                           double(kMaxDecodedPixels)});
        }
        return true;
    }

    // Decodes the photo; content that cannot be decoded, or that ends before the image is
    // complete, ends the review.
    bool DecodedWhole() {
        JpegDecode decoded = Decode();
        r_.warnings = std::move(decoded.warnings);
        if (decoded.image.empty()) {
            if (tested_) { // the full tests report the size of what could not be decoded: none
                m_.width = 0;
                m_.height = 0;
            }
            std::string detail = "the photo's content cannot be decoded";
            if (decoded.error) {
                detail += " (" + decoded.error.Detail() + ")";
            }
            r_.error = {decoded.error.Code() == ErrorCode::None ? ErrorCode::Invalid
                                                                : decoded.error.Code(),
                        detail};
            return Reject(CheckVerdict::PixelSizeOutOfRange, {Rule::Undecodable});
        }
        m_.width = decoded.image.cols;
        m_.height = decoded.image.rows;
        if (FastDecodeDenominator() > 1) { // reduced while decoding: the photo's own size
            m_.width = header_->UprightWidth();
            m_.height = header_->UprightHeight();
        }
        if (decoded.damaged) {
            r_.error = {ErrorCode::Invalid, "the photo is damaged: its compressed data ends "
                                            "before the image is complete"};
            return Reject(CheckVerdict::PixelSizeOutOfRange, {Rule::Damaged});
        }
        source_photo_ = decoded.image;
        return true;
    }

    JpegDecode Decode() {
        const int denom = FastDecodeDenominator();
        if (const unsigned char* data = source_.Data()) {
            return DecodeJpeg(data, source_.Size(), denom, KeptImage(), &limit_);
        }
        auto* file = static_cast<FileSource*>(&source_);
        if (source_.Size() > kMaxBufferedFile) {
            return DecodeJpegFile(file->Handle(), denom, &limit_);
        }
        std::vector<unsigned char> local;
        std::vector<unsigned char>& buffer =
            options_.reuse_buffers ? reviewer_.file_buffer_ : local;
        if (Error error = file->ReadAll(buffer)) {
            JpegDecode failed;
            failed.error = std::move(error);
            return failed;
        }
        return DecodeJpeg(buffer.data(), buffer.size(), denom, KeptImage(), &limit_);
    }

    // The kept image is refilled in place when the next photo has its size; once it has been
    // handed on, the decoder leaves it to its new owner.
    cv::Mat* KeptImage() { return options_.reuse_buffers ? &reviewer_.decoded_ : nullptr; }

    // 1, or with fast decoding the largest of 8, 4 and 2 that keeps both sides at least the
    // normalised size.
    int FastDecodeDenominator() const {
        if (!options_.fast_decode || !header_ || s_.dst_width <= 0 || s_.dst_height <= 0) {
            return 1;
        }
        const int64_t w = header_->width, h = header_->height;
        const bool turned = header_->orientation >= 5 && header_->orientation <= 8;
        const int64_t need_w = turned ? s_.dst_height : s_.dst_width;
        const int64_t need_h = turned ? s_.dst_width : s_.dst_height;
        if (w < 2 * need_w || h < 2 * need_h) {
            return 1;
        }
        for (int denom : {8, 4, 2}) {
            // The decoder rounds a reduced side up.
            if ((w + denom - 1) / denom >= need_w && (h + denom - 1) / denom >= need_h) {
                return denom;
            }
        }
        return 1;
    }

    bool PixelSizeInRange() {
        if (FastDecodeDenominator() > 1) {
            return true; // the declared full size was tested, and the reduction keeps it in range
        }
        const FailedRule rule = PixelSizeRule(source_photo_.cols, source_photo_.rows, s_);
        return rule.rule == Rule::None || Reject(CheckVerdict::PixelSizeOutOfRange, rule);
    }

    // Resizes the photo to dst_width x dst_height (stretched, not kept in proportion).
    bool Normalised() {
        if (s_.dst_width <= 0 || s_.dst_height <= 0 ||
            int64_t{s_.dst_width} * s_.dst_height > kMaxNormalisedPixels) {
            r_.error = {ErrorCode::Invalid,
                        "dst_width and dst_height cannot normalise the photo (" +
                            std::to_string(s_.dst_width) + " x " + std::to_string(s_.dst_height) +
                            ")"};
            return Reject(CheckVerdict::PixelSizeOutOfRange, {Rule::Settings});
        }
        cv::resize(source_photo_, r_.normalised, cv::Size(s_.dst_width, s_.dst_height), 0, 0,
                   cv::INTER_LINEAR);
        if (!options_.advise) { // kept otherwise: the advisor looks at the photo as decoded
            source_photo_.release();
        }
        return true;
    }

    bool BackgroundAccepted() {
        const BackgroundOutcome background =
            CheckBackground(r_.normalised, s_, options_.whole_image_conversions);
        if (background.passed) {
            return true;
        }
        m_.background_pixel = background.failed_pixel;
        return Reject(CheckVerdict::BackgroundRejected,
                      {background.failed_pixel ? Rule::Background : Rule::BackgroundRegion});
    }

    bool FaceCountedAndPlaced() {
        const FacePlacement faces = reviewer_.CheckFaces(r_.normalised);
        m_.faces = static_cast<int>(faces.faces.size());
        m_.face_rects = faces.faces;
        if (faces.faces.size() != 1 && options_.advise &&
            reviewer_.Advisor().Landmarker().CanFind()) {
            m_.face_check =
                CheckFaceCount(reviewer_.Advisor().Landmarker(), r_.normalised, faces.faces);
        }
        if (faces.faces.size() == 1) {
            m_.face = faces.faces.front();
            Advise(*m_.face);
        }
        source_photo_.release();
        m_.ratio_y = faces.ratio_y;
        m_.ratio_x = faces.ratio_x;
        m_.centre_diff = faces.centre_diff;
        switch (faces.outcome) {
        case FaceCheckOutcome::FaceCountWrong:
            return Reject(CheckVerdict::FaceCountWrong, faces.failed);
        case FaceCheckOutcome::PlacementWrong:
            return Reject(CheckVerdict::PlacementWrong, faces.failed);
        case FaceCheckOutcome::NotCentred:
            return Reject(CheckVerdict::NotCentred, faces.failed);
        case FaceCheckOutcome::Pass:
            return true;
        }
        return true;
    }

    // The quality advisories of the photo as decoded, with the face found on the normalised
    // photo brought back to its pixels.
    void Advise(const cv::Rect& face) {
        if (!options_.advise || source_photo_.empty()) {
            return;
        }
        const double sx = double(source_photo_.cols) / s_.dst_width;
        const double sy = double(source_photo_.rows) / s_.dst_height;
        const cv::Rect in_photo(cvRound(face.x * sx), cvRound(face.y * sy),
                                cvRound(face.width * sx), cvRound(face.height * sy));
        m_.advisories =
            reviewer_.Advisor().Assess(source_photo_, in_photo, FastDecodeDenominator());
    }

    // A pass keeps the photo shown: the normalised photo, or the decoded one for a marked file.
    bool Accept(CheckVerdict verdict, const cv::Mat& kept) {
        r_.verdict = verdict;
        r_.result_image = kept;
        r_.failed = {};
        return false;
    }

    bool Reject(CheckVerdict verdict, FailedRule rule) {
        r_.verdict = verdict;
        r_.failed = rule;
        r_.result_image.release();
        return false;
    }

    PhotoReviewer& reviewer_;
    const CheckSettings& s_;
    const ReviewOptions& options_;
    PhotoSource& source_;
    const WorkLimit& limit_;
    ReviewResult r_;
    ReviewMeasures& m_;
    std::optional<JpegHeader> header_;
    cv::Mat source_photo_; // as decoded, until it is normalised
    bool tested_ = false;  // past the marker and the bypass: every test runs
};

ReviewResult PhotoReviewer::Guarded(PhotoSource* source, const Error& open_error,
                                    const WorkLimit* limit) {
    try {
        if (source == nullptr) {
            ReviewResult r;
            r.verdict = CheckVerdict::NotJpeg;
            r.failed = {Rule::Readable};
            r.error = open_error;
            return r;
        }
        const WorkLimit bounded =
            (limit != nullptr ? *limit : WorkLimit()).Tightened(options_.time_limit);
        return ReviewRun(*this, *source, bounded).Run();
    } catch (const std::exception& e) {
        // Memory that could not be had, or a library that gave up: this photo is not passed,
        // and the next one is reviewed as usual.
        ReviewResult r;
        r.verdict = CheckVerdict::PixelSizeOutOfRange;
        r.failed = {Rule::ReviewFailed};
        r.error = {ErrorCode::Invalid, std::string("the review failed: ") + e.what()};
        r.measures.file_size =
            source != nullptr ? std::optional<uint64_t>(source->Size()) : std::nullopt;
        return r;
    }
}

ReviewResult PhotoReviewer::Review(const std::string& path, const WorkLimit* limit) {
    FileSource file;
    const Error error = file.Open(path);
    return Guarded(error ? nullptr : &file, error, limit);
}

ReviewResult PhotoReviewer::ReviewBytes(const unsigned char* data, size_t size,
                                        const WorkLimit* limit) {
    MemorySource memory(data, size);
    return Guarded(&memory, Error(), limit);
}

} // namespace vrel
