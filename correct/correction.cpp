#include "correct/correction.h"

#include "check/explain.h"
#include "check/jpeg_decode.h"
#include "correct/image_input.h"
#include "output/photo_writer.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <optional>

namespace vrel {
namespace {

// Crops tried before the correction gives up: the detector's box moves a little with the scale,
// so a crop that misses is planned again from the box the review measured.
constexpr int kMaxRounds = 4;
// Faces this small in a detection copy are still found reliably.
constexpr double kReliableFace = 40;

ReviewOptions VerifyingReview() {
    ReviewOptions options;
    options.reuse_detector = true;
    options.ignore_marker = true;
    return options;
}

std::string Fixed(double value, int decimals) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
    return buffer;
}

Correction Refuse(std::string rule, std::string reason,
                  std::vector<std::pair<std::string, double>> numbers = {}) {
    Correction c;
    c.status = CorrectionStatus::Refused;
    c.rule = std::move(rule);
    c.reason = std::move(reason);
    c.numbers = std::move(numbers);
    return c;
}

Correction RefuseFraming(const Framing& f, const FramingTargets& t) {
    const std::string px = Fixed(f.needed, 0);
    switch (f.problem) {
    case FramingProblem::TooSmall:
        return Refuse("too_small",
                      "人脸太小：须放大 " + Fixed(f.needed, 2) + " 倍才能达到规定尺寸（最多放大 " +
                          Fixed(t.max_enlarge, 2) +
                          " 倍），请靠近镜头重新拍摄，或提交分辨率更高的照片",
                      {{"enlargement_needed", f.needed}, {"enlargement_max", f.available}});
    case FramingProblem::SpaceAbove:
        return Refuse("space_above",
                      "头顶上方空间不足（还差约 " + px +
                          " 像素），无法按规定构图：请重新拍摄，头顶上方多留些空间",
                      {{"pixels_missing", f.needed}});
    case FramingProblem::SpaceBelow:
        return Refuse("space_below",
                      "下巴以下空间不足（还差约 " + px +
                          " 像素），无法按规定构图：请重新拍摄，拍到肩部",
                      {{"pixels_missing", f.needed}});
    case FramingProblem::SpaceLeft:
    case FramingProblem::SpaceRight:
        return Refuse(f.problem == FramingProblem::SpaceLeft ? "space_left" : "space_right",
                      std::string("人脸太靠近照片") +
                          (f.problem == FramingProblem::SpaceLeft ? "左" : "右") + "边缘（还差约 " +
                          px + " 像素），无法居中：请重新拍摄，让人脸位于画面中央",
                      {{"pixels_missing", f.needed}});
    case FramingProblem::None:
        break;
    }
    return Refuse("framing", "无法按规定构图");
}

// A review's own refusal, for photos that cannot be corrected without trying.
Correction RefuseUntried(const ReviewResult& original) {
    switch (original.failed.rule) {
    case Rule::Readable:
        return Refuse("unreadable", "文件无法读取：" + original.error);
    case Rule::Damaged:
        return Refuse("damaged", "照片文件已损坏（数据不完整），无法修正：请重新提交完整的照片");
    case Rule::DecodeCeiling:
        return Refuse(
            "too_many_pixels", "照片像素过多，无法处理",
            {{"pixels", original.failed.value}, {"pixels_max", original.failed.max.value_or(0)}});
    case Rule::Undecodable:
        return Refuse("undecodable", "照片内容无法解码，无法修正");
    case Rule::Settings:
    case Rule::ReviewFailed:
        return Refuse("review", "照片无法处理：" + original.error);
    default:
        return Correction{};
    }
}

struct DetectionPass {
    int denom;    // the copy's reduction
    int min_face; // the smallest face looked for, in the copy's pixels
};

// Where to look for the face: first a copy about the normalised size, for faces of at least a
// quarter of its shorter side (a head-and-shoulders portrait's), which costs about what the
// review's own detection does; then a copy fine enough to show the smallest face that could
// still be corrected (its enlargement within the bound) at a size the detector finds.
std::vector<DetectionPass> DetectionPasses(cv::Size photo, const CheckSettings& s,
                                           const FramingTargets& t) {
    const int short_side = std::min(photo.width, photo.height);
    const int normalised_short = std::min(s.dst_width, s.dst_height);
    int coarse = 1;
    for (int denom : {8, 4, 2}) {
        if (short_side / denom >= normalised_short) {
            coarse = denom;
            break;
        }
    }
    const double smallest_face = (1 - s.ratio_x_max) * s.dst_width / t.max_enlarge;
    int fine = 1;
    for (int denom : {8, 4, 2}) {
        if (smallest_face / denom >= kReliableFace) {
            fine = denom;
            break;
        }
    }
    fine = std::min(fine, coarse);
    const int coarse_min = std::max(static_cast<int>(kReliableFace), short_side / coarse / 4);
    const int fine_min = std::max(20, static_cast<int>(0.8 * smallest_face / fine));
    return {{coarse, coarse_min}, {fine, fine_min}};
}

// The part of a photo that is not its plain backdrop: the box around every row and column
// where enough pixels differ from the colour of the photo's border. The whole photo where the
// backdrop is not plain or the content fills most of it.
cv::Rect ContentBox(const cv::Mat& image) {
    std::vector<cv::Vec3b> border;
    for (int x = 0; x < image.cols; x += 4) {
        border.push_back(image.at<cv::Vec3b>(0, x));
        border.push_back(image.at<cv::Vec3b>(image.rows - 1, x));
    }
    for (int y = 0; y < image.rows; y += 4) {
        border.push_back(image.at<cv::Vec3b>(y, 0));
        border.push_back(image.at<cv::Vec3b>(y, image.cols - 1));
    }
    cv::Vec3b backdrop;
    for (int c = 0; c < 3; ++c) {
        std::vector<uchar> channel;
        for (const cv::Vec3b& p : border) {
            channel.push_back(p[c]);
        }
        std::nth_element(channel.begin(), channel.begin() + channel.size() / 2, channel.end());
        backdrop[c] = channel[channel.size() / 2];
    }
    cv::Mat differs;
    cv::absdiff(image, cv::Scalar(backdrop[0], backdrop[1], backdrop[2]), differs);
    cv::cvtColor(differs, differs, cv::COLOR_BGR2GRAY);
    cv::threshold(differs, differs, 24, 1, cv::THRESH_BINARY);
    cv::Mat rows, cols;
    cv::reduce(differs, rows, 1, cv::REDUCE_SUM, CV_32S);
    cv::reduce(differs, cols, 0, cv::REDUCE_SUM, CV_32S);
    auto span = [](const cv::Mat& sums, int length, int enough) {
        int first = -1, last = -1;
        for (int i = 0; i < length; ++i) {
            if (sums.at<int>(i) >= enough) {
                first = first < 0 ? i : first;
                last = i;
            }
        }
        return std::make_pair(first, last);
    };
    const auto [top, bottom] = span(rows, image.rows, std::max(2, image.cols / 200));
    const auto [left, right] = span(cols, image.cols, std::max(2, image.rows / 200));
    const cv::Rect whole(0, 0, image.cols, image.rows);
    if (top < 0 || left < 0) {
        return whole;
    }
    cv::Rect box(left, top, right - left + 1, bottom - top + 1);
    const int margin = std::max(box.width, box.height) / 10;
    box =
        cv::Rect(box.x - margin, box.y - margin, box.width + 2 * margin, box.height + 2 * margin) &
        whole;
    return box.area() < 0.8 * whole.area() ? box : whole;
}

// The faces in a photo; where none is found and the photo is mostly plain backdrop, in its
// content alone (equalising a photo of mostly plain backdrop leaves a small face too little
// contrast to be found).
std::vector<cv::Rect> FindFaces(FaceDetector& detector, const cv::Mat& image, int neighbours,
                                int min_face) {
    const cv::Size min_size(min_face, min_face);
    std::vector<cv::Rect> faces = detector.Detect(image, neighbours, min_size);
    if (!faces.empty()) {
        return faces;
    }
    const cv::Rect content = ContentBox(image);
    if (content.area() == image.cols * image.rows) {
        return faces;
    }
    faces = detector.Detect(image(content).clone(), neighbours, min_size);
    for (cv::Rect& f : faces) {
        f += content.tl();
    }
    return faces;
}

// The largest reduction that still gives the crop at least the normalised size.
int CropDenominator(const cv::Rect& crop, const CheckSettings& s) {
    for (int denom : {8, 4, 2}) {
        if (crop.width / denom >= s.dst_width && crop.height / denom >= s.dst_height) {
            return denom;
        }
    }
    return 1;
}

// The crop, taken from a copy of the photo reduced by denom, at the normalised size.
cv::Mat CutAndScale(const cv::Mat& source, cv::Size photo, const cv::Rect& crop,
                    const CheckSettings& s) {
    const double sx = double(source.cols) / photo.width;
    const double sy = double(source.rows) / photo.height;
    cv::Rect roi(static_cast<int>(std::lround(crop.x * sx)),
                 static_cast<int>(std::lround(crop.y * sy)),
                 static_cast<int>(std::lround(crop.width * sx)),
                 static_cast<int>(std::lround(crop.height * sy)));
    roi &= cv::Rect(0, 0, source.cols, source.rows);
    cv::Mat out;
    const bool shrink = roi.width >= s.dst_width;
    cv::resize(source(roi), out, cv::Size(s.dst_width, s.dst_height), 0, 0,
               shrink ? cv::INTER_AREA : cv::INTER_LINEAR);
    return out;
}

} // namespace

