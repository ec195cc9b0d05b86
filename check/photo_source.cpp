#include "check/photo_source.h"

#include "platform/files.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace vrel {

size_t MemorySource::ReadAt(uint64_t offset, unsigned char* out, size_t n) {
    if (offset >= size_) {
        return 0;
    }
    const size_t count = std::min<uint64_t>(n, size_ - offset);
    std::memcpy(out, data_ + offset, count);
    return count;
}

Error FileSource::Open(const std::string& path) {
    if (path.find('\0') != std::string::npos) {
        return {ErrorCode::Invalid, "the path holds a NUL byte"};
    }
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::file_status status = fs::status(fs::u8path(path), ec);
    if (ec) {
        return {ec == std::errc::no_such_file_or_directory ? ErrorCode::NotFound
                                                           : ErrorCode::Unreadable,
                "cannot open file: " + ec.message()};
    }
    if (!fs::is_regular_file(status)) {
        return {ErrorCode::Unreadable, "not a regular file"};
    }
    file_.reset(platform::OpenForReading(path));
    if (!file_) {
        return {ErrorCode::Unreadable, std::string("cannot open file: ") + std::strerror(errno)};
    }
    const uintmax_t size = fs::file_size(fs::u8path(path), ec);
    if (ec) {
        return {ErrorCode::Unreadable, "cannot open file: " + ec.message()};
    }
    size_ = size;
    return {};
}

size_t FileSource::ReadAt(uint64_t offset, unsigned char* out, size_t n) {
    // Offsets beyond what the stream functions take are beyond any photo read here.
    if (offset > static_cast<uint64_t>(LONG_MAX) ||
        std::fseek(file_.get(), static_cast<long>(offset), SEEK_SET) != 0) {
        failed_ = {ErrorCode::Unreadable, std::string("cannot read file: ") + std::strerror(errno)};
        return 0;
    }
    const size_t got = std::fread(out, 1, n, file_.get());
    if (got < n && std::ferror(file_.get())) {
        failed_ = {ErrorCode::Unreadable, std::string("cannot read file: ") + std::strerror(errno)};
        std::clearerr(file_.get());
    }
    return got;
}

Error FileSource::ReadAll(std::vector<unsigned char>& buffer) {
    buffer.resize(static_cast<size_t>(size_));
    if (ReadAt(0, buffer.data(), buffer.size()) == buffer.size()) {
        return {};
    }
    if (!failed_) {
        failed_ = {ErrorCode::Unreadable, "cannot read file: it became shorter while it was read"};
    }
    return failed_;
}

} // namespace vrel
