#pragma once
// The sample photos under samples/, each with the sidecar beside it that says what it must come
// to (placement-wrong.jpg: placement-wrong.expected.json; README's "Layout" has the format).
// Every file under samples/ that is no sidecar is a sample; test_samples.cpp checks them.
#include "check/check_run.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <vector>

namespace vrel::test {

struct SampleCase {
    std::string name;        // below samples/: "correctable/off-centre.png"
    std::string photo;       // full path; empty where a sidecar has no photo
    std::string sidecar;     // full path
    nlohmann::json expected; // the sidecar, where it is well formed
    std::string error;       // why the sample cannot be checked, naming the sidecar; or empty
    friend void PrintTo(const SampleCase& c, std::ostream* os) { *os << c.name; }
};

// What is wrong with a sidecar's content; empty where nothing is. (A field that names something
// else than the review gives fails the match.)
inline std::string SidecarProblem(const nlohmann::json& j, bool correctable) {
    using Json = nlohmann::json;
    if (!j.is_object() || !j.value("verdict", Json()).is_string()) {
        return "not an object with a \"verdict\"";
    }
    const std::set<std::string> fields = {"about", "verdict", "record", "correction", "tolerance"};
    for (const auto& item : j.items()) {
        if (fields.count(item.key()) == 0) {
            return "unknown field \"" + item.key() + "\"";
        }
    }
    if (!j.value("tolerance", Json(0)).is_number()) {
        return "\"tolerance\" must be a number";
    }
    const Json correction = j.value("correction", Json::object());
    if (!correction.is_object() ||
        (correctable && correction.value("status", Json()) != "corrected")) {
        return "\"correction\" must be an object; in correctable/, with \"status\": \"corrected\"";
    }
    return "";
}

// Reads the sidecar of c into c.expected; what is wrong, naming the sidecar, or empty.
inline std::string ReadSidecar(SampleCase& c) {
    std::ifstream in(c.sidecar);
    const bool found = in.is_open();
    c.expected = found ? nlohmann::json::parse(in, nullptr, false) : nlohmann::json();
    const bool correctable =
        std::filesystem::path(c.photo).parent_path().filename() == "correctable";
    const std::string problem = c.photo.empty() ? "no photo beside it"
                                : !found        ? "missing; every sample needs one"
                                : c.expected.is_discarded()
                                    ? "not JSON"
                                    : SidecarProblem(c.expected, correctable);
    return problem.empty() ? "" : c.sidecar + ": " + problem;
}

// Every sample below root (recursively), sorted by sidecar.
inline std::vector<SampleCase> SampleCases(const std::string& root = VREL_SOURCE_DIR "/samples") {
    namespace fs = std::filesystem;
    const std::string suffix = ".expected.json";
    std::map<std::string, SampleCase> by_sidecar;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (!it->is_regular_file()) {
            continue;
        }
        const fs::path path = it->path();
        const std::string file = path.filename().string();
        const bool is_sidecar =
            file.size() > suffix.size() && file.substr(file.size() - suffix.size()) == suffix;
        const std::string sidecar =
            is_sidecar ? path.string()
                       : (path.parent_path() / (path.stem().string() + suffix)).string();
        SampleCase& c = by_sidecar[sidecar];
        c.sidecar = sidecar;
        if (!is_sidecar && !c.photo.empty()) {
            c.error = sidecar + ": " + c.photo + " and " + path.string() + " would share it";
        }
        c.photo = is_sidecar ? c.photo : path.string();
    }
    std::vector<SampleCase> cases;
    if (ec) {
        cases.push_back({root, "", "", {}, root + ": cannot be listed: " + ec.message()});
    }
    for (auto& [sidecar, c] : by_sidecar) {
        c.name = fs::path(c.photo.empty() ? sidecar : c.photo).lexically_relative(root).string();
        c.error = c.error.empty() ? ReadSidecar(c) : c.error;
        cases.push_back(std::move(c));
    }
    return cases;
}

} // namespace vrel::test
