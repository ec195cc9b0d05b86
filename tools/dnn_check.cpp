// OpenCV's side of tools/check_selfie_segmentation.py and tools/check_face_landmarks.py: runs a
// converted network with the dnn module, on raw float32 blobs that the Python side reads and
// writes.
//
//   dnn_check prepare PHOTO BLOB     photo -> 1x3x256x256 RGB 0..1, stretched (blobFromImage)
//   dnn_check run MODEL BLOB OUT [TIMES [NxCxHxW [THREADS]]]
//                                    blob -> network outputs; TIMES further runs are timed; the
//                                    input is 1x3x256x256 unless NxCxHxW says otherwise
//
// Blobs are bare float32 in the machine's byte order, NCHW. OUT gets every output of the
// network, one after another; a line "output NAME DxDx..." on standard output names each, in
// that order. Single-threaded unless THREADS says otherwise (0: OpenCV's default): one thread
// is what a check worker sees on one core. The tests of the converters run small networks
// through it with other input shapes.
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
        int times, const std::vector<int>& shape, int threads) {
    if (threads > 0) cv::setNumThreads(threads);
    cv::dnn::Net net = cv::dnn::readNetFromONNX(model);
    net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
    net.setPreferableTarget(cv::dnn::DNN_TARGET_CPU);

    cv::Mat blob(static_cast<int>(shape.size()), shape.data(), CV_32F);
    if (!readBlob(blobPath, blob)) {
        std::fprintf(stderr, "%s does not hold %zu float32 values\n", blobPath.c_str(),
                     blob.total());
        return 1;
    }
    const std::vector<std::string> names = net.getUnconnectedOutLayersNames();
    net.setInput(blob);
    std::vector<cv::Mat> outs;
    net.forward(outs, names);
    for (size_t i = 0; i < outs.size(); ++i) {
        if (outs[i].type() != CV_32F) {
            std::fprintf(stderr, "unexpected type %d of output %s\n", outs[i].type(),
                         names[i].c_str());
            return 1;
        }
        std::string dims;
        for (int d = 0; d < outs[i].dims; ++d)
            dims += (d ? "x" : "") + std::to_string(outs[i].size[d]);
        std::printf("output %s %s\n", names[i].c_str(), dims.c_str());
        outs[i] = outs[i].clone();
    }

    std::vector<double> ms;
    for (int i = 0; i < times; ++i) {
        net.setInput(blob);
        std::vector<cv::Mat> timed;
        const auto start = std::chrono::steady_clock::now();
        net.forward(timed, names);
        ms.push_back(std::chrono::duration<double, std::milli>(
                         std::chrono::steady_clock::now() - start).count());
    }
    if (!ms.empty()) {
        std::sort(ms.begin(), ms.end());
        std::printf("forward: median %.2f ms, min %.2f ms over %d runs, %d thread%s\n",
                    ms[ms.size() / 2], ms.front(), times, cv::getNumThreads(),
                    cv::getNumThreads() == 1 ? "" : "s");
    }
    std::ofstream out(outPath, std::ios::binary);
    for (const cv::Mat& o : outs)
        out.write(reinterpret_cast<const char*>(o.ptr<float>()),
                  static_cast<std::streamsize>(o.total() * sizeof(float)));
    return out ? 0 : 1;
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
        if (mode == "run" && argc >= 5 && argc <= 8) {
            const std::vector<int> shape = parseShape(argc >= 7 ? argv[6] : "1x3x256x256");
            if (!shape.empty())
                return run(argv[2], argv[3], argv[4], argc >= 6 ? std::atoi(argv[5]) : 0, shape,
                           argc == 8 ? std::atoi(argv[7]) : 1);
        }
    } catch (const cv::Exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    std::fprintf(stderr,
                 "usage: %s prepare PHOTO BLOB\n"
                 "       %s run MODEL BLOB OUT [TIMES [NxCxHxW [THREADS]]]\n",
                 argv[0], argv[0]);
    return 2;
}