PhotoCorrector::PhotoCorrector(const CheckSettings& settings, std::string data_dir)
    : settings_(settings), targets_(TargetsFor(settings)),
      verifier_(settings, std::move(data_dir), VerifyingReview()) {}

Correction PhotoCorrector::CorrectFile(const std::string& path, const ReviewResult& original,
                                       const WorkLimit* limit) {
    FileSource file;
    std::string error;
    std::vector<unsigned char> bytes;
    if (!file.Open(path, error) || !file.ReadAll(bytes)) {
        return Refuse("unreadable", "文件无法读取：" + (error.empty() ? file.Failed() : error));
    }
    return Correct(bytes.data(), bytes.size(), original, limit);
}

// One correction, as its steps: refuse what cannot be tried, find the one face, then frame it,
// save and verify, a few rounds at most.
class CorrectionRun {
public:
    CorrectionRun(const unsigned char* data, size_t size, const ImageInfo& info,
                  const CheckSettings& settings, const FramingTargets& targets,
                  PhotoReviewer& verifier, const WorkLimit& limit)
        : data_(data), size_(size), info_(info), photo_(info.width, info.height), s_(settings),
          targets_(targets), verifier_(verifier), limit_(limit) {}

    Correction Run() {
        FaceBox face;
        int denom = 1;
        if (auto refused = FindTheFace(face, denom)) {
            return *refused;
        }
        Correction c;
        c.format = FormatName(info_.format);
        ReviewResult last;
        for (int round = 1; round <= kMaxRounds; ++round) {
            if (auto stopped = RefuseStopped()) {
                return Formatted(*stopped);
            }
            const Framing framing = PlanCrop(face, photo_, s_, targets_);
            if (framing.problem != FramingProblem::None) {
                return Formatted(RefuseFraming(framing, targets_));
            }
            c.rounds = round;
            if (auto done = CropSaveAndVerify(framing, denom, last)) {
                done->format = c.format;
                done->rounds = round;
                return *done;
            }
            if (!PlannedAgain(last, framing, face)) {
                break;
            }
        }
        return Formatted(RefuseAfter(std::move(last), c.rounds));
    }

private:
    // A copy of the photo reduced by denom, each decoded once: a JPEG's in the DCT domain, any
    // other format's reduced from its one full decoding.
    const DecodedImage& Copy(int denom) {
        auto it = decoded_.find(denom);
        if (it != decoded_.end()) {
            return it->second;
        }
        if (info_.format == ImageFormat::Jpeg || denom == 1) {
            return decoded_.emplace(denom, DecodeImage(data_, size_, info_, denom, &limit_))
                .first->second;
        }
        DecodedImage reduced = Copy(1);
        if (!reduced.image.empty()) {
            cv::resize(reduced.image, reduced.image,
                       cv::Size((reduced.image.cols + denom - 1) / denom,
                                (reduced.image.rows + denom - 1) / denom),
                       0, 0, cv::INTER_AREA);
            reduced.denom = denom;
        }
        return decoded_.emplace(denom, std::move(reduced)).first->second;
    }

