#include "landmarks/landmarks.h"

#include "networks/load.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>

namespace vrel {
namespace {

constexpr int kDetectorSide = 128;
constexpr int kMeshSide = 192;
constexpr int kIrisSide = 64;
constexpr int kMeshPoints = 468;
constexpr int kAnchors = 896;
// The crops as the networks were trained on them: the detector's box (or the last mesh's
// extent) grown by 1.5 for the mesh, the eye's corners apart grown by 2.3 for the iris.
constexpr float kMeshScale = 1.5f;
constexpr float kIrisScale = 2.3f;
// Boxes overlapping more than this are one face.
constexpr float kMergeOverlap = 0.3f;

float Sigmoid(float x) {
    return 1.0f / (1.0f + std::exp(-std::clamp(x, -80.0f, 80.0f)));
}

// The detector's anchors: one per cell and per anchor of its two feature maps (16 x 16 at
// stride 8 with 2 anchors, 8 x 8 at stride 16 with 6), centred in their cells, of unit size.
std::vector<cv::Rect2f> DetectorAnchors() {
    std::vector<cv::Rect2f> anchors;
    anchors.reserve(kAnchors);
    for (const auto& [stride, per_cell] : {std::pair{8, 2}, std::pair{16, 6}}) {
        const int cells = kDetectorSide / stride;
        for (int y = 0; y < cells; ++y) {
            for (int x = 0; x < cells; ++x) {
                for (int k = 0; k < per_cell; ++k) {
                    anchors.emplace_back((x + 0.5f) / cells, (y + 0.5f) / cells, 1.0f, 1.0f);
                }
            }
        }
    }
    return anchors;
}

// Reads one network and runs it once on a grey input to see that its outputs have the sizes
// this code reads (their element counts); an empty net where it cannot be used.
Error LoadNet(const std::string& path, const char* what, int side,
              const std::vector<size_t>& totals, cv::dnn::Net& net) {
    Result<cv::dnn::Net> loaded = LoadNetwork(path, what, [&](cv::dnn::Net& trial) {
        const int shape[] = {1, 3, side, side};
        trial.setInput(cv::Mat(4, shape, CV_32F, cv::Scalar(0.5)));
        std::vector<cv::Mat> outs;
        trial.forward(outs, trial.getUnconnectedOutLayersNames());
        // (The outputs come in the order of their layers, whatever the file's order.)
        std::vector<size_t> got;
        for (const cv::Mat& out : outs) {
            got.push_back(out.type() == CV_32F ? out.total() : 0);
        }
        std::vector<size_t> wanted = totals;
        std::sort(got.begin(), got.end());
        std::sort(wanted.begin(), wanted.end());
        return got == wanted
                   ? Error()
                   : Error(ErrorCode::Invalid, std::string("the ") + what + " " + path +
                                                   " does not give the outputs expected of it");
    });
    net = loaded ? *loaded : cv::dnn::Net();
    return loaded.Err();
}

// The outputs of a network in the order of its output names.
std::vector<cv::Mat> Forward(cv::dnn::Net& net, const cv::Mat& blob) {
    net.setInput(blob);
    std::vector<cv::Mat> outs;
    net.forward(outs, net.getUnconnectedOutLayersNames());
    return outs;
}

// A square of the photo, side pixels wide about centre and turned by roll degrees, as a
// network's input of n x n pixels; to_photo maps the input's pixels back to the photo's.
struct Crop {
    cv::Mat image;
    cv::Matx23d to_photo;
};

Crop CropSquare(const cv::Mat& photo, cv::Point2f centre, float side, float roll, int n,
                bool mirror = false, int border = cv::BORDER_CONSTANT) {
    // A crop much larger than the input is first reduced by area, by a whole factor (the fast
    // case of the resize) that leaves it between 1.5 and 3 times the input, so that the warp
    // samples a picture without aliasing. Only the turned square's bounding box is reduced.
    cv::Mat source = photo;
    const double wanted = 1.5 * n;
    if (side >= 2 * wanted) {
        const int k = int(side / wanted);
        const double turn = roll * CV_PI / 180;
        const float reach =
            side / 2 * float(std::abs(std::cos(turn)) + std::abs(std::sin(turn))) + 2 * k;
        cv::Rect around = cv::Rect(cvFloor(centre.x - reach), cvFloor(centre.y - reach),
                                   cvCeil(2 * reach), cvCeil(2 * reach)) &
                          cv::Rect(0, 0, photo.cols, photo.rows);
        around.width -= around.width % k;
        around.height -= around.height % k;
        if (around.width >= k && around.height >= k) {
            const double reduce = 1.0 / k;
            cv::resize(photo(around), source, cv::Size(around.width / k, around.height / k), 0, 0,
                       cv::INTER_AREA);
            // A pixel's centre moves with the whole-factor reduction: (x + 0.5) / k - 0.5.
            centre = (centre - cv::Point2f(around.tl()) + cv::Point2f(0.5f, 0.5f)) * float(reduce) -
                     cv::Point2f(0.5f, 0.5f);
            side = float(side * reduce);
            Crop crop = CropSquare(source, centre, side, roll, n, mirror, border);
            // Back from the reduced region to the photo.
            const cv::Matx33d up(k, 0, around.x + 0.5 * (k - 1), 0, k, around.y + 0.5 * (k - 1), 0,
                                 0, 1);
            const cv::Matx33d m(crop.to_photo(0, 0), crop.to_photo(0, 1), crop.to_photo(0, 2),
                                crop.to_photo(1, 0), crop.to_photo(1, 1), crop.to_photo(1, 2), 0, 0,
                                1);
            const cv::Matx33d both = up * m;
            crop.to_photo =
                cv::Matx23d(both(0, 0), both(0, 1), both(0, 2), both(1, 0), both(1, 1), both(1, 2));
            return crop;
        }
    }
    // Photo to input: turn the head upright about the centre, scale the square to n, and put
    // the centre in the middle (mirrored where asked).
    cv::Mat m = cv::getRotationMatrix2D(centre, -roll, n / side);
    m.at<double>(0, 2) += n / 2.0 - centre.x;
    m.at<double>(1, 2) += n / 2.0 - centre.y;
    if (mirror) {
        m.row(0) *= -1;
        m.at<double>(0, 2) += n;
    }
    Crop crop;
    cv::warpAffine(source, crop.image, m, cv::Size(n, n), cv::INTER_LINEAR, border);
    cv::Mat back;
    cv::invertAffineTransform(m, back);
    crop.to_photo = cv::Matx23d(back.ptr<double>());
    return crop;
}

cv::Point2f ToPhoto(const cv::Matx23d& m, float x, float y) {
    return {float(m(0, 0) * x + m(0, 1) * y + m(0, 2)), float(m(1, 0) * x + m(1, 1) * y + m(1, 2))};
}

float Overlap(const cv::Rect2f& a, const cv::Rect2f& b) {
    const float common = (a & b).area();
    const float either = a.area() + b.area() - common;
    return either > 0 ? common / either : 0;
}

} // namespace

double RollOf(cv::Point2f a, cv::Point2f b) {
    return std::atan2(double(a.y - b.y), double(b.x - a.x)) * 180.0 / CV_PI;
}

Result<std::vector<cv::Point3f>> LoadCanonicalFace(const std::string& path) {
    std::ifstream in(path);
    if (!in) {
        return Error(ErrorCode::NotFound, "cannot read the canonical face " + path);
    }
    std::vector<cv::Point3f> points;
    std::string line;
    while (std::getline(in, line) && points.size() <= size_t(kMeshPoints)) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::istringstream row(line);
        cv::Point3f p;
        if (!(row >> p.x >> p.y >> p.z) || !std::isfinite(p.x) || !std::isfinite(p.y) ||
            !std::isfinite(p.z)) {
            return Error(ErrorCode::Invalid, "the canonical face " + path +
                                                 " has a row that is "
                                                 "not three numbers: " +
                                                 line.substr(0, 60));
        }
        points.push_back(p);
    }
    if (points.size() != size_t(kMeshPoints)) {
        return Error(ErrorCode::Invalid,
                     "the canonical face " + path + " does not hold 468 points");
    }
    return points;
}

