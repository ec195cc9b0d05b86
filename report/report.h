#pragma once

#include "check/check_run.h"
#include "correct/correction.h"
#include "fingerprint/fingerprint.h"
#include "output/photo_writer.h"
#include "report/explain.h"

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
    std::vector<std::string> warnings; // the decoder's complaints about a photo it could decode
    std::optional<std::string> saved;  // where the passed photo was written
    std::optional<int> quality;
    std::optional<std::string> save_error;
    std::optional<std::string> annotated; // where the explanation picture was written
    std::optional<std::string> annotate_error;
    std::optional<std::string> tip; // the tip picture of a rejection, for the settings in force
    std::string reason;             // why it was rejected, in words (empty for a pass)
    nlohmann::ordered_json why;     // the same in numbers (null for a pass)
    // The correction of a rejected photo: where the corrected photo went and what was changed,
    // or why it cannot be corrected; and the cause when its file could not be written.
    std::optional<std::string> corrected;
    nlohmann::ordered_json correction;
    nlohmann::ordered_json correction_error;
    std::optional<std::string> correct_write_error;
    std::optional<std::string> corrected_sha256; // of the corrected photo's file
    // The file's size, time and SHA-256, and its picture's perceptual hash, where a batch read
    // them (to resume, to refuse decisions on a photo changed since, to find duplicates).
    std::optional<FileFingerprint> fingerprint;
    std::vector<std::string> duplicates; // the earlier photos of the batch this one repeats

    // An output that was asked for could not be written.
    bool OutputFailed() const {
        return save_error.has_value() || annotate_error.has_value() ||
               correct_write_error.has_value();
    }
};

PhotoRecord MakeRecord(const std::string& path, const ReviewResult& result,
                       const CheckSettings& settings);

// Adds what the correction of the record's photo came to.
void AddCorrection(PhotoRecord& record, const Correction& correction,
                   const CheckSettings& settings);

nlohmann::ordered_json RecordToJson(const PhotoRecord& record);
// path, verdict name, info text and the reason of a rejection (empty for a pass), separated by
// tabs, then every output that failed with its cause. Tabs, line breaks and other control
// characters in the fields are escaped (\t, \n, \\, \xHH), so that each record is one line of
// four or more columns.
std::string RecordToText(const PhotoRecord& record);
std::string EscapeTextField(const std::string& text);

// The spreadsheet report: a header row and one row per photo, with the fields of the JSON.
std::string CsvHeader();
std::string RecordToCsv(const PhotoRecord& record);
// A field quoted where it needs to be.
std::string CsvField(const std::string& text);

} // namespace vrel