    // The one face on the upright photo, in its pixels, and the reduction it was found on; or
    // the refusal.
    std::optional<Correction> FindTheFace(FaceBox& face, int& denom) {
        std::vector<cv::Rect> faces;
        double to_photo = 1;
        for (const DetectionPass& pass : DetectionPasses(photo_, s_, targets_)) {
            const DecodedImage& copy = Copy(pass.denom);
            if (auto refused = RefuseUndecoded(copy)) {
                return refused;
            }
            faces = FindFaces(verifier_.Detector(), copy.image, s_.jc_precision, pass.min_face);
            to_photo = double(photo_.width) / copy.image.cols;
            denom = pass.denom;
            if (!faces.empty()) {
                break;
            }
        }
        if (faces.empty()) {
            return Refuse("faces", "照片中未找到正面人脸，无法自动修正：请提交正面免冠照片",
                          {{"faces", 0}});
        }
        if (faces.size() > 1) {
            return Refuse("faces",
                          "照片中有 " + std::to_string(faces.size()) +
                              " 张人脸，须只有本人一人：请重新拍摄",
                          {{"faces", double(faces.size())}});
        }
        const cv::Rect& f = faces.front();
        face = {f.x * to_photo, f.y * to_photo, f.width * to_photo, f.height * to_photo};
        return std::nullopt;
    }

    // Work past its limit, or cancelled, ends as a photo that could not be decoded.
    std::optional<Correction> RefuseStopped() const {
        if (limit_.Stopped() == nullptr) {
            return std::nullopt;
        }
        return Refuse("undecodable", "照片处理时间过长，已停止，无法修正");
    }