FaceLandmarker::FaceLandmarker(const std::string& models_dir) {
    anchors_ = DetectorAnchors();
    if (models_dir.empty()) {
        problem_ = Error(ErrorCode::NotFound, "no folder of landmark models was given");
        return;
    }
    const Error found = LoadNet(models_dir + kFaceDetectionModel, "face detection model",
                                kDetectorSide, {kAnchors * 16, kAnchors}, detector_);
    const Error meshed = LoadNet(models_dir + kFaceMeshModel, "face mesh model", kMeshSide,
                                 {kMeshPoints * 3, 1}, mesh_);
    const Error irised =
        LoadNet(models_dir + kIrisModel, "iris model", kIrisSide, {(71 + 5) * 3}, iris_);
    Result<std::vector<cv::Point3f>> canonical = LoadCanonicalFace(models_dir + kCanonicalFace);
    if (canonical) {
        canonical_ = std::move(*canonical);
    }
    for (const Error& e : {found, meshed, irised, canonical.Err()}) {
        if (e && !problem_) {
            problem_ = e;
        }
    }
}

std::vector<FoundFace> FaceLandmarker::Find(const cv::Mat& photo, float min_score) {
    std::vector<FoundFace> faces;
    if (detector_.empty() || photo.empty() || photo.type() != CV_8UC3) {
        return faces;
    }
    // Letterboxed: the photo's long side fills the square, centred.
    const float side = float(std::max(photo.cols, photo.rows));
    const Crop crop = CropSquare(photo, cv::Point2f(photo.cols / 2.0f, photo.rows / 2.0f), side, 0,
                                 kDetectorSide);
    const cv::Mat blob =
        cv::dnn::blobFromImage(crop.image, 2.0 / 255.0, cv::Size(), cv::Scalar(127.5, 127.5, 127.5),
                               /*swapRB=*/true, /*crop=*/false);
    const std::vector<cv::Mat> outs = Forward(detector_, blob);
    const cv::Mat& boxes = outs[0].total() == size_t(kAnchors) * 16 ? outs[0] : outs[1];
    const cv::Mat& scores = outs[0].total() == size_t(kAnchors) * 16 ? outs[1] : outs[0];
    const float* raw = boxes.ptr<float>();
    const float* logit = scores.ptr<float>();

    std::vector<std::pair<float, int>> candidates;
    for (int i = 0; i < kAnchors; ++i) {
        const float score = Sigmoid(logit[i]);
        if (score >= min_score) {
            candidates.emplace_back(score, i);
        }
    }
    std::sort(candidates.begin(), candidates.end(), std::greater<>());
    const float n = float(kDetectorSide);
    std::vector<std::pair<FoundFace, float>> merged; // the face and the weight of its scores
    for (const auto& [score, i] : candidates) {
        const cv::Rect2f& a = anchors_[size_t(i)];
        const float* r = raw + size_t(i) * 16;
        const float cx = r[0] / n * a.width + a.x, cy = r[1] / n * a.height + a.y;
        const float w = r[2] / n * a.width, h = r[3] / n * a.height;
        FoundFace face;
        const cv::Point2f tl = ToPhoto(crop.to_photo, (cx - w / 2) * n, (cy - h / 2) * n);
        const cv::Point2f br = ToPhoto(crop.to_photo, (cx + w / 2) * n, (cy + h / 2) * n);
        face.box = cv::Rect2f(tl, br);
        for (int k = 0; k < 6; ++k) {
            face.keypoints[size_t(k)] =
                ToPhoto(crop.to_photo, (r[4 + 2 * k] / n * a.width + a.x) * n,
                        (r[5 + 2 * k] / n * a.height + a.y) * n);
        }
        face.score = score;
        // Overlapping detections of one face are averaged, weighted by their scores.
        auto same = std::find_if(merged.begin(), merged.end(), [&](const auto& m) {
            return Overlap(m.first.box, face.box) > kMergeOverlap;
        });
        if (same == merged.end()) {
            merged.emplace_back(face, score);
            continue;
        }
        FoundFace& into = same->first;
        const float before = same->second, added = score, total = before + added;
        const auto mix = [before, added, total](cv::Point2f p, cv::Point2f q) {
            return (p * before + q * added) / total;
        };
        into.box = cv::Rect2f(mix(into.box.tl(), face.box.tl()), mix(into.box.br(), face.box.br()));
        for (size_t k = 0; k < 6; ++k) {
            into.keypoints[k] = mix(into.keypoints[k], face.keypoints[k]);
        }
        same->second = total;
    }
    for (auto& m : merged) {
        faces.push_back(m.first);
    }
    return faces;
}

