#include "correct/correction.h"

#include "check/background.h"
#include "check/jpeg_decode.h"
#include "correct/image_input.h"
#include "output/photo_writer.h"
#include "quality/measures.h"

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

Correction Refuse(CorrectionRule rule, std::vector<std::pair<std::string, double>> numbers = {},
                  std::string detail = {}) {
    Correction c;
    c.status = CorrectionStatus::Refused;
    c.rule = rule;
    c.numbers = numbers;
    c.blockers = {{rule, std::move(numbers), std::move(detail)}};
    return c;
}

// photo: the photo's own size, for the size a new one would need.
CorrectionBlocker FramingBlocker(const Framing& f, cv::Size photo) {
    switch (f.problem) {
    case FramingProblem::TooSmall: {
        const double more = f.needed / f.available;
        CorrectionBlocker b{CorrectionRule::TooSmall,
                            {{"enlargement_needed", f.needed},
                             {"enlargement_max", f.available},
                             {"width", photo.width},
                             {"height", photo.height},
                             {"min_width", std::ceil(photo.width * more)},
                             {"min_height", std::ceil(photo.height * more)}}};
        b.photo_too_small = f.photo_too_small;
        return b;
    }
    case FramingProblem::SpaceAbove:
        return {CorrectionRule::SpaceAbove, {{"pixels_missing", f.needed}}};
    case FramingProblem::SpaceBelow:
        return {CorrectionRule::SpaceBelow, {{"pixels_missing", f.needed}}};
    case FramingProblem::SpaceLeft:
        return {CorrectionRule::SpaceLeft, {{"pixels_missing", f.needed}}};
    case FramingProblem::SpaceRight:
        return {CorrectionRule::SpaceRight, {{"pixels_missing", f.needed}}};
    case FramingProblem::None:
        break;
    }
    return {CorrectionRule::SpaceAbove, {}};
}

