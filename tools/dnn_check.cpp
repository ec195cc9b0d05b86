// OpenCV's side of tools/check_selfie_segmentation.py: runs the converted person segmentation
// network with the dnn module, on raw float32 blobs that the Python side reads and writes.
//
//   dnn_check prepare PHOTO BLOB     photo -> 1x3x256x256 RGB 0..1, stretched (blobFromImage)
//   dnn_check run MODEL BLOB OUT [TIMES [NxCxHxW]]
//                                    blob -> network output; TIMES further runs are timed; the
//                                    input is 1x3x256x256 unless NxCxHxW says otherwise
//
// Blobs are bare float32 in the machine's byte order, NCHW. Single-threaded on purpose: the
// timing is the one a check worker would see on one core. The tests of the converter run small
// networks through it with other input shapes.
//
// Build (tools/check_selfie_segmentation.py does it into a temporary folder):
//   g++ -O1 -std=c++17 tools/dnn_check.cpp -o dnn_check $(pkg-config --cflags opencv4)
//       -lopencv_dnn -lopencv_imgcodecs -lopencv_imgproc -lopencv_core

#include <opencv2/core.hpp>
#include <opencv2/dnn.hpp>
#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr int kSide = 256;

bool writeBlob(const std::string& path, const cv::Mat& blob) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(blob.ptr<float>()),
              static_cast<std::streamsize>(blob.total() * sizeof(float)));
    return static_cast<bool>(out);
}

bool readBlob(const std::string& path, cv::Mat& blob) {
    std::ifstream in(path, std::ios::binary);
    in.read(reinterpret_cast<char*>(blob.ptr<float>()),
            static_cast<std::streamsize>(blob.total() * sizeof(float)));
    return in.gcount() == static_cast<std::streamsize>(blob.total() * sizeof(float)) &&
           in.peek() == std::ifstream::traits_type::eof();
}

int prepare(const std::string& photo, const std::string& blobPath) {
    const cv::Mat bgr = cv::imread(photo, cv::IMREAD_COLOR);
    if (bgr.empty()) {
        std::fprintf(stderr, "cannot read %s\n", photo.c_str());
        return 1;
    }
    const cv::Mat blob = cv::dnn::blobFromImage(bgr, 1.0 / 255.0, cv::Size(kSide, kSide),
                                                cv::Scalar(), /*swapRB=*/true, /*crop=*/false);
    return writeBlob(blobPath, blob) ? 0 : 1;
}

int run(const std::string& model, const std::string& blobPath, const std::string& outPath,
        int times, const std::vector<int>& shape) {
    cv::setNumThreads(1);
    cv::dnn::Net net = cv::dnn::readNetFromONNX(model);
    net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
    net.setPreferableTarget(cv::dnn::DNN_TARGET_CPU);

    cv::Mat blob(static_cast<int>(shape.size()), shape.data(), CV_32F);
    if (!readBlob(blobPath, blob)) {
        std::fprintf(stderr, "%s does not hold %zu float32 values\n", blobPath.c_str(),
                     blob.total());
        return 1;
    }
    net.setInput(blob);
    const cv::Mat out = net.forward().clone();
    if (out.type() != CV_32F) {
        std::fprintf(stderr, "unexpected output type %d\n", out.type());
        return 1;
    }

    std::vector<double> ms;
    for (int i = 0; i < times; ++i) {
        net.setInput(blob);
        const auto start = std::chrono::steady_clock::now();
        net.forward();
        ms.push_back(std::chrono::duration<double, std::milli>(
                         std::chrono::steady_clock::now() - start).count());
    }
    if (!ms.empty()) {
        std::sort(ms.begin(), ms.end());
        std::printf("forward: median %.2f ms, min %.2f ms over %d runs, 1 thread\n",
                    ms[ms.size() / 2], ms.front(), times);
    }
    return writeBlob(outPath, out) ? 0 : 1;
}

// "1x3x256x256" -> {1, 3, 256, 256}; empty on a malformed text.
std::vector<int> parseShape(const std::string& text) {
    std::vector<int> dims(4);
    char tail = 0;
    if (std::sscanf(text.c_str(), "%dx%dx%dx%d%c", &dims[0], &dims[1], &dims[2], &dims[3],
                    &tail) != 4)
        return {};
    for (int d : dims)
        if (d <= 0) return {};
    return dims;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const std::string mode = argc > 1 ? argv[1] : "";
        if (mode == "prepare" && argc == 4) return prepare(argv[2], argv[3]);
        if (mode == "run" && argc >= 5 && argc <= 7) {
            const std::vector<int> shape = parseShape(argc == 7 ? argv[6] : "1x3x256x256");
            if (!shape.empty())
                return run(argv[2], argv[3], argv[4], argc >= 6 ? std::atoi(argv[5]) : 0, shape);
        }
    } catch (const cv::Exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    std::fprintf(stderr,
                 "usage: %s prepare PHOTO BLOB\n"
                 "       %s run MODEL BLOB OUT [TIMES [NxCxHxW]]\n",
                 argv[0], argv[0]);
    return 2;
}
