#include "correct/correction.h"

#include "check/background.h"
#include "check/borders.h"
#include "check/jpeg_decode.h"
#include "correct/canvas.h"
#include "correct/face_search.h"
#include "correct/image_input.h"
#include "output/photo_writer.h"
#include "quality/head_roll.h"
#include "quality/measures.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <map>
#include <optional>

namespace vrel {
namespace {

// Crops tried before the correction gives up: the detector's box moves a little with the scale,
// so a crop that misses is planned again from the box the review measured.
constexpr int kMaxRounds = 4;

ReviewOptions VerifyingReview() {
    ReviewOptions options;
    options.reuse_detector = true;
    options.ignore_marker = true;
    return options;
}

Correction Refuse(CorrectionRule rule, BlockerNumbers numbers = {}, std::string detail = {}) {
    Correction c;
    c.status = CorrectionStatus::Refused;
    c.rule = rule;
    c.numbers = numbers;
    c.blockers = {{rule, numbers, std::move(detail)}};
    return c;
}

// Every blocker that applies, the most fundamental first.
Correction RefuseAll(std::vector<CorrectionBlocker> blockers) {
    RankBlockers(blockers);
    Correction c = Refuse(blockers.front().rule, blockers.front().numbers);
    c.blockers = std::move(blockers);
    return c;
}

// photo: the photo's own size, for the size a new one would need.
CorrectionBlocker FramingBlocker(const Framing& f, cv::Size photo) {
    BlockerNumbers n;
    switch (f.problem) {
    case FramingProblem::TooSmall: {
        const double more = f.needed / f.available;
        n.enlargement_needed = f.needed;
        n.enlargement_max = f.available;
        n.width = photo.width;
        n.height = photo.height;
        n.min_width = std::ceil(photo.width * more);
        n.min_height = std::ceil(photo.height * more);
        CorrectionBlocker b{CorrectionRule::TooSmall, n};
        b.photo_too_small = f.photo_too_small;
        return b;
    }
    case FramingProblem::SpaceAbove:
    case FramingProblem::SpaceBelow:
    case FramingProblem::SpaceLeft:
    case FramingProblem::SpaceRight:
    case FramingProblem::None:
        break;
    }
    n.pixels_missing = f.needed;
    switch (f.problem) {
    case FramingProblem::SpaceBelow:
        return {CorrectionRule::SpaceBelow, n};
    case FramingProblem::SpaceLeft:
        return {CorrectionRule::SpaceLeft, n};
    case FramingProblem::SpaceRight:
        return {CorrectionRule::SpaceRight, n};
    default:
        return {CorrectionRule::SpaceAbove, n};
    }
}

// A review's own refusal, for photos that cannot be corrected without trying.
std::optional<Correction> RefuseUntried(const ReviewResult& original) {
    switch (original.failed.rule) {
    case Rule::Readable:
        return Refuse(CorrectionRule::Unreadable, {}, original.error.Detail());
    case Rule::Damaged:
        return Refuse(CorrectionRule::Damaged);
    case Rule::DecodeCeiling: {
        BlockerNumbers n;
        n.pixels = original.failed.value;
        n.pixels_max = original.failed.max.value_or(0);
        return Refuse(CorrectionRule::TooManyPixels, n);
    }
    case Rule::Undecodable:
        return Refuse(CorrectionRule::Undecodable);
    case Rule::Signature:
        // Nothing that any of the correction's decoders reads: an empty file, an iPhone's HEIC,
        // a GIF, a PDF, anything else.
        if (!original.measures.file_kind) {
            return std::nullopt; // not known: the decoders tell
        }
        switch (*original.measures.file_kind) {
        case FileKind::Png:
        case FileKind::Webp:
        case FileKind::Bmp:
        case FileKind::Tiff:
        case FileKind::Jpeg:
            return std::nullopt;
        default:
            return Refuse(CorrectionRule::NotAPhoto);
        }
    case Rule::Settings:
    case Rule::ReviewFailed:
        return Refuse(CorrectionRule::Review, {}, original.error.Detail());
    default:
        return std::nullopt;
    }
}

// What one attempt came to.
struct Attempt {
    enum class Kind {
        NotApplicable, // the attempt does not apply to this photo
        Corrected,     // the corrected photo passed
        Blocked,       // what stands in this attempt's way
    };
    Kind kind = Kind::NotApplicable;
    Correction corrected;
    std::vector<CorrectionBlocker> blockers;

