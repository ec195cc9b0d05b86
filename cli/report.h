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
};

PhotoRecord MakeRecord(const std::string& path, const ReviewResult& result);

nlohmann::ordered_json RecordToJson(const PhotoRecord& record);
// path, verdict name and info text, separated by tabs.
std::string RecordToText(const PhotoRecord& record);

// A single-precision value as JSON, written with the fewest digits that read back as it.
nlohmann::json FloatJson(float value);

} // namespace vrel
