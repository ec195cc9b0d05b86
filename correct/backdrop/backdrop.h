#pragma once

#include "check/work_limit.h"
#include "correct/backdrop/matte.h"
#include "correct/backdrop/segmenter.h"

#include <opencv2/core.hpp>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vrel {

// Why a photo's backdrop was not replaced. The checks run in this order; the first that fails
// is the reason.
enum class BackdropRefusal {
    None,
    Stopped,        // the work limit said stop
    BadInput,       // not an 8-bit colour photo, or the face box is not inside it
    NotAtBottom,    // the person's region does not reach the bottom edge (not a portrait)
    OtherRegions,   // another person or a person-like thing beside the person
    CutAtTop,       // the person reaches the top edge: the head is cut off
    FaceNotOpaque,  // part of the inner face would let the backdrop through
    TooTransparent, // too much of the person is half-transparent: a blurred or unclear outline
    WallLeft,       // the old wall's colour shows in the ring around the person
};

// A stable name for programs ("cut_at_top").
const char* RefusalName(BackdropRefusal refusal);
// The bounds of the checks, measured with bench/backdrop_measure.cpp. Each was chosen on the
// known-matte scenes of scenes/backdrop_scenes.h at 600 x 800 and on tests/data/grace_hopper.jpg
// and astronaut.jpg, and checked on the same scenes at 1200 x 1600 and on the real portraits of
// tests/data/correction/ (a beige wall, outdoors, a room); what they measured is beside each.
struct BackdropBounds {
    // "bottom_share": of the bottom row, the share that the person's region covers.
    // Replaced: 0.49 and more (a half-length portrait whose arms leave the wall between them);
    // a floating torso: 0.
    double min_bottom_share = 0.15;
    // "other_regions": the network's person regions apart from the person, per person area.
    // Replaced: at most 0.0006; a second person beside: 0.50.
    double max_other_regions = 0.15;
    // "top_share": of the top rows (0.5 % of the height), the share with alpha > 0.1.
    // Replaced: 0; the head cut by the top edge: 0.12; a flag's pole left standing: 0.017.
    double max_top_share = 0.002;
    // "face_clear": of the inner face (InnerFace), the share with alpha < 0.98.
    // Replaced: at most 0.0003 on the scenes and 0 on the portraits; a face box half beside the
    // head: 0.17. A small face in a large photo has a soft inner edge of a few per cent whose
    // composite looks right, so the bound lies a third of the way up.
    double max_face_clear = 0.05;
    // "half_share": pixels with 0.1 < alpha < 0.9 per pixel with alpha >= 0.5.
    // Replaced: 0.024 to 0.066; a photo blurred by 2 % of its width: 0.066.
    double max_half_share = 0.12;
    // "ring_wall": of the ring on both sides of the person's edge, the share covered by patches
    // of the old wall (composite.h), judged at the matte's working size: at least 1.5 % of its
    // long side across. Clean composites, walls of the person's own colours among them (navy,
    // skin, beige): 0 on the scenes at 600 x 800 and 1200 x 1600, at most 0.0025 on the
    // portraits (the beige wall); a blurred photo 0.0048; the backdrop kept beside a face box
    // half beside the head: 0.031 at both sizes.
    double max_ring_wall = 0.01;
};

// What the checks measured (BackdropBounds names each); a check not reached is missing.
struct BackdropMeasures {
    std::optional<double> bottom_share, other_regions, top_share, face_clear, half_share, ring_wall;

    // The measured ones by name, in the order of the checks, for records and tools.
    std::vector<std::pair<const char*, double>> Named() const;
};

struct BackdropResult {
    // The photo on the new backdrop (CV_8UC3, the photo's size) and the person's alpha (CV_8U).
    // A refusal by a check after compositing keeps them, to show why; earlier refusals have
    // them empty.
    cv::Mat photo;
    cv::Mat alpha;
    BackdropRefusal refusal = BackdropRefusal::None;
    // What the checks measured, whatever the outcome.
    BackdropMeasures measures;

    bool Replaced() const { return refusal == BackdropRefusal::None; }
};

// Replaces the backdrop of a head-and-shoulders photo with a plain colour: the person is cut
// out by the segmentation network's mask refined with GrabCut and a colour guided filter, the
// old wall's colour is taken out of the edge, and the result is laid on the colour. Nothing of
// the person is invented or retouched. One replacer per worker thread.
class BackdropReplacer {
public:
    static Result<BackdropReplacer> Load(const std::string& model_path, MatteOptions options = {},
                                         BackdropBounds bounds = {});

    // photo_bgr: CV_8UC3; face: the face box in it (the review's detector). limit, where given,
    // is looked at between the steps.
    BackdropResult Replace(const cv::Mat& photo_bgr, const cv::Rect& face,
                           const cv::Scalar& colour_bgr = cv::Scalar(255, 255, 255),
                           const WorkLimit* limit = nullptr);

    const MatteOptions& Options() const { return options_; }
    const BackdropBounds& Bounds() const { return bounds_; }

private:
    BackdropReplacer(PersonSegmenter segmenter, MatteOptions options, BackdropBounds bounds)
        : segmenter_(std::move(segmenter)), options_(options), bounds_(bounds) {}

    PersonSegmenter segmenter_;
    MatteOptions options_;
    BackdropBounds bounds_;
};

// The part of a face box that is surely face (no hair, no background): its middle.
cv::Rect InnerFace(const cv::Rect& face);

} // namespace vrel