    static Attempt NotApplicable() { return {}; }
    static Attempt Done(Correction c) { return {Kind::Corrected, std::move(c), {}}; }
    static Attempt Blocked(std::vector<CorrectionBlocker> blockers) {
        return {Kind::Blocked, {}, std::move(blockers)};
    }
};

// One correction: refuse what cannot be tried, find the one face and measure what stands in
// the way of any correction (a face too small, a head leaning too far), then the attempts,
// least change first. The first that corrects the photo ends the run; otherwise the blockers of
// the last attempt that applied are the refusal's.
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
        CutBorders();
        if (auto refused = FindTheFace()) {
            return Formatted(std::move(*refused));
        }
        first_ = PlanCrop(face_, photo_, s_, targets_);
        roll_ = MeasureRollOn();
        straighten_ = roll_ && std::abs(*roll_) >= kStraightenFrom;
        if (std::vector<CorrectionBlocker> blockers = Preconditions(); !blockers.empty()) {
            return Refused(std::move(blockers));
        }

        using Try = Attempt (CorrectionRun::*)();
        const std::pair<CorrectionStep, Try> attempts[] = {
            {CorrectionStep::Convert, &CorrectionRun::TryConvert},
            {CorrectionStep::Reframe, &CorrectionRun::TryReframe},
            {CorrectionStep::Straighten, &CorrectionRun::TryStraighten},
            {CorrectionStep::Extend, &CorrectionRun::TryExtend},
            {CorrectionStep::Backdrop, &CorrectionRun::TryBackdrop},
        };
        std::vector<CorrectionBlocker> blockers;
        for (const auto& [step, attempt] : attempts) {
            Attempt a = (this->*attempt)();
            if (a.kind == Attempt::Kind::Corrected) {
                return Finished(std::move(a.corrected), step);
            }
            if (a.kind == Attempt::Kind::NotApplicable) {
                continue;
            }
            const auto ends = std::find_if(a.blockers.begin(), a.blockers.end(),
                                           [](const auto& b) { return EndsTheCorrection(b.rule); });
            if (ends != a.blockers.end()) {
                return Refused({*ends});
            }
            blockers = std::move(a.blockers);
        }
        return Refused(std::move(blockers));
    }

private:
    // A copy of the photo reduced by denom, without its plain borders: a view into the whole
    // copy.
    const DecodedImage& Copy(int denom) {
        auto it = decoded_.find(denom);
        if (it != decoded_.end()) {
            return it->second;
        }
        DecodedImage copy = WholeCopy(denom);
        if (!copy.image.empty() && trimmed_) {
            const double kx = double(copy.image.cols) / info_.width;
            const double ky = double(copy.image.rows) / info_.height;
            const cv::Rect inside = cv::Rect(static_cast<int>(std::ceil(inside_.x * kx)),
                                             static_cast<int>(std::ceil(inside_.y * ky)),
                                             static_cast<int>(std::floor(inside_.width * kx)),
                                             static_cast<int>(std::floor(inside_.height * ky))) &
                                    cv::Rect(0, 0, copy.image.cols, copy.image.rows);
            copy.image = copy.image(inside);
        }
        return decoded_.emplace(denom, std::move(copy)).first->second;
    }