// A review's own refusal, for photos that cannot be corrected without trying.
std::optional<Correction> RefuseUntried(const ReviewResult& original) {
    switch (original.failed.rule) {
    case Rule::Readable:
        return Refuse(CorrectionRule::Unreadable, {}, original.error.Detail());
    case Rule::Damaged:
        return Refuse(CorrectionRule::Damaged);
    case Rule::DecodeCeiling:
        return Refuse(
            CorrectionRule::TooManyPixels,
            {{"pixels", original.failed.value}, {"pixels_max", original.failed.max.value_or(0)}});
    case Rule::Undecodable:
        return Refuse(CorrectionRule::Undecodable);
    case Rule::Settings:
    case Rule::ReviewFailed:
        return Refuse(CorrectionRule::Review, {}, original.error.Detail());
    default:
        return std::nullopt;
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

// The crop of a canvas at the normalised size; where it reaches beyond the canvas, the canvas is
// extended with the fill colour.
cv::Mat CutAndScale(const cv::Mat& source, const cv::Rect& crop, const CheckSettings& s,
                    const cv::Vec3b& fill) {
    const cv::Rect inside = crop & cv::Rect(0, 0, source.cols, source.rows);
    cv::Mat cut = source(inside);
    if (inside != crop) {
        const Overhang o = OverhangOf(crop, source.size());
        cv::copyMakeBorder(cut, cut, o.top, o.bottom, o.left, o.right, cv::BORDER_CONSTANT,
                           cv::Scalar(fill[0], fill[1], fill[2]));
    }
    cv::Mat out;
    const bool shrink = cut.cols >= s.dst_width;
    cv::resize(cut, out, cv::Size(s.dst_width, s.dst_height), 0, 0,
               shrink ? cv::INTER_AREA : cv::INTER_LINEAR);
    return out;
}

} // namespace

std::optional<double> MeasureHeadRoll(const cv::Mat& photo, const cv::Rect& face,
                                      QualityAdvisor& advisor) {
    const cv::Rect around = cv::Rect(face.x - face.width / 2, face.y - face.height / 2,
                                     face.width * 2, face.height * 2) &
                            cv::Rect(cv::Point(), photo.size());
    if (around.empty()) {
        return std::nullopt;
    }
    std::vector<double> rolls;
    for (const double scale : {1.0, 0.87, 1.15}) {
        cv::Mat region;
        cv::resize(photo(around), region, cv::Size(), scale, scale,
                   scale < 1 ? cv::INTER_AREA : cv::INTER_LINEAR);
        const cv::Rect scaled(static_cast<int>((face.x - around.x) * scale),
                              static_cast<int>((face.y - around.y) * scale),
                              static_cast<int>(face.width * scale),
                              static_cast<int>(face.height * scale));
        const std::optional<QualityMeasures> m = advisor.Measure(region, scaled);
        if (m && m->roll) {
            rolls.push_back(*m->roll);
        }
    }
    // The roll that two measures agree on: the middle one of three, the mean of two.
    std::sort(rolls.begin(), rolls.end());
    if (rolls.size() == 2 && rolls[1] - rolls[0] <= kRollAgreement) {
        return (rolls[0] + rolls[1]) / 2;
    }
    if (rolls.size() == 3 && std::min(rolls[1] - rolls[0], rolls[2] - rolls[1]) <= kRollAgreement) {
        return rolls[1];
    }
    return std::nullopt;
}

const char* CorrectionRuleName(CorrectionRule rule) {
    switch (rule) {
    case CorrectionRule::None:
        return "none";
    case CorrectionRule::Passed:
        return "passed";
    case CorrectionRule::Unreadable:
        return "unreadable";
    case CorrectionRule::Damaged:
        return "damaged";
    case CorrectionRule::TooManyPixels:
        return "too_many_pixels";
    case CorrectionRule::Undecodable:
    case CorrectionRule::Stopped:
        return "undecodable";
    case CorrectionRule::Review:
        return "review";
    case CorrectionRule::NotAPhoto:
        return "not_a_photo";
    case CorrectionRule::Transparent:
        return "transparent";
    case CorrectionRule::Faces:
        return "faces";
    case CorrectionRule::TooSmall:
        return "too_small";
    case CorrectionRule::Tilt:
        return "tilt";
    case CorrectionRule::Background:
        return "background";
    case CorrectionRule::SpaceAbove:
        return "space_above";
    case CorrectionRule::SpaceBelow:
        return "space_below";
    case CorrectionRule::SpaceLeft:
        return "space_left";
    case CorrectionRule::SpaceRight:
        return "space_right";
    case CorrectionRule::Writer:
        return "writer";
    case CorrectionRule::Verdict:
        return "verdict";
    }
    return "unknown";
}

bool MayCorrect(const ReviewResult& review) {
    return !IsPass(review.verdict) && !RefuseUntried(review);
}

const char* StepName(CorrectionStep step) {
    switch (step) {
    case CorrectionStep::Convert:
        return "convert";
    case CorrectionStep::Reframe:
        return "reframe";
    case CorrectionStep::Backdrop:
        return "backdrop";
    case CorrectionStep::Straighten:
        return "straighten";
    case CorrectionStep::Extend:
        return "extend";
    }
    return "unknown";
}

PhotoCorrector::PhotoCorrector(const CheckSettings& settings, std::string data_dir,
                               BackdropColour backdrop)
    : settings_(settings), targets_(TargetsFor(settings)), backdrop_(std::move(backdrop)),
      verifier_(settings, data_dir, VerifyingReview()) {
    const std::string model = verifier_.DataDir() + kBackdropModelFile;
    Result<BackdropReplacer> loaded = BackdropReplacer::Load(model);
    if (loaded) {
        replacer_.emplace(std::move(*loaded));
    } else {
        setup_error_ = loaded.Err();
    }
}

Correction PhotoCorrector::CorrectFile(const std::string& path, const ReviewResult& original,
                                       const WorkLimit* limit,
                                       const std::optional<BackdropColour>& backdrop) {
    FileSource file;
    std::vector<unsigned char> bytes;
    if (const Error error = file.Open(path)) {
        return Refuse(CorrectionRule::Unreadable, {}, error.Detail());
    }
    if (const Error error = file.ReadAll(bytes)) {
        return Refuse(CorrectionRule::Unreadable, {}, error.Detail());
    }
    return Correct(bytes.data(), bytes.size(), original, limit, backdrop);
}

// A working copy of the photo that crops are cut from: reduced, perhaps turned upright, perhaps
// laid on a new backdrop.
struct Canvas {
    cv::Mat image;       // CV_8UC3: the reduced copy, turned upright where the head leans
    cv::Rect inner;      // its own pixels: all of it, or the upright rectangle inside the turn
    double to_photo = 1; // photo pixels per canvas pixel
    FaceBox face;        // in canvas pixels
    // The plain backdrop's colour, where the canvas may be extended with it (and the corners a
    // turn opened are filled with it).
    std::optional<cv::Vec3b> fill;
};

// The colour of a plain wall that the review's backdrop test takes: the top corners and the
// sides above the face are one even colour; nullopt otherwise.
std::optional<cv::Vec3b> PlainWallColour(const cv::Mat& image, const FaceBox& f,
                                         const CheckSettings& s) {
    const int rows = std::max(2, image.rows / 30);
    const int corner = std::max(2, image.cols / 5);
    const int side = std::max(2, image.cols / 50);
    const int above_face = std::clamp(static_cast<int>(f.y), 0, image.rows);
    if (above_face < 2 * rows || image.cols < 2 * corner) {
        return std::nullopt;
    }
    const cv::Rect patches[] = {{0, 0, corner, rows},
                                {image.cols - corner, 0, corner, rows},
                                {0, 0, side, above_face},
                                {image.cols - side, 0, side, above_face}};
    cv::Scalar first;
    cv::Vec3d sum;
    for (const cv::Rect& r : patches) {
        cv::Scalar mean, spread;
        cv::meanStdDev(image(r), mean, spread);
        if (std::max({spread[0], spread[1], spread[2]}) > 12) {
            return std::nullopt;
        }
        if (&r == &patches[0]) {
            first = mean;
        } else if (std::max({std::abs(mean[0] - first[0]), std::abs(mean[1] - first[1]),
                             std::abs(mean[2] - first[2])}) > 16) {
            return std::nullopt;
        }
        sum += cv::Vec3d(mean[0], mean[1], mean[2]);
    }
    const cv::Vec3b colour(cv::saturate_cast<uchar>(sum[0] / 4),
                           cv::saturate_cast<uchar>(sum[1] / 4),
                           cv::saturate_cast<uchar>(sum[2] / 4));
    if (!BackdropColourAccepted({"", colour}, s)) {
        return std::nullopt;
    }
    return colour;
}

// The median colour of an image's border: what the corners a turn opens are filled with where
// the backdrop is not plain (the new backdrop takes it away).
cv::Vec3b BorderColour(const cv::Mat& image) {
    std::vector<uchar> channels[3];
    auto add = [&](const cv::Vec3b& p) {
        for (int c = 0; c < 3; ++c) {
            channels[c].push_back(p[c]);
        }
    };
    for (int x = 0; x < image.cols; x += 4) {
        add(image.at<cv::Vec3b>(0, x));
    }
    for (int y = 0; y < image.rows; y += 4) {
        add(image.at<cv::Vec3b>(y, 0));
        add(image.at<cv::Vec3b>(y, image.cols - 1));
    }
    cv::Vec3b median;
    for (int c = 0; c < 3; ++c) {
        std::nth_element(channels[c].begin(), channels[c].begin() + channels[c].size() / 2,
                         channels[c].end());
        median[c] = channels[c][channels[c].size() / 2];
    }
    return median;
}

cv::Rect FaceRect(const FaceBox& f, cv::Size within) {
    const cv::Rect r(static_cast<int>(std::lround(f.x)), static_cast<int>(std::lround(f.y)),
                     static_cast<int>(std::lround(f.w)), static_cast<int>(std::lround(f.h)));
    return r & cv::Rect(cv::Point(), within);
}

// The columns above the face where the hair can be: a quarter of its width either side.
std::pair<int, int> CrownSpan(const FaceBox& f, int width) {
    return {std::clamp(static_cast<int>(f.x - 0.25 * f.w), 0, width),
            std::clamp(static_cast<int>(f.x + 1.25 * f.w), 0, width)};
}

// The top of the hair on a plain wall: the highest row joined to the face (gaps of at most
// a twentieth of the face's height) that differs from the wall's colour at the photo's top.
// nullopt where the top is not plain or the hair seems to reach implausibly high.
std::optional<double> PlainWallCrown(const cv::Mat& image, const FaceBox& f) {
    const auto [x0, x1] = CrownSpan(f, image.cols);
    const int top_rows = std::max(2, image.rows / 50);
    const int face_top = std::clamp(static_cast<int>(f.y), 0, image.rows);
    if (x1 - x0 < 8 || face_top <= top_rows) {
        return std::nullopt;
    }
    cv::Scalar mean, spread;
    cv::meanStdDev(image(cv::Range(0, top_rows), cv::Range(x0, x1)), mean, spread);
    if (std::max({spread[0], spread[1], spread[2]}) > 12) {
        return std::nullopt;
    }
    const int enough = std::max(2, (x1 - x0) / 50);
    const int max_gap = std::max(3, static_cast<int>(0.05 * f.h));
    int crown = face_top, gap = 0;
    for (int y = face_top; y >= 0 && gap <= max_gap; --y) {
        const cv::Vec3b* row = image.ptr<cv::Vec3b>(y);
        int differs = 0;
        for (int x = x0; x < x1; ++x) {
            for (int c = 0; c < 3; ++c) {
                if (std::abs(row[x][c] - mean[c]) > 40) {
                    ++differs;
                    break;
                }
            }
        }
        if (differs >= enough) {
            crown = y;
            gap = 0;
        } else {
            ++gap;
        }
    }
    if (crown < f.y - f.h) {
        return std::nullopt;
    }
    return crown;
}

// The top of the person's matte above the face.
std::optional<double> MatteCrown(const cv::Mat& alpha, const FaceBox& f) {
    const auto [x0, x1] = CrownSpan(f, alpha.cols);
    const int enough = std::max(2, (x1 - x0) / 100);
    for (int y = 0; y < std::min(alpha.rows, static_cast<int>(f.y + f.h)); ++y) {
        if (x1 > x0 && cv::countNonZero(alpha.row(y).colRange(x0, x1) > 127) >= enough) {
            return y;
        }
    }
    return std::nullopt;
}

// The largest upright rectangle inside a w x h photo turned by degrees about its own centre,
// with the same centre.
cv::Size2d InsideTurned(double w, double h, double degrees) {
    const double a = std::abs(degrees) * CV_PI / 180;
    const double sin_a = std::sin(a), cos_a = std::cos(a);
    const double long_side = std::max(w, h), short_side = std::min(w, h);
    if (short_side <= 2 * sin_a * cos_a * long_side || std::abs(sin_a - cos_a) < 1e-10) {
        const double x = 0.5 * short_side;
        return w >= h ? cv::Size2d(x / sin_a, x / cos_a) : cv::Size2d(x / cos_a, x / sin_a);
    }
    const double cos_2a = cos_a * cos_a - sin_a * sin_a;
    return {(w * cos_a - h * sin_a) / cos_2a, (h * cos_a - w * sin_a) / cos_2a};
}

// How fundamental a blocker is: what must change first in a new photo.
int Rank(CorrectionRule rule) {
    static const CorrectionRule order[] = {CorrectionRule::Faces,      CorrectionRule::TooSmall,
                                           CorrectionRule::Tilt,       CorrectionRule::Background,
                                           CorrectionRule::SpaceAbove, CorrectionRule::SpaceBelow,
                                           CorrectionRule::SpaceLeft,  CorrectionRule::SpaceRight};
    for (size_t i = 0; i < std::size(order); ++i) {
        if (rule == order[i]) {
            return static_cast<int>(i);
        }
    }
    return static_cast<int>(std::size(order));
}

Correction RefuseAll(std::vector<CorrectionBlocker> blockers) {
    std::stable_sort(blockers.begin(), blockers.end(),
                     [](const auto& a, const auto& b) { return Rank(a.rule) < Rank(b.rule); });
    Correction c = Refuse(blockers.front().rule, blockers.front().numbers);
    c.blockers = std::move(blockers);
    return c;
}

// One correction, as its steps: refuse what cannot be tried, find the one face and measure what
// stands in the way, then try the least change first: the photo as it is, a new framing, a new
// backdrop with the framing; a tilted head is turned upright before the framing.
class CorrectionRun {
public:
    struct Tools {
        const CheckSettings& settings;
        const FramingTargets& targets;
        PhotoReviewer& verifier;
        BackdropReplacer* replacer; // null without the model
        const Error& setup_error;
        const BackdropColour& colour;
    };

    CorrectionRun(const unsigned char* data, size_t size, const ImageInfo& info,
                  const ReviewResult& original, const Tools& tools, const WorkLimit& limit)
        : data_(data), size_(size), info_(info), photo_(info.width, info.height),
          original_(original), s_(tools.settings), targets_(tools.targets),
          verifier_(tools.verifier), replacer_(tools.replacer), setup_error_(tools.setup_error),
          colour_(tools.colour), limit_(limit) {}

    Correction Run() {
        FaceBox face;
        int denom = 1;
        if (auto refused = FindTheFace(face, denom)) {
            return Formatted(std::move(*refused));
        }
        std::vector<CorrectionBlocker> blockers;
        const Framing first = PlanCrop(face, photo_, s_, targets_);
        if (first.problem == FramingProblem::TooSmall) {
            blockers.push_back(FramingBlocker(first, photo_));
        }
        roll_ = MeasureRollOn(face, denom);
        // Said in whole degrees, so a roll that rounds to the bound is within it.
        if (roll_ && std::lround(std::abs(*roll_)) > kMaxStraighten) {
            blockers.push_back(
                {CorrectionRule::Tilt, {{"roll", *roll_}, {"roll_max", kMaxStraighten}}});
        }
        if (!blockers.empty()) {
            if (original_.verdict == CheckVerdict::BackgroundRejected ||
                CornersWrong(Copy(denom).image)) {
                blockers.push_back(BackdropBlocker(nullptr));
            }
            Correction refused = RefuseAll(std::move(blockers));
            refused.roll = roll_;
            return Formatted(std::move(refused));
        }

        const bool straighten = roll_ && std::abs(*roll_) >= kStraightenFrom;
        ReviewResult last;
        if (!straighten && ConvertMayDo()) {
            if (auto done = TryConvert(last)) {
                return Finished(std::move(*done), {});
            }
        }
        Canvas canvas;
        if (auto refused = MakeCanvas(face, first, denom, straighten, canvas)) {
            return Formatted(*refused);
        }
        canvas.face.crown = PlainWallCrown(canvas.image, canvas.face);
        // Least change first: a crop inside the photo; on a plain wall that the review takes,
        // a crop that extends the photo with the wall's colour.
        Framing framing = PlanOn(canvas, canvas.face, false);
        if (framing.problem == FramingProblem::None) {
            if (auto done = TryReframe(canvas, false, last)) {
                return Finished(std::move(*done), {CorrectionStep::Reframe});
            }
        }
        if (canvas.fill && framing.problem != FramingProblem::None) {
            framing = PlanOn(canvas, canvas.face, true);
            if (framing.problem == FramingProblem::None) {
                if (auto done = TryReframe(canvas, true, last)) {
                    return Finished(std::move(*done), {CorrectionStep::Reframe});
                }
            }
        }
        bool backdrop_wrong = original_.verdict == CheckVerdict::BackgroundRejected ||
                              last.verdict == CheckVerdict::BackgroundRejected;
        if (!backdrop_wrong && framing.problem != FramingProblem::None && !canvas.fill) {
            backdrop_wrong = CornersWrong(canvas.image(canvas.inner));
        }
        std::optional<BackdropResult> replaced;
        if (backdrop_wrong && replacer_ != nullptr) {
            if (auto stopped = RefuseStopped()) {
                return Formatted(*stopped);
            }
            replaced = replacer_->Replace(
                canvas.image, FaceRect(canvas.face, canvas.image.size()),
                cv::Scalar(colour_.bgr[0], colour_.bgr[1], colour_.bgr[2]), &limit_);
            if (replaced->refusal == BackdropRefusal::Stopped) {
                return Formatted(RefuseStopped().value_or(Refuse(CorrectionRule::Stopped)));
            }
            if (replaced->Replaced()) {
                // The new backdrop is plain: room above and beside the person costs nothing.
                Canvas on_colour = canvas;
                on_colour.image = replaced->photo;
                on_colour.fill = colour_.bgr;
                on_colour.face.crown = MatteCrown(replaced->alpha, canvas.face);
                for (const bool extend : {false, true}) {
                    framing = PlanOn(on_colour, on_colour.face, extend);
                    if (framing.problem != FramingProblem::None) {
                        continue;
                    }
                    if (auto done = TryReframe(on_colour, extend, last)) {
                        return Finished(std::move(*done),
                                        {CorrectionStep::Reframe, CorrectionStep::Backdrop});
                    }
                    backdrop_wrong = last.verdict == CheckVerdict::BackgroundRejected;
                    break;
                }
            }
        }
        if (backdrop_wrong) {
            blockers.push_back(BackdropBlocker(replaced ? &*replaced : nullptr));
        }
        if (framing.problem != FramingProblem::None) {
            blockers.push_back(FramingBlocker(framing, photo_));
        }
        if (blockers.empty()) {
            return Formatted(RefuseAfter(std::move(last), rounds_));
        }
        Correction refused = RefuseAll(std::move(blockers));
        refused.rounds = rounds_;
        refused.roll = roll_;
        if (last.verdict != CheckVerdict::NotJpeg || last.error) {
            refused.review = std::move(last);
        }
        return Formatted(std::move(refused));
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
            return Refuse(CorrectionRule::Faces, {{"faces", 0}});
        }
        if (faces.size() > 1) {
            return Refuse(CorrectionRule::Faces, {{"faces", double(faces.size())}});
        }
        const cv::Rect& f = faces.front();
        face = {f.x * to_photo, f.y * to_photo, f.width * to_photo, f.height * to_photo,
                std::nullopt};
        return std::nullopt;
    }

    // The head's roll from the eyes, on the copy the face was found on, or where the eyes are
    // not found there, on the copy half its size (the eye detector's windows are few sizes).
    std::optional<double> MeasureRollOn(const FaceBox& face, int denom) {
        for (const int d : {denom, denom * 2}) {
            const DecodedImage& copy = Copy(d);
            const double k = double(copy.image.cols) / photo_.width;
            if (copy.image.empty() || face.w * k < 2 * quality::kMinFaceWidth) {
                break;
            }
            if (auto roll = MeasureHeadRoll(
                    copy.image,
                    FaceRect({face.x * k, face.y * k, face.w * k, face.h * k, std::nullopt},
                             copy.image.size()),
                    verifier_.Advisor())) {
                return roll;
            }
        }
        return std::nullopt;
    }

    // Whether the top corners would fail the review's backdrop test on the image normalised.
    bool CornersWrong(const cv::Mat& image) const {
        if (image.empty()) {
            return false;
        }
        cv::Mat normalised;
        cv::resize(image, normalised, cv::Size(s_.dst_width, s_.dst_height), 0, 0, cv::INTER_AREA);
        return !CheckBackground(normalised, s_).passed;
    }

    // A wrong backdrop: why it was not replaced (the replacement's refusal, or no model).
    CorrectionBlocker BackdropBlocker(const BackdropResult* replaced) const {
        CorrectionBlocker b{CorrectionRule::Background, {}};
        if (replaced != nullptr && !replaced->Replaced()) {
            b.backdrop = replaced->refusal;
            b.numbers = replaced->numbers;
        } else if (replaced == nullptr && replacer_ == nullptr) {
            b.detail = setup_error_.Detail();
        }
        return b;
    }

    // Only what the review stopped at before the face tests can a conversion alone mend.
    bool ConvertMayDo() const {
        return original_.verdict == CheckVerdict::NotJpeg ||
               original_.verdict == CheckVerdict::FileSizeOutOfRange ||
               original_.verdict == CheckVerdict::PixelSizeOutOfRange;
    }

    // The photo as it is, at the normalised width with its own proportions, saved and verified.
    std::optional<Correction> TryConvert(ReviewResult& last) {
        const int width = s_.dst_width;
        const int height =
            static_cast<int>(std::lround(double(width) * photo_.height / photo_.width));
        const double enlarge = double(width) / photo_.width;
        if (height < s_.min_height || height > s_.max_height || width < s_.min_width ||
            width > s_.max_width || enlarge > targets_.max_enlarge) {
            return std::nullopt;
        }
        int denom = 1;
        for (int d : {8, 4, 2}) {
            if (photo_.width / d >= width && photo_.height / d >= height) {
                denom = d;
                break;
            }
        }
        const DecodedImage& source = Copy(denom);
        if (auto refused = RefuseUndecoded(source)) {
            return refused;
        }
        cv::Mat converted;
        cv::resize(source.image, converted, cv::Size(width, height), 0, 0,
                   source.image.cols >= width ? cv::INTER_AREA : cv::INTER_LINEAR);
        std::optional<Correction> done = SaveAndVerify(converted, last);
        if (done && done->status == CorrectionStatus::Corrected) {
            done->crop = cv::Rect(cv::Point(), photo_);
            done->scale = enlarge;
        }
        return done;
    }

    // The canvas that crops are cut from: a copy reduced as far as the first framing allows,
    // turned upright where the head leans and cut to what lies inside the turned photo.
    std::optional<Correction> MakeCanvas(const FaceBox& face, const Framing& first, int denom,
                                         bool straighten, Canvas& canvas) {
        int d = std::min(
            denom, first.problem == FramingProblem::None ? CropDenominator(first.crop, s_) : 1);
        if (straighten && d > 1) {
            d /= 2; // the turned photo's crop is smaller
        }
        const DecodedImage& copy = Copy(d);
        if (auto refused = RefuseUndecoded(copy)) {
            return refused;
        }
        const double k = double(copy.image.cols) / photo_.width;
        canvas.to_photo = 1 / k;
        canvas.face = {face.x * k, face.y * k, face.w * k, face.h * k, std::nullopt};
        canvas.fill = PlainWallColour(copy.image, canvas.face, s_);
        canvas.inner = cv::Rect(cv::Point(), copy.image.size());
        if (!straighten) {
            canvas.image = copy.image;
            return std::nullopt;
        }
        // Turned about the face, which keeps its place; the corners the turn opens are filled
        // with the wall's colour.
        const cv::Point2f centre(static_cast<float>(canvas.face.x + canvas.face.w / 2),
                                 static_cast<float>(canvas.face.y + canvas.face.h / 2));
        const cv::Mat turn = cv::getRotationMatrix2D(centre, -*roll_, 1.0);
        const cv::Vec3b fill = canvas.fill.value_or(BorderColour(copy.image));
        cv::warpAffine(copy.image, canvas.image, turn, copy.image.size(), cv::INTER_LINEAR,
                       cv::BORDER_CONSTANT, cv::Scalar(fill[0], fill[1], fill[2]));
        // The photo's own centre after the turn, and the upright rectangle inside it.
        const cv::Point2d c(copy.image.cols / 2.0, copy.image.rows / 2.0);
        const cv::Point2d moved(
            turn.at<double>(0, 0) * c.x + turn.at<double>(0, 1) * c.y + turn.at<double>(0, 2),
            turn.at<double>(1, 0) * c.x + turn.at<double>(1, 1) * c.y + turn.at<double>(1, 2));
        const cv::Size2d inside = InsideTurned(copy.image.cols, copy.image.rows, *roll_);
        canvas.inner =
            cv::Rect(static_cast<int>(std::ceil(moved.x - inside.width / 2)) + 1,
                     static_cast<int>(std::ceil(moved.y - inside.height / 2)) + 1,
                     static_cast<int>(inside.width) - 2, static_cast<int>(inside.height) - 2) &
            cv::Rect(cv::Point(), canvas.image.size());
        return std::nullopt;
    }

    // The targets on a canvas: its enlargement bound is the photo's, not the reduced copy's.
    FramingTargets TargetsOn(const Canvas& canvas) const {
        FramingTargets t = targets_;
        t.max_enlarge = targets_.max_enlarge * canvas.to_photo;
        return t;
    }

    // A framing on the canvas: inside its own pixels, or where it has a plain backdrop and
    // extend is set, reaching beyond them above and beside (never below them).
    Framing PlanOn(const Canvas& canvas, const FaceBox& face, bool extend) const {
        if (extend && canvas.fill) {
            CanvasRoom room;
            room.extend = true;
            room.bottom = canvas.inner.y + canvas.inner.height;
            return PlanCrop(face, canvas.image.size(), s_, TargetsOn(canvas), room);
        }
        const cv::Point at = canvas.inner.tl();
        FaceBox within = face;
        within.x -= at.x;
        within.y -= at.y;
        if (within.crown) {
            *within.crown -= at.y;
        }
        Framing framing = PlanCrop(within, canvas.inner.size(), s_, TargetsOn(canvas));
        framing.crop += at;
        return framing;
    }

    // New crops of the canvas, a few rounds at most. A pass whose ratios lie inside their
    // intervals with the planned margin is kept at once; another pass only when no later
    // round gets there.
    std::optional<Correction> TryReframe(const Canvas& canvas, bool extend, ReviewResult& last) {
        FaceBox face = canvas.face;
        std::optional<Correction> passed;
        for (int round = 1; round <= kMaxRounds; ++round) {
            if (auto stopped = RefuseStopped()) {
                return stopped;
            }
            const Framing framing = PlanOn(canvas, face, extend);
            if (framing.problem != FramingProblem::None) {
                break;
            }
            rounds_ = std::max(rounds_, round);
            const cv::Mat normalised = CutAndScale(canvas.image, framing.crop, s_,
                                                   canvas.fill.value_or(cv::Vec3b(0, 0, 0)));
            std::optional<Correction> done = SaveAndVerify(normalised, last);
            if (done && done->status == CorrectionStatus::Refused) {
                return done;
            }
            if (done) {
                const cv::Rect& c = framing.crop;
                done->crop = cv::Rect(static_cast<int>(std::lround(c.x * canvas.to_photo)),
                                      static_cast<int>(std::lround(c.y * canvas.to_photo)),
                                      static_cast<int>(std::lround(c.width * canvas.to_photo)),
                                      static_cast<int>(std::lround(c.height * canvas.to_photo)));
                done->scale = double(s_.dst_width) / done->crop.width;
                // What the crop adds beyond the photo's own pixels, in the corrected photo's.
                if ((c & canvas.inner) != c) {
                    const Overhang o = OverhangOf(c - canvas.inner.tl(), canvas.inner.size());
                    const double k = double(s_.dst_width) / c.width;
                    done->extended = Overhang{static_cast<int>(std::lround(o.top * k)),
                                              static_cast<int>(std::lround(o.left * k)),
                                              static_cast<int>(std::lround(o.right * k)), 0};
                }
                done->rounds = round;
                const ReviewMeasures& m = done->review.measures;
                if (m.ratio_y && m.ratio_x && RatiosWellInside(*m.ratio_y, *m.ratio_x, s_)) {
                    return done;
                }
                if (!passed) {
                    passed = std::move(done);
                }
            }
            if (!PlannedAgain(last, framing, face)) {
                break;
            }
        }
        return passed;
    }

    // The image saved by the photo writer and reviewed with every test: the correction when it
    // passes, a refusal when it cannot be saved, nothing when the review rejects it.
    std::optional<Correction> SaveAndVerify(const cv::Mat& image, ReviewResult& last) {
        PreparedPhoto saved = PreparePassedPhoto(image, s_);
        if (saved.outcome.status != SaveStatus::Saved) {
            return Refuse(CorrectionRule::Writer, {}, saved.outcome.error.Detail());
        }
        last = verifier_.ReviewBytes(saved.bytes.data(), saved.bytes.size(), &limit_);
        if (last.verdict != CheckVerdict::Passed) {
            return std::nullopt;
        }
        Correction c;
        c.status = CorrectionStatus::Corrected;
        c.quality = saved.outcome.quality;
        c.bytes = std::move(saved.bytes);
        c.photo = image;
        c.review = last;
        return c;
    }

    // After a pass, or a crop that missed on the face's placement: the face as the review found
    // it in the crop, in the canvas's pixels, to plan the next crop from. False when there is
    // nothing to plan again from.
    bool PlannedAgain(const ReviewResult& last, const Framing& framing, FaceBox& face) const {
        const bool placement = last.verdict == CheckVerdict::PlacementWrong ||
                               last.verdict == CheckVerdict::NotCentred ||
                               last.verdict == CheckVerdict::Passed;
        if (!placement || !last.measures.face) {
            return false;
        }
        const cv::Rect& seen = *last.measures.face;
        const double back = double(framing.crop.width) / s_.dst_width;
        const std::optional<double> crown = face.crown;
        face = {framing.crop.x + seen.x * back, framing.crop.y + seen.y * back, seen.width * back,
                seen.height * back, crown};
        return true;
    }

    Correction Finished(Correction c, std::vector<CorrectionStep> steps) const {
        c.steps = {CorrectionStep::Convert};
        c.steps.insert(c.steps.end(), steps.begin(), steps.end());
        if (roll_ && std::abs(*roll_) >= kStraightenFrom) {
            c.steps.push_back(CorrectionStep::Straighten);
        }
        if (c.extended) {
            c.steps.push_back(CorrectionStep::Extend);
        }
        c.roll = roll_;
        const auto& notes = c.review.measures.advisories;
        if (notes && std::any_of(notes->begin(), notes->end(),
                                 [](const AdvisoryNote& n) { return n.code == Advisory::Soft; })) {
            c.warnings.push_back(kWarningEnlarged);
        }
        return Formatted(std::move(c));
    }

    // Work past its limit, or cancelled, ends as a photo that could not be decoded.
    std::optional<Correction> RefuseStopped() const {
        if (limit_.Stopped() == nullptr) {
            return std::nullopt;
        }
        return Refuse(CorrectionRule::Stopped);
    }

    std::optional<Correction> RefuseUndecoded(const DecodedImage& copy) const {
        if (auto stopped = RefuseStopped()) {
            return stopped;
        }
        if (copy.damaged) {
            return Refuse(CorrectionRule::Damaged);
        }
        if (copy.transparent) {
            return Refuse(CorrectionRule::Transparent);
        }
        if (copy.image.empty()) {
            return Refuse(CorrectionRule::Undecodable);
        }
        return std::nullopt;
    }

    // The verifying review has the last word; the report explains its verdict.
    Correction RefuseAfter(ReviewResult last, int rounds) const {
        Correction refused =
            Refuse(last.verdict == CheckVerdict::BackgroundRejected ? CorrectionRule::Background
                                                                    : CorrectionRule::Verdict);
        refused.blockers.front().verified = true;
        refused.rounds = rounds;
        refused.roll = roll_;
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
    const ReviewResult& original_;
    const CheckSettings& s_;
    const FramingTargets& targets_;
    PhotoReviewer& verifier_;
    BackdropReplacer* replacer_;
    const Error& setup_error_;
    const BackdropColour& colour_;
    const WorkLimit& limit_;
    std::map<int, DecodedImage> decoded_;
    std::optional<double> roll_;
    int rounds_ = 0;
};

Correction PhotoCorrector::Correct(const unsigned char* data, size_t size,
                                   const ReviewResult& original, const WorkLimit* limit,
                                   const std::optional<BackdropColour>& backdrop) {
    if (IsPass(original.verdict)) {
        Correction c = Refuse(CorrectionRule::Passed);
        c.status = CorrectionStatus::AlreadyPasses;
        return c;
    }
    if (auto untried = RefuseUntried(original)) {
        return *untried;
    }
    const auto info = SniffImage(data, size);
    if (!info) {
        return Refuse(CorrectionRule::NotAPhoto);
    }
    const int64_t pixels = int64_t{info->width} * info->height;
    if (pixels > kMaxDecodedPixels) {
        return Refuse(CorrectionRule::TooManyPixels,
                      {{"pixels", double(pixels)}, {"pixels_max", double(kMaxDecodedPixels)}});
    }
    const WorkLimit bounded =
        (limit != nullptr ? *limit : WorkLimit()).Tightened(kCorrectionTimeLimit);
    const BackdropColour& colour = backdrop ? *backdrop : backdrop_;
    const CorrectionRun::Tools tools{
        settings_, targets_, verifier_, replacer_ ? &*replacer_ : nullptr, setup_error_, colour};
    return CorrectionRun(data, size, *info, original, tools, bounded).Run();
}

} // namespace vrel