std::optional<FaceMarks> FaceLandmarker::MarkOnce(const cv::Mat& photo, cv::Point2f centre,
                                                  float side, float roll) {
    const Crop crop = CropSquare(photo, centre, side, roll, kMeshSide, false, cv::BORDER_REPLICATE);
    const cv::Mat blob = cv::dnn::blobFromImage(crop.image, 1.0 / 255.0, cv::Size(), cv::Scalar(),
                                                /*swapRB=*/true, /*crop=*/false);
    const std::vector<cv::Mat> outs = Forward(mesh_, blob);
    const cv::Mat& points = outs[0].total() == size_t(kMeshPoints) * 3 ? outs[0] : outs[1];
    const cv::Mat& flag = outs[0].total() == size_t(kMeshPoints) * 3 ? outs[1] : outs[0];
    FaceMarks marks;
    marks.presence = Sigmoid(*flag.ptr<float>());
    const float* p = points.ptr<float>();
    const float z_scale = side / kMeshSide;
    marks.mesh.reserve(kMeshPoints);
    for (int i = 0; i < kMeshPoints; ++i) {
        const cv::Point2f at = ToPhoto(crop.to_photo, p[3 * i], p[3 * i + 1]);
        marks.mesh.emplace_back(at.x, at.y, p[3 * i + 2] * z_scale);
    }
    return marks;
}