    // Plain borders (a screenshot's bars, a scan's margins) are cut off before anything else:
    // found on a copy about 480 pixels wide, and cut a pixel of the whole photo beyond.
    void CutBorders() {
        int denom = 1;
        while (denom < 8 && photo_.width / (denom * 2) >= 480 &&
               photo_.height / (denom * 2) >= 480) {
            denom *= 2;
        }
        const DecodedImage& copy = WholeCopy(denom);
        const std::optional<PlainBorders> b = FindPlainBorders(copy.image);
        if (!b || Stopped()) {
            return;
        }
        const double k = double(photo_.width) / copy.image.cols;
        const int beyond = static_cast<int>(std::ceil(k)) + 1;
        const auto cut = [&](int depth) {
            return depth > 0 ? static_cast<int>(depth * k) + beyond : 0;
        };
        const int left = cut(b->left), top = cut(b->top);
        const cv::Rect inside(left, top, photo_.width - left - cut(b->right),
                              photo_.height - top - cut(b->bottom));
        if (inside.width < photo_.width / 4 || inside.height < photo_.height / 4) {
            return;
        }
        inside_ = inside;
        trimmed_ = true;
        photo_ = inside.size();
    }

    // A copy of the whole photo reduced by denom, each decoded once: a JPEG's in the DCT
    // domain, any other format's reduced from its one full decoding.
    const DecodedImage& WholeCopy(int denom) {
        auto it = whole_.find(denom);
        if (it != whole_.end()) {
            return it->second;
        }
        if (info_.format == ImageFormat::Jpeg || denom == 1) {
            return whole_.emplace(denom, DecodeImage(data_, size_, info_, denom, &limit_))
                .first->second;
        }
        DecodedImage reduced = WholeCopy(1);
        if (!reduced.image.empty()) {
            cv::resize(reduced.image, reduced.image,
                       cv::Size((reduced.image.cols + denom - 1) / denom,
                                (reduced.image.rows + denom - 1) / denom),
                       0, 0, cv::INTER_AREA);
            reduced.denom = denom;
        }
        return whole_.emplace(denom, std::move(reduced)).first->second;
    }

    // The one face on the upright photo, in its pixels, and the reduction it was found on; or
    // the refusal.
    std::optional<Correction> FindTheFace() {
        std::vector<cv::Rect> faces;
        double to_photo = 1;
        for (const DetectionPass& pass : DetectionPasses(photo_, s_, targets_)) {
            const DecodedImage& copy = Copy(pass.denom);
            if (auto refused = Undecoded(copy)) {
                return Refuse(refused->rule, {}, refused->detail);
            }
            faces = FindFaces(verifier_.Detector(), copy.image, s_.jc_precision, pass.min_face);
            to_photo = double(photo_.width) / copy.image.cols;
            face_denom_ = pass.denom;
            if (!faces.empty()) {
                break;
            }
        }
        if (faces.size() != 1) {
            BlockerNumbers n;
            n.faces = double(faces.size());
            return Refuse(CorrectionRule::Faces, n);
        }
        const cv::Rect& f = faces.front();
        face_ = {f.x * to_photo, f.y * to_photo, f.width * to_photo, f.height * to_photo,
                 std::nullopt};
        return std::nullopt;
    }

    // The head's roll from the eyes, on the copy the face was found on, or where the eyes are
    // not found there, on the copy half its size (the eye detector's windows are few sizes).
    std::optional<double> MeasureRollOn() {
        for (const int d : {face_denom_, face_denom_ * 2}) {
            const DecodedImage& copy = Copy(d);
            const double k = double(copy.image.cols) / photo_.width;
            if (copy.image.empty() || face_.w * k < 2 * quality::kMinFaceWidth) {
                break;
            }
            if (auto roll = MeasureHeadRoll(
                    copy.image,
                    FaceRect({face_.x * k, face_.y * k, face_.w * k, face_.h * k, std::nullopt},
                             copy.image.size()),
                    verifier_.Advisor())) {
                return roll;
            }
        }
        return std::nullopt;
    }

