#pragma once

#include "base/error.h"
#include "check/background.h"
#include "check/face.h"
#include "check/file_kind.h"
#include "check/pass_marker.h"
#include "check/photo_source.h"
#include "check/settings.h"
#include "check/work_limit.h"
#include "quality/advisories.h"
#include "quality/face_check.h"

#include <opencv2/core.hpp>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vrel {

enum class CheckVerdict {
    Cancelled,
    NotJpeg,
    PassedByMarker,
    PassedByBypass,
    FileSizeOutOfRange,
    PixelSizeOutOfRange,
    BackgroundRejected,
    FaceCountWrong,
    PlacementWrong,
    NotCentred,
    Passed,
};

const char* VerdictName(CheckVerdict verdict);
bool IsPass(CheckVerdict verdict);
// The tip picture of a failing verdict, relative to the data directory ("tips/state6.jpg"):
// the backdrop's names light blue only where the settings take it (bgc=1).
std::optional<std::string> TipPicture(CheckVerdict verdict, const CheckSettings& settings);

// What the review measured on its way to the verdict, for reports.
struct ReviewMeasures {
    std::optional<uint64_t> file_size;
    std::optional<int> width; // of the photo as decoded (or as its header declares)
    std::optional<int> height;
    bool marked = false;
    std::optional<FileKind> file_kind;               // what a file that is not a JPEG is
    std::optional<BackgroundPixel> background_pixel; // first pixel that failed
    std::optional<int> faces;
    std::vector<cv::Rect> face_rects; // every face the detector reported
    std::optional<cv::Rect> face;     // the one face, when there was exactly one
    std::optional<float> ratio_y;
    std::optional<float> ratio_x;
    std::optional<int32_t> centre_diff;
    // Quality hints beside the verdict, where the review found exactly one face (nullopt where
    // it did not get that far); they never change the verdict.
    std::optional<std::vector<AdvisoryNote>> advisories;
    // Where the review counted other than one face: what the face network makes of them.
    std::optional<FaceCheck> face_check;
};

struct ReviewResult {
    CheckVerdict verdict = CheckVerdict::NotJpeg;
    ReviewMeasures measures;
    FailedRule failed; // Rule::None for a pass
    Error error;       // why the file could not be read or decoded, or the review stopped
    // The decoder's complaints about a photo that it could decode whole; they do not change
    // the verdict.
    std::vector<std::string> warnings;
    cv::Mat result_image; // the photo kept after a pass; empty otherwise
    cv::Mat normalised;   // the normalised photo, when the review got that far
};

struct ReviewOptions {
    // Load the face detector once and keep it for every review (batch use). Off: the cascade
    // file is read anew for each review.
    bool reuse_detector = false;
    // Read each file into a buffer kept between reviews and decode into a kept image where
    // the size allows. Off: every photo is decoded from its file into a fresh image.
    bool reuse_buffers = false;
    // Review a file that ends in the pass marker with every test, as if it had none.
    bool ignore_marker = false;
    // Convert the whole normalised photo for the background check rather than its two strips
    // (the same verdict; kept to compare against).
    bool whole_image_conversions = false;
    // Decode a large JPEG at the largest DCT-domain reduction that keeps both sides at least
    // the normalised size: much faster, and the verdict may differ near a bound.
    bool fast_decode = false;
    // Look for quality advisories on a photo with one face (blur, exposure, compression, ...).
    bool advise = true;
    // With them, the measures from the face networks' landmarks (eyes, mouth, pose, gaze, head
    // size and place, roll) and their second opinion on a face count other than one. Off: roll
    // from the eye detector, the rest left out. Off by default under ThreadSanitizer: the
    // networks run on OpenCV's thread pool, whose hand-overs it cannot see, and read as races
    // between the workers and that pool.
#if defined(__SANITIZE_THREAD__)
    bool landmarks = false;
#else
    bool landmarks = true;
#endif
    // The longest one review may take; past it the review stops between its steps (or while
    // it decodes) and the photo is rejected as undecodable. 0: no limit.
    std::chrono::milliseconds time_limit{60'000};
};

// The height-to-width ratio of an accepted photo lies strictly between these.
inline constexpr float kMinAspect = 1.0f;
inline constexpr float kMaxAspect = 2.0f;
// The eye detector of the quality advisor, in the data folder beside the face detector.
inline constexpr const char* kEyeCascadeFileName = "haarcascade_eye.xml";
// The networks' folder in the data directory.
inline constexpr const char* kModelsFolder = "models/";

// Files larger than this are decoded from the disk as they are read, not from memory.
inline constexpr uint64_t kMaxBufferedFile = uint64_t{256} << 20;

// Reviews photo files against one set of settings. data_dir holds tips/ and the cascade file
// and ends in '/'.
class PhotoReviewer {
public:
    PhotoReviewer(const CheckSettings& settings, std::string data_dir, ReviewOptions options = {});
    ~PhotoReviewer();
    PhotoReviewer(const PhotoReviewer&) = delete;
    PhotoReviewer& operator=(const PhotoReviewer&) = delete;

    // Reviews a photo file. Never throws: a review that fails ends in a rejection whose error
    // says why. limit, where given, can stop it early (as well as the options' time limit).
    ReviewResult Review(const std::string& path, const WorkLimit* limit = nullptr);
    // Reviews the bytes of a photo file held in memory: the same verdicts and measures as the
    // file would get.
    ReviewResult ReviewBytes(const unsigned char* data, size_t size,
                             const WorkLimit* limit = nullptr);
    // The tip picture of a failing verdict, decoded; empty when there is none or it is missing.
    cv::Mat LoadTipPicture(CheckVerdict verdict) const;

    const CheckSettings& Settings() const { return settings_; }
    const std::string& DataDir() const { return data_dir_; }
    std::string CascadePath() const { return data_dir_ + kCascadeFileName; }

    // The face detector this reviewer uses (read now if it has not been).
    FaceDetector& Detector();
    FacePlacement CheckFaces(const cv::Mat& photo);
    // The quality advisor this reviewer uses (made now if it has not been).
    QualityAdvisor& Advisor();

private:
    friend class ReviewRun;
    ReviewResult Guarded(PhotoSource* source, const Error& open_error, const WorkLimit* limit);

    CheckSettings settings_;
    std::string data_dir_;
    ReviewOptions options_;
    std::unique_ptr<FaceDetector> detector_;
    std::unique_ptr<QualityAdvisor> advisor_;
    std::vector<unsigned char> file_buffer_;
    cv::Mat decoded_;
};

} // namespace vrel
