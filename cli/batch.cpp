#include "cli/batch.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace vrel {

bool HasPhotoExtension(const std::string& name) {
    std::string ext = fs::path(name).extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return ext == ".jpg" || ext == ".jpeg" || ext == ".jfif";
}

std::vector<std::string> ExpandPath(const std::string& path) {
    std::error_code ec;
    if (!fs::is_directory(path, ec)) {
        return {path};
    }
    std::vector<std::string> files;
    for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
        const auto& entry = *it;
        std::error_code type_ec;
        if (!entry.is_directory(type_ec) && HasPhotoExtension(entry.path().filename().string())) {
            files.push_back(entry.path().string());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

SaveNamer::SaveNamer(std::string dir) : dir_(std::move(dir)) {
    if (!dir_.empty() && dir_.back() != '/') {
        dir_ += '/';
    }
}

std::string SaveNamer::NameFor(const std::string& input_path) {
    std::string stem = fs::path(input_path).stem().string();
    if (stem.empty() || stem == "." || stem == "..") {
        stem = "photo";
    }
    std::string name = stem + ".jpg";
    for (int n = 2; used_.count(name) != 0; ++n) {
        name = stem + "-" + std::to_string(n) + ".jpg";
    }
    used_.insert(name);
    return dir_ + name;
}

bool RunBatch(const std::vector<std::string>& paths, const BatchSettings& settings,
              const std::function<void(const PhotoRecord&)>& sink) {
    PhotoReviewer reviewer(settings.check, settings.data_dir, ReviewOptions{true});
    SaveNamer namer(settings.save_dir);
    bool all_passed = true;
    for (const std::string& path : paths) {
        const ReviewResult result = reviewer.Review(path);
        PhotoRecord record = MakeRecord(path, result);
        if (IsPass(result.verdict) && !settings.save_dir.empty()) {
            const std::string target = namer.NameFor(path);
            const SaveOutcome saved =
                SavePassedPhotoFile(result.result_image, target, settings.check);
            record.quality = saved.quality;
            if (saved.status == SaveStatus::Saved) {
                record.saved = target;
            } else {
                record.save_error = saved.Message();
            }
        }
        all_passed = all_passed && IsPass(result.verdict);
        sink(record);
    }
    return all_passed;
}

} // namespace vrel