    // What no attempt gets past: a face too small to enlarge to the size asked for, a head
    // leaning further than straightening reaches; with them, a wrong backdrop.
    std::vector<CorrectionBlocker> Preconditions() {
        std::vector<CorrectionBlocker> blockers;
        if (first_.problem == FramingProblem::TooSmall) {
            blockers.push_back(FramingBlocker(first_, photo_));
        }
        // Said in whole degrees, so a roll that rounds to the bound is within it.
        if (roll_ && std::lround(std::abs(*roll_)) > kMaxStraighten) {
            BlockerNumbers n;
            n.roll = *roll_;
            n.roll_max = kMaxStraighten;
            blockers.push_back({CorrectionRule::Tilt, n});
        }
        if (!blockers.empty() && (original_.verdict == CheckVerdict::BackgroundRejected ||
                                  CornersWrong(Copy(face_denom_).image))) {
            blockers.push_back(BackdropBlocker(nullptr));
        }
        return blockers;
    }

    // convert: only what the review stopped at before the face tests can the photo as it is
    // mend, at the normalised width with its own proportions.
    Attempt TryConvert() {
        const bool early = original_.verdict == CheckVerdict::NotJpeg ||
                           original_.verdict == CheckVerdict::FileSizeOutOfRange ||
                           original_.verdict == CheckVerdict::PixelSizeOutOfRange;
        const int width = s_.dst_width;
        const int height =
            static_cast<int>(std::lround(double(width) * photo_.height / photo_.width));
        const double enlarge = double(width) / photo_.width;
        if (straighten_ || !early || height < s_.min_height || height > s_.max_height ||
            width < s_.min_width || width > s_.max_width || enlarge > targets_.max_enlarge) {
            return Attempt::NotApplicable();
        }
        int denom = 1;
        for (int d : {8, 4, 2}) {
            if (photo_.width / d >= width && photo_.height / d >= height) {
                denom = d;
                break;
            }
        }
        const DecodedImage& source = Copy(denom);
        if (auto refused = Undecoded(source)) {
            return Attempt::Blocked({*refused});
        }
        cv::Mat converted;
        cv::resize(source.image, converted, cv::Size(width, height), 0, 0,
                   source.image.cols >= width ? cv::INTER_AREA : cv::INTER_LINEAR);
        Attempt a = SaveAndVerify(converted);
        if (a.kind == Attempt::Kind::Corrected) {
            a.corrected.crop = cv::Rect(cv::Point(), photo_);
            a.corrected.scale = enlarge;
        }
        return a;
    }

    // reframe: a crop inside the upright photo.
    Attempt TryReframe() { return straighten_ ? Attempt::NotApplicable() : TryInside(); }

    // straighten: a crop inside the photo turned upright.
    Attempt TryStraighten() { return straighten_ ? TryInside() : Attempt::NotApplicable(); }

    Attempt TryInside() {
        if (auto refused = EnsureCanvas()) {
            return Attempt::Blocked({*refused});
        }
        return Framed(false);
    }

    // extend: where room is what the crop inside lacks and the wall is plain and taken by the
    // review, a crop that extends the photo with the wall's colour.
    Attempt TryExtend() {
        if (room_.empty() || !canvas_.fill) {
            return Attempt::NotApplicable();
        }
        return Framed(true);
    }

    // The crops of the canvas, where a framing fits; otherwise the room it lacks.
    Attempt Framed(bool extend) {
        const Framing framing = PlanOn(canvas_, canvas_.face, extend, s_, targets_);
        if (framing.problem != FramingProblem::None) {
            room_ = {FramingBlocker(framing, photo_)};
            return Attempt::Blocked(room_);
        }
        return Crops(canvas_, extend);
    }

