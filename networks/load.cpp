#include "networks/load.h"

#include <fstream>
#include <mutex>

namespace vrel {

Result<cv::dnn::Net> LoadNetwork(const std::string& path, const std::string& what,
                                 const std::function<Error(cv::dnn::Net&)>& check) {
    static std::mutex loading;
    const std::lock_guard<std::mutex> one_at_a_time(loading);
    if (!std::ifstream(path, std::ios::binary).good()) {
        return Error(ErrorCode::NotFound, "cannot read the " + what + " " + path);
    }
    try {
        cv::dnn::Net net = cv::dnn::readNetFromONNX(path);
        if (net.empty()) {
            return Error(ErrorCode::Invalid, "the " + what + " " + path + " holds no network");
        }
        net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
        net.setPreferableTarget(cv::dnn::DNN_TARGET_CPU);
        if (Error wrong = check(net)) {
            return wrong;
        }
        return net;
    } catch (const cv::Exception& e) {
        return Error(ErrorCode::Invalid, "cannot load the " + what + " " + path + ": " + e.what());
    }
}

} // namespace vrel
