#pragma once

#include "base/error.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace vrel {

// The bytes of one photo, read where they are asked for: a file on disk or a buffer in memory.
class PhotoSource {
public:
    virtual ~PhotoSource() = default;
    virtual uint64_t Size() const = 0;
    // Reads up to n bytes at offset into out; returns how many were read (fewer at the end, or
    // when the file cannot be read: Failed() then says why, as an Unreadable error).
    virtual size_t ReadAt(uint64_t offset, unsigned char* out, size_t n) = 0;
    // The whole content where it is in memory; nullptr for a file.
    virtual const unsigned char* Data() const { return nullptr; }
    virtual Error Failed() const { return Error(); }
};

class MemorySource : public PhotoSource {
public:
    MemorySource(const unsigned char* data, size_t size) : data_(data), size_(size) {}
    uint64_t Size() const override { return size_; }
    size_t ReadAt(uint64_t offset, unsigned char* out, size_t n) override;
    const unsigned char* Data() const override { return data_; }

private:
    const unsigned char* data_;
    size_t size_;
};

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

// An open regular file. Open() fails for anything that cannot be read as a file.
class FileSource : public PhotoSource {
public:
    Error Open(const std::string& path);
    uint64_t Size() const override { return size_; }
    size_t ReadAt(uint64_t offset, unsigned char* out, size_t n) override;
    Error Failed() const override { return failed_; }
    std::FILE* Handle() const { return file_.get(); }
    // Reads the whole file into buffer, or says why it cannot.
    Error ReadAll(std::vector<unsigned char>& buffer);

private:
    FileHandle file_;
    uint64_t size_ = 0;
    Error failed_;
};

} // namespace vrel