    // backdrop: a backdrop the review refuses, or one that is not plain where room is missing,
    // replaced with a plain colour; then a crop inside the photo, then one extended with the
    // new colour (room above and beside the person costs nothing on it).
    Attempt TryBackdrop() {
        const bool wrong =
            original_.verdict == CheckVerdict::BackgroundRejected ||
            last_.verdict == CheckVerdict::BackgroundRejected ||
            (!room_.empty() && !canvas_.fill && CornersWrong(canvas_.image(canvas_.inner)));
        // A backdrop that the review takes is replaced only to make room, where it can be.
        const bool for_room = !room_.empty() && !canvas_.fill && replacer_ != nullptr;
        if (!wrong && !for_room) {
            return Attempt::NotApplicable();
        }
        // What stands in the way where the backdrop stays: itself where it is wrong, and the
        // room the crop inside lacks.
        auto kept = [&](const BackdropResult* replaced) {
            std::vector<CorrectionBlocker> blockers = room_;
            if (wrong) {
                blockers.insert(blockers.begin(), BackdropBlocker(replaced));
            }
            return Attempt::Blocked(std::move(blockers));
        };
        if (replacer_ == nullptr) {
            return kept(nullptr);
        }
        if (auto stopped = Stopped()) {
            return Attempt::Blocked({*stopped});
        }
        const BackdropResult replaced =
            replacer_->Replace(canvas_.image, FaceRect(canvas_.face, canvas_.image.size()),
                               cv::Scalar(colour_.bgr[0], colour_.bgr[1], colour_.bgr[2]), &limit_);
        if (replaced.refusal == BackdropRefusal::Stopped) {
            return Attempt::Blocked(
                {Stopped().value_or(CorrectionBlocker(CorrectionRule::Stopped))});
        }
        if (!replaced.Replaced()) {
            return kept(&replaced);
        }
        const Canvas on_colour =
            OnNewBackdrop(canvas_, replaced.photo, replaced.alpha, colour_.bgr);
        Framing framing;
        for (const bool extend : {false, true}) {
            framing = PlanOn(on_colour, on_colour.face, extend, s_, targets_);
            if (framing.problem == FramingProblem::None) {
                return Crops(on_colour, extend);
            }
        }
        return Attempt::Blocked({FramingBlocker(framing, photo_)});
    }

    // The canvas that crops are cut from: a copy reduced as far as the first framing allows,
    // turned upright where the head leans.
    std::optional<CorrectionBlocker> EnsureCanvas() {
        if (!canvas_.image.empty()) {
            return std::nullopt;
        }
        int d =
            std::min(face_denom_,
                     first_.problem == FramingProblem::None ? CropDenominator(first_.crop, s_) : 1);
        if (straighten_ && d > 1) {
            d /= 2; // the turned photo's crop is smaller
        }
        const DecodedImage& copy = Copy(d);
        if (auto refused = Undecoded(copy)) {
            return refused;
        }
        canvas_ = MakeCanvas(copy.image, photo_, face_,
                             straighten_ ? roll_ : std::optional<double>(), s_);
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
        CorrectionBlocker b{CorrectionRule::Background};
        if (replaced != nullptr && !replaced->Replaced()) {
            b.backdrop = replaced->refusal;
            b.backdrop_measures = replaced->measures;
        } else if (replaced == nullptr && replacer_ == nullptr) {
            b.detail = setup_error_.Detail();
        }
        return b;
    }

