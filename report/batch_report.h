#pragma once

#include "base/error.h"
#include "base/version.h"

#include "check/check_run.h"
#include "check/settings.h"
#include "fingerprint/duplicates.h"
#include "report/annotate.h"

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include <cstdint>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace vrel {

// The pictures of one photo in a batch report, encoded as JPEG; any may be empty.
struct ReportPictures {
    std::vector<unsigned char> thumb;           // the photo, about 160 px high
    std::vector<unsigned char> explain;         // its explanation picture
    std::vector<unsigned char> corrected_thumb; // the corrected photo, about 160 px high
};

inline constexpr int kThumbHeight = 160;

// A thumbnail of a picture, kThumbHeight high (never enlarged); empty for an empty picture.
std::vector<unsigned char> Thumbnail(const cv::Mat& picture);
// The pictures a review gives: the normalised photo and its explanation; corrected, where
// there is one, the corrected photo as normalised. A review that ended before the photo was
// normalised (another format, a file or pixel size out of range) has the thumbnail of the file
// at path, where any of the correction's decoders reads it.
ReportPictures PicturesOfReview(const ReviewResult& result, const cv::Mat& corrected,
                                const CheckSettings& settings, const VerdictLabels& labels,
                                const std::string& path = std::string());
// The thumbnails of a record's photo and its corrected photo, read from their files (for a
// report made from records without reviewing again); what cannot be read is left out.
ReportPictures PicturesFromFiles(const std::string& photo, const std::string& corrected);

// The address of a file relative to the page in folder dir, percent-encoded; a file URL where
// no relative one leads there (another drive).
std::string RelativeUrl(const std::string& dir, const std::string& file);

// What the report's header shows.
struct ReportMeta {
    std::string program = std::string("vrel-check ") + kVersion;
    double seconds = 0;
    nlohmann::ordered_json settings = nlohmann::ordered_json::object();
    std::vector<std::string> requirements;  // what the settings check, in Chinese
    std::map<std::string, uint64_t> counts; // by verdict name
};

nlohmann::ordered_json SettingsToJson(const CheckSettings& settings);

// A self-contained report folder, readable offline from the file system or from any static web
// server: the page (index.html, report.js, report.css), records.js with every record as the
// JSON records have it plus the names of its pictures, and the pictures under thumbs/ and
// explain/, named by the record's number so that no photo's name reaches the file system.
// records.js is written as the records come and put in place whole at the end. Each record
// also gets the address of its photo and its corrected photo relative to the page
// (photo_url, corrected_url), and the summary the groups of photos handed in more than once
// (duplicate_groups, by the records' numbers from 0, found by their phash) and an identity of
// its own (id) that the page keeps an operator's decisions under.
class BatchReportWriter {
public:
    // Creates the folder (and its own subfolders) and writes the page.
    Error Open(const std::string& dir);
    // Adds a record (RecordToJson's object) and its pictures. The first file that cannot be
    // written ends the report: that error is kept, and Add and Close only return it from then
    // on (the report stays incomplete, never put in place).
    Error Add(nlohmann::ordered_json record, const ReportPictures& pictures);
    // Writes the summary and puts records.js in place.
    Error Close(ReportMeta meta);

    uint64_t Count() const { return count_; }

private:
    Error Write(nlohmann::ordered_json record, const ReportPictures& pictures);
    Error WritePicture(const std::string& name, const std::vector<unsigned char>& bytes);

    std::string dir_;
    std::ofstream records_;
    uint64_t count_ = 0;
    std::map<std::string, uint64_t> counts_;
    DuplicateFinder duplicates_;
    Error failed_; // the first write that failed
};

} // namespace vrel
