#pragma once

#include <fstream>
#include <string>

namespace vrel {

// Writes the CSV report (UTF-8 with a byte order mark, CsvHeader then a line per record) as
// records come, and remembers whether every byte reached the file.
class CsvReport {
public:
    // Creates or truncates the file and writes the header; false when it cannot be opened.
    bool Open(const std::string& path);
    bool IsOpen() const { return out_.is_open(); }
    void Write(const std::string& text);
    // Flushes and closes; false when anything could not be written (Reason says why).
    bool Close();
    const std::string& Reason() const { return reason_; }

private:
    void Check();
    std::string path_;
    std::ofstream out_;
    bool failed_ = false;
    std::string reason_;
};

} // namespace vrel
