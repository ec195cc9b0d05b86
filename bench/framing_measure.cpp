// Measures how photos are framed: for each, the face box the review's detector finds, the chin
// line the height ratio uses (1.25 box heights below the box's top), the top of the hair (from
// the person's matte) and the head's share of the height, chin to crown. The correction's
// framing targets were compared with it. Then how plain the wall above the face is (the
// largest spread within a patch and the largest disagreement between patches, correct/canvas.h)
// and whether the backdrop test takes its colour: the plain-wall bounds were chosen with it.
//
// Run: build/bin/vrel_framing_measure PHOTO...
#include "check/check_run.h"
#include "check/face.h"
#include "correct/backdrop/backdrop.h"
#include "correct/backdrop_colour.h"
#include "correct/canvas.h"
#include "correct/correction.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    using namespace vrel;
    const std::string data = VREL_APP_DIR "/";
    FaceDetector detector(data + kCascadeFileName);
    Result<BackdropReplacer> replacer = BackdropReplacer::Load(data + kBackdropModelFile);
    if (!detector.Loaded() || !replacer) {
        std::fprintf(stderr, "cannot load the detector or the model: %s\n",
                     replacer.Err().Detail().c_str());
        return 2;
    }
    const CheckSettings settings =
        ReadCheckSettingsFile(data + "setting.vr").value_or(CheckSettings());
    std::printf("photo\tsize\tratio_x\tratio_y\tcrown_room\thead_share\twall_spread\twall_"
                "disagree\twall_taken\n");
    for (int i = 1; i < argc; ++i) {
        const cv::Mat photo = cv::imread(argv[i], cv::IMREAD_COLOR);
        if (photo.empty()) {
            std::printf("%s\tunreadable\n", argv[i]);
            continue;
        }
        const int min_face = std::max(40, std::min(photo.cols, photo.rows) / 6);
        const std::vector<cv::Rect> faces = detector.Detect(photo, 5, cv::Size(min_face, min_face));
        if (faces.size() != 1) {
            std::printf("%s\t%zu faces\n", argv[i], faces.size());
            continue;
        }
        const cv::Rect f = faces.front();
        const BackdropResult r = replacer->Replace(photo, f);
        std::optional<int> crown;
        if (!r.alpha.empty()) {
            const int x0 = std::max(0, f.x - f.width / 4);
            const int x1 = std::min(photo.cols, f.x + f.width * 5 / 4);
            for (int y = 0; y < f.y && !crown; ++y) {
                if (cv::countNonZero(r.alpha.row(y).colRange(x0, x1) > 127) >=
                    (x1 - x0) / 100 + 2) {
                    crown = y;
                }
            }
        }
        const double chin = f.y + 1.25 * f.height;
        const double h = photo.rows;
        const std::optional<WallPatches> wall = MeasureWallPatches(
            photo, {double(f.x), double(f.y), double(f.width), double(f.height), std::nullopt});
        std::printf("%s\t%dx%d\t%.3f\t%.3f\t%s\t%s", argv[i], photo.cols, photo.rows,
                    1.0 - double(f.width) / photo.cols, 1.0 - chin / h,
                    crown ? std::to_string(*crown / h).substr(0, 5).c_str() : "-",
                    crown ? std::to_string((chin - *crown) / h).substr(0, 5).c_str() : "-");
        if (wall) {
            std::printf("\t%.1f\t%.1f\t%s\n", wall->spread, wall->disagree,
                        BackdropColourAccepted({"", wall->colour}, settings) ? "yes" : "no");
        } else {
            std::printf("\t-\t-\t-\n");
        }
    }
    return 0;
}