std::optional<FaceMarks> FaceLandmarker::Mark(const cv::Mat& photo, const cv::Rect2f& box,
                                              float roll, float refine_lean) {
    if (mesh_.empty() || photo.empty() || photo.type() != CV_8UC3 || box.width < 8 ||
        box.height < 8) {
        return std::nullopt;
    }
    const cv::Point2f centre(box.x + box.width / 2, box.y + box.height / 2);
    std::optional<FaceMarks> marks =
        MarkOnce(photo, centre, kMeshScale * std::max(box.width, box.height), roll);
    // The mesh's own extent, upright, tells where the face is better than the box did: once
    // more where it differs much (the box off the face, or a head that leans).
    const auto& m = marks->mesh;
    const float leans =
        float(RollOf(cv::Point2f(m[mesh_point::kLeftOuter].x, m[mesh_point::kLeftOuter].y),
                     cv::Point2f(m[mesh_point::kRightOuter].x, m[mesh_point::kRightOuter].y)));
    // (Turning by the lean, in the photo's y-down axes, levels the eyes.)
    const double turn = leans * CV_PI / 180;
    float left = 1e9f, right = -1e9f, top = 1e9f, bottom = -1e9f;
    for (const cv::Point3f& q : m) {
        // Upright about the mesh's middle.
        const float x = float(q.x * std::cos(turn) - q.y * std::sin(turn));
        const float y = float(q.x * std::sin(turn) + q.y * std::cos(turn));
        left = std::min(left, x), right = std::max(right, x);
        top = std::min(top, y), bottom = std::max(bottom, y);
    }
    const cv::Point2f mid_upright((left + right) / 2, (top + bottom) / 2);
    const cv::Point2f mid(float(mid_upright.x * std::cos(-turn) - mid_upright.y * std::sin(-turn)),
                          float(mid_upright.x * std::sin(-turn) + mid_upright.y * std::cos(-turn)));
    const float side = kMeshScale * std::max(right - left, bottom - top);
    const float first = kMeshScale * std::max(box.width, box.height);
    const bool again = std::abs(leans - roll) > refine_lean ||
                       cv::norm(mid - centre) > 0.08 * first || side < 0.85f * first ||
                       side > 1.15f * first;
    if (again) {
        marks = MarkOnce(photo, mid, side, leans);
    }
    return marks;
}

void FaceLandmarker::MarkEyes(const cv::Mat& photo, FaceMarks& marks) {
    using namespace mesh_point;
    if (iris_.empty() || marks.presence < kMinPresence || marks.mesh.size() != kMeshPoints) {
        return;
    }
    const auto at = [&](int i) { return MeshPoint(marks, i); };
    const std::array<std::pair<cv::Point2f, cv::Point2f>, 2> corners = {
        std::pair{at(kLeftOuter), at(kLeftInner)}, std::pair{at(kRightInner), at(kRightOuter)}};
    // The eye seen wider (the nearer one), cropped from its corners, turned level, the photo's
    // right one mirrored: the network was taught on eyes seen as the photo's left one is.
    const size_t e = cv::norm(corners[1].second - corners[1].first) >
                             cv::norm(corners[0].second - corners[0].first)
                         ? 1
                         : 0;
    const auto [a, b] = corners[e];
    const float width = float(cv::norm(b - a));
    if (width < 2) {
        return;
    }
    const Crop crop = CropSquare(photo, (a + b) / 2, kIrisScale * width, float(RollOf(a, b)),
                                 kIrisSide, /*mirror=*/e == 1, cv::BORDER_REPLICATE);
    const cv::Mat blob = cv::dnn::blobFromImage(crop.image, 1.0 / 255.0, cv::Size(), cv::Scalar(),
                                                /*swapRB=*/true, /*crop=*/false);
    // The eye's 71 contour points, then the iris's 5, each x, y, z in the input's pixels.
    const std::vector<cv::Mat> outs = Forward(iris_, blob);
    const float* p = outs[0].ptr<float>();
    EyeMarks eye;
    for (size_t k = 0; k < 71; ++k, p += 3) {
        eye.contour[k] = ToPhoto(crop.to_photo, p[0], p[1]);
    }
    for (size_t k = 0; k < 5; ++k, p += 3) {
        eye.iris[k] = ToPhoto(crop.to_photo, p[0], p[1]);
    }
    marks.eyes[e] = eye;
}

} // namespace vrel