    // New crops of the canvas, a few rounds at most. A pass whose ratios lie inside their
    // intervals with the planned margin is kept at once; another pass only when no later
    // round gets there.
    Attempt Crops(const Canvas& canvas, bool extend) {
        FaceBox face = canvas.face;
        std::optional<Correction> passed;
        for (int round = 1; round <= kMaxRounds; ++round) {
            if (auto stopped = Stopped()) {
                return Attempt::Blocked({*stopped});
            }
            const Framing framing = PlanOn(canvas, face, extend, s_, targets_);
            if (framing.problem != FramingProblem::None) {
                break;
            }
            rounds_ = std::max(rounds_, round);
            const cv::Mat normalised = CutAndScale(canvas.image, framing.crop, s_,
                                                   canvas.fill.value_or(cv::Vec3b(0, 0, 0)));
            Attempt a = SaveAndVerify(normalised);
            if (a.kind == Attempt::Kind::Blocked && EndsTheCorrection(a.blockers.front().rule)) {
                return a;
            }
            if (a.kind == Attempt::Kind::Corrected) {
                Correction& done = a.corrected;
                done.crop = CropInPhoto(framing.crop, canvas);
                done.scale = double(s_.dst_width) / done.crop.width;
                done.extended = AddedBy(framing.crop, canvas, s_.dst_width);
                done.rounds = round;
                const ReviewMeasures& m = done.review.measures;
                if (m.ratio_y && m.ratio_x && RatiosWellInside(*m.ratio_y, *m.ratio_x, s_)) {
                    return a;
                }
                if (!passed) {
                    passed = std::move(done);
                }
            }
            if (!PlannedAgain(framing, face)) {
                break;
            }
        }
        if (passed) {
            return Attempt::Done(std::move(*passed));
        }
        return Attempt::Blocked({Rejected()});
    }

    // The image saved by the photo writer and reviewed with every test: corrected when it
    // passes; blocked by the writer, or by the review's verdict.
    Attempt SaveAndVerify(const cv::Mat& image) {
        PreparedPhoto saved = PreparePassedPhoto(image, s_);
        if (saved.outcome.status != SaveStatus::Saved) {
            CorrectionBlocker writer(CorrectionRule::Writer, {}, saved.outcome.error.Detail());
            writer.saved_too_large = saved.outcome.status == SaveStatus::TooLarge;
            return Attempt::Blocked({writer});
        }
        last_ = verifier_.ReviewBytes(saved.bytes.data(), saved.bytes.size(), &limit_);
        if (last_.verdict != CheckVerdict::Passed) {
            return Attempt::Blocked({Rejected()});
        }
        Correction c;
        c.status = CorrectionStatus::Corrected;
        c.quality = saved.outcome.quality;
        c.bytes = std::move(saved.bytes);
        c.photo = image;
        c.review = last_;
        return Attempt::Done(std::move(c));
    }

    // The verifying review has the last word; the report explains its verdict.
    CorrectionBlocker Rejected() const {
        CorrectionBlocker b{last_.verdict == CheckVerdict::BackgroundRejected
                                ? CorrectionRule::Background
                                : CorrectionRule::Verdict};
        b.verified = true;
        return b;
    }

    // After a pass, or a crop that missed on the face's placement: the face as the review found
    // it in the crop, in the canvas's pixels, to plan the next crop from. False when there is
    // nothing to plan again from.
    bool PlannedAgain(const Framing& framing, FaceBox& face) const {
        const bool placement = last_.verdict == CheckVerdict::PlacementWrong ||
                               last_.verdict == CheckVerdict::NotCentred ||
                               last_.verdict == CheckVerdict::Passed;
        if (!placement || !last_.measures.face) {
            return false;
        }
        const cv::Rect& seen = *last_.measures.face;
        const double back = double(framing.crop.width) / s_.dst_width;
        const std::optional<double> crown = face.crown;
        face = {framing.crop.x + seen.x * back, framing.crop.y + seen.y * back, seen.width * back,
                seen.height * back, crown};
        return true;
    }

