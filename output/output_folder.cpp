#include "output/output_folder.h"

#include "platform/files.h"

#include <filesystem>

namespace vrel {
namespace {

// The longest prefix of text within max_bytes that does not cut a UTF-8 sequence in two.
std::string CutUtf8(const std::string& text, size_t max_bytes) {
    if (text.size() <= max_bytes) {
        return text;
    }
    size_t end = max_bytes;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
        --end;
    }
    return text.substr(0, end);
}

} // namespace

std::string OutputStem(const std::string& input_path) {
    std::string stem = std::filesystem::u8path(input_path).stem().u8string();
    if (stem.empty() || stem == "." || stem == "..") {
        stem = "photo";
    }
    return stem;
}

OutputFolder::OutputFolder(std::string dir, std::string extension, bool replace)
    : dir_(std::move(dir)), extension_(std::move(extension)), replace_(replace) {
    while (dir_.size() > 1 && dir_.back() == '/') {
        dir_.pop_back();
    }
    if (dir_.empty()) {
        dir_ = ".";
    }
    max_name_bytes_ = platform::MaxNameBytes(dir_);
    platform::RemoveStaleTemporaryFiles(dir_);
}

std::string OutputFolder::NameFor(const std::string& stem, int n, const std::string& extension,
                                  size_t max_bytes) {
    const std::string suffix = (n > 1 ? "-" + std::to_string(n) : std::string()) + extension;
    const size_t room = max_bytes > suffix.size() ? max_bytes - suffix.size() : 0;
    std::string cut = CutUtf8(stem, room);
    if (cut.empty()) {
        cut = "photo";
    }
    return cut + suffix;
}

OutputFolder::Written OutputFolder::Write(const std::string& input_path,
                                          const std::vector<unsigned char>& bytes) {
    const std::string stem = OutputStem(input_path);
    // A bound on the names tried, so that a folder full of them ends in a clear error.
    constexpr int kMaxSuffix = 100000;
    for (int n = 1; n <= kMaxSuffix; ++n) {
        const std::string name = NameFor(stem, n, extension_, max_name_bytes_);
        if (used_.count(name) != 0) {
            continue;
        }
        const std::string path = dir_ + "/" + name;
        const platform::WriteResult written = platform::WriteWholeFile(path, bytes, replace_);
        if (written.status == platform::WriteStatus::Failed) {
            return {std::string(), written.error};
        }
        used_.insert(name);
        if (written.status == platform::WriteStatus::Written) {
            return {path, Error()};
        }
    }
    return {
        std::string(),
        {ErrorCode::Unwritable, "no free name for '" + stem + extension_ + "' in '" + dir_ + "'"}};
}

} // namespace vrel
