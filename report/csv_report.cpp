#include "report/csv_report.h"

#include "report/report.h"

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace vrel {

bool CsvReport::Open(const std::string& path) {
    path_ = path;
    out_.open(std::filesystem::u8path(path), std::ios::binary | std::ios::trunc);
    if (!out_) {
        return false;
    }
    // The byte order mark makes spreadsheet programs read the file as UTF-8.
    Write("\xEF\xBB\xBF" + CsvHeader());
    return true;
}

void CsvReport::Write(const std::string& text) {
    if (out_.is_open() && !failed_) {
        out_ << text;
        Check();
    }
}

bool CsvReport::Close() {
    if (out_.is_open()) {
        out_.flush();
        Check();
        out_.close();
        if (out_.fail() && !failed_) {
            failed_ = true;
            reason_ = "cannot close the file";
        }
    }
    return !failed_;
}

void CsvReport::Check() {
    if (!out_ && !failed_) {
        failed_ = true;
        reason_ = std::strerror(errno);
    }
}

} // namespace vrel