    std::optional<Correction> RefuseUndecoded(const DecodedImage& copy) const {
        if (auto stopped = RefuseStopped()) {
            return stopped;
        }
        if (copy.damaged) {
            return Refuse("damaged",
                          "照片文件已损坏（数据不完整），无法修正：请重新提交完整的照片");
        }
        if (copy.transparent) {
            return Refuse(
                "transparent",
                "照片含有透明区域，无法修正：请提交不透明的照片（JPEG，或不带透明背景的 PNG）");
        }
        if (copy.image.empty()) {
            return Refuse("undecodable", "照片内容无法解码，无法修正");
        }
        return std::nullopt;
    }

    // The crop at the normalised size, saved by the photo writer and reviewed with every test;
    // the correction when it passes, a refusal when it cannot be made, nothing to try again.
    std::optional<Correction> CropSaveAndVerify(const Framing& framing, int detect_denom,
                                                ReviewResult& last) {
        const DecodedImage& source =
            Copy(std::min(detect_denom, CropDenominator(framing.crop, s_)));
        if (auto refused = RefuseUndecoded(source)) {
            return refused;
        }
        cv::Mat normalised = CutAndScale(source.image, photo_, framing.crop, s_);
        PreparedPhoto saved = PreparePassedPhoto(normalised, s_);
        if (saved.outcome.status != SaveStatus::Saved) {
            return Refuse("writer", "修正后的照片无法保存：" + saved.outcome.Message());
        }
        last = verifier_.ReviewBytes(saved.bytes.data(), saved.bytes.size(), &limit_);
        if (last.verdict != CheckVerdict::Passed) {
            return std::nullopt;
        }
        Correction c;
        c.status = CorrectionStatus::Corrected;
        c.crop = framing.crop;
        c.scale = framing.scale;
        c.quality = saved.outcome.quality;
        c.bytes = std::move(saved.bytes);
        c.photo = normalised;
        c.review = last;
        return c;
    }

    // After a crop that missed on the face's placement: the face as the review found it in the
    // crop, in the photo's pixels, to plan the next crop from. False when there is nothing to
    // plan again from.
    bool PlannedAgain(const ReviewResult& last, const Framing& framing, FaceBox& face) const {
        const bool placement = last.verdict == CheckVerdict::PlacementWrong ||
                               last.verdict == CheckVerdict::NotCentred;
        if (!placement || !last.measures.face) {
            return false;
        }
        const cv::Rect& seen = *last.measures.face;
        const double back = double(framing.crop.width) / s_.dst_width;
        face = {framing.crop.x + seen.x * back, framing.crop.y + seen.y * back, seen.width * back,
                seen.height * back};
        return true;
    }

    // The verifying review has the last word.
    Correction RefuseAfter(ReviewResult last, int rounds) const {
        const Explanation why = Explain(last, s_);
        Correction refused =
            last.verdict == CheckVerdict::BackgroundRejected
                ? Refuse("background",
                         "修正后背景仍不合格：" + why.text + "。请在浅色纯色背景前重新拍摄")
                : Refuse("verdict", "修正后仍未通过审核（" +
                                        std::string(VerdictName(last.verdict)) + "）：" + why.text);
        refused.rounds = rounds;
        refused.review = std::move(last);
        return refused;
    }

    Correction Formatted(Correction c) const {
        c.format = FormatName(info_.format);
        return c;
    }

    const unsigned char* data_;
    size_t size_;
    const ImageInfo& info_;
    cv::Size photo_;
    const CheckSettings& s_;
    const FramingTargets& targets_;
    PhotoReviewer& verifier_;
    const WorkLimit& limit_;
    std::map<int, DecodedImage> decoded_;
};

Correction PhotoCorrector::Correct(const unsigned char* data, size_t size,
                                   const ReviewResult& original, const WorkLimit* limit) {
    if (IsPass(original.verdict)) {
        Correction c = Refuse("passed", "照片已通过审核，无需修正");
        c.status = CorrectionStatus::AlreadyPasses;
        return c;
    }
    Correction untried = RefuseUntried(original);
    if (!untried.rule.empty()) {
        return untried;
    }
    const auto info = SniffImage(data, size);
    if (!info) {
        return Refuse("not_a_photo", "文件不是可以识别的照片（支持 JPEG、PNG、WebP、BMP、TIFF）");
    }
    const int64_t pixels = int64_t{info->width} * info->height;
    if (pixels > kMaxDecodedPixels) {
        return Refuse("too_many_pixels", "照片像素过多，无法处理",
                      {{"pixels", double(pixels)}, {"pixels_max", double(kMaxDecodedPixels)}});
    }
    const WorkLimit bounded =
        (limit != nullptr ? *limit : WorkLimit()).Tightened(kCorrectionTimeLimit);
    return CorrectionRun(data, size, *info, settings_, targets_, verifier_, bounded).Run();
}

} // namespace vrel