    // The steps of a correction, in the order of CorrectionStep: every one converts; every
    // attempt after the first reframes, straightens the head where it leans, and extends where
    // its crop reaches beyond the photo.
    Correction Finished(Correction c, CorrectionStep attempt) const {
        std::vector<CorrectionStep> steps;
        if (trimmed_) {
            steps.push_back(CorrectionStep::Trim);
            c.crop += inside_.tl();
        }
        steps.push_back(CorrectionStep::Convert);
        if (attempt != CorrectionStep::Convert) {
            steps.push_back(CorrectionStep::Reframe);
            if (attempt == CorrectionStep::Backdrop) {
                steps.push_back(CorrectionStep::Backdrop);
            }
            if (straighten_) {
                steps.push_back(CorrectionStep::Straighten);
            }
            if (c.extended) {
                steps.push_back(CorrectionStep::Extend);
            }
        }
        c.steps = std::move(steps);
        c.roll = roll_;
        const auto& notes = c.review.measures.advisories;
        if (notes && std::any_of(notes->begin(), notes->end(),
                                 [](const AdvisoryNote& n) { return n.code == Advisory::Soft; })) {
            c.warnings.push_back(kWarningEnlarged);
        }
        return Formatted(std::move(c));
    }

    // The refusal: every blocker, with the photo's roll, the crops tried and the last review
    // of a corrected photo.
    Correction Refused(std::vector<CorrectionBlocker> blockers) const {
        if (blockers.empty()) {
            blockers.push_back(Rejected());
        }
        Correction refused = RefuseAll(std::move(blockers));
        refused.rounds = rounds_;
        refused.roll = roll_;
        if (last_.verdict != CheckVerdict::NotJpeg || last_.error) {
            refused.review = last_;
        }
        return Formatted(std::move(refused));
    }

    // Work past its limit, or cancelled, ends as a photo that could not be decoded.
    std::optional<CorrectionBlocker> Stopped() const {
        if (limit_.Stopped() == nullptr) {
            return std::nullopt;
        }
        return CorrectionBlocker(CorrectionRule::Stopped);
    }

    std::optional<CorrectionBlocker> Undecoded(const DecodedImage& copy) const {
        if (auto stopped = Stopped()) {
            return stopped;
        }
        if (copy.damaged) {
            return CorrectionBlocker(CorrectionRule::Damaged);
        }
        if (copy.transparent) {
            return CorrectionBlocker(CorrectionRule::Transparent);
        }
        if (copy.image.empty()) {
            return CorrectionBlocker(CorrectionRule::Undecodable);
        }
        return std::nullopt;
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
    std::map<int, DecodedImage> whole_;   // each reduction of the whole photo
    std::map<int, DecodedImage> decoded_; // the same without the borders
    bool trimmed_ = false;
    cv::Rect inside_; // what lies inside the borders, in the whole photo's pixels

    FaceBox face_;       // in the photo's pixels
    int face_denom_ = 1; // the reduction the face was found on
    Framing first_;      // the framing of the face on the upright photo
    std::optional<double> roll_;
    bool straighten_ = false;
    Canvas canvas_;                       // made by the first attempt that crops
    std::vector<CorrectionBlocker> room_; // what the last framing planned lacked
    ReviewResult last_;                   // the last corrected photo's review
    int rounds_ = 0;
};

} // namespace

bool MayCorrect(const ReviewResult& review) {
    return !IsPass(review.verdict) && !RefuseUntried(review);
}

const char* StepName(CorrectionStep step) {
    switch (step) {
    case CorrectionStep::Trim:
        return "trim";
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
    const int64_t pixels = info->DecodedPixels();
    if (pixels > kMaxDecodedPixels) {
        BlockerNumbers n;
        n.pixels = double(pixels);
        n.pixels_max = double(kMaxDecodedPixels);
        return Refuse(CorrectionRule::TooManyPixels, n);
    }
    const WorkLimit bounded =
        (limit != nullptr ? *limit : WorkLimit()).Tightened(kCorrectionTimeLimit);
    const BackdropColour& colour = backdrop ? *backdrop : backdrop_;
    const CorrectionRun::Tools tools{
        settings_, targets_, verifier_, replacer_ ? &*replacer_ : nullptr, setup_error_, colour};
    return CorrectionRun(data, size, *info, original, tools, bounded).Run();
}

} // namespace vrel
