#pragma once

#include "check/check_run.h"
#include "output/photo_writer.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

namespace vrel {

// One photo's line of the batch report.
struct PhotoRecord {
    std::string path; // as given
    CheckVerdict verdict = CheckVerdict::NotJpeg;
    ReviewMeasures measures;
    std::string error;
    std::optional<std::string> saved; // where the passed photo was written
    std::optional<int> quality;
    std::optional<std::string> save_error;
    std::optional<std::string> annotated; // where the explanation picture was written
    std::string reason;                   // why it was rejected, in words (empty for a pass)
    nlohmann::ordered_json why;           // the same in numbers (null for a pass)
};

PhotoRecord MakeRecord(const std::string& path, const ReviewResult& result,
                       const CheckSettings& settings);

nlohmann::ordered_json RecordToJson(const PhotoRecord& record);
// path, verdict name and info text, separated by tabs.
std::string RecordToText(const PhotoRecord& record);

// The spreadsheet report: a header row and one row per photo, with the fields of the JSON.
std::string CsvHeader();
std::string RecordToCsv(const PhotoRecord& record);
// A field quoted where it needs to be.
std::string CsvField(const std::string& text);

// A single-precision value as JSON, written with the fewest digits that read back as it.
nlohmann::json FloatJson(float value);

} // namespace vrel
