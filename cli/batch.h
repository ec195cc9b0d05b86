#pragma once

#include "check/check_run.h"
#include "fingerprint/fingerprint.h"
#include "report/attention.h"
#include "report/batch_report.h"
#include "report/report.h"

#include <cstdint>
#include <functional>
#include <istream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace vrel {

// True for names ending in .jpg, .jpeg or .jfif, in any letter case; with other_formats, also
// .png, .webp, .bmp, .tif and .tiff (photos the correction converts).
bool HasPhotoExtension(const std::string& name, bool other_formats = false);

// A folder's photo files (not its subfolders'), sorted by name; any other path as it is.
// A folder that cannot be listed (whole or in part) comes last in its own list, so that it is
// reported as a photo that could not be read.
std::vector<std::string> ExpandPath(const std::string& path, bool other_formats = false);
// Why a folder cannot be listed; no error for a folder that can, or a path that is no folder.
Error FolderListingError(const std::string& path);

// Where the photo paths of a batch come from, one at a time and in order.
class PathSource {
public:
    virtual ~PathSource() = default;
    virtual bool Next(std::string& path) = 0;
    // How many paths there are in all, where that is known beforehand.
    virtual std::optional<uint64_t> Total() const = 0;
};

class ListSource : public PathSource {
public:
    explicit ListSource(std::vector<std::string> paths) : paths_(std::move(paths)) {}
    bool Next(std::string& path) override;
    std::optional<uint64_t> Total() const override { return paths_.size(); }

private:
    std::vector<std::string> paths_;
    size_t next_ = 0;
};

// One path per line of a stream (a trailing carriage return and empty lines are skipped, and
// a UTF-8 byte order mark before the first line). Lines are read as they are needed, so a list
// of any length streams through.
class LineSource : public PathSource {
public:
    LineSource(std::istream& in, std::optional<uint64_t> total) : in_(in), total_(total) {}
    bool Next(std::string& path) override;
    std::optional<uint64_t> Total() const override { return total_; }
    // The stream failed while it was read (not merely ended).
    bool ReadFailed() const { return in_.bad(); }

private:
    std::istream& in_;
    std::optional<uint64_t> total_;
    bool first_ = true;
};

// The paths of one source, then those of the next.
class ChainSource : public PathSource {
public:
    ChainSource(PathSource& first, PathSource& second) : first_(first), second_(second) {}
    bool Next(std::string& path) override { return first_.Next(path) || second_.Next(path); }
    std::optional<uint64_t> Total() const override;

private:
    PathSource& first_;
    PathSource& second_;
};

// The paths of a source but those already reviewed: done maps a path to the size and time its
// file had then, and a path is skipped while its file still has them.
class SkipSource : public PathSource {
public:
    struct Stamp {
        uint64_t size = 0;
        int64_t modified_ns = 0;
        bool operator==(const Stamp& o) const {
            return size == o.size && modified_ns == o.modified_ns;
        }
        bool operator!=(const Stamp& o) const { return !(*this == o); }
    };
    SkipSource(PathSource& inner, const std::map<std::string, Stamp>& done)
        : inner_(inner), done_(done) {}
    bool Next(std::string& path) override;
    std::optional<uint64_t> Total() const override;
    uint64_t Skipped() const { return skipped_; }

private:
    PathSource& inner_;
    const std::map<std::string, Stamp>& done_;
    uint64_t skipped_ = 0;
};

// The size and time of a file as it is now; std::nullopt where it cannot be read.
std::optional<SkipSource::Stamp> StampOf(const std::string& path);

struct BatchOptions {
    CheckSettings check;
    std::string data_dir;
    std::string save_dir;                      // empty: passed photos are not saved
    std::string annotate_dir;                  // empty: no explanation pictures
    std::string correct_dir;                   // empty: rejected photos are not corrected
    BackdropColour backdrop = WhiteBackdrop(); // the colour a replaced backdrop gets
    bool overwrite = false; // replace files already in those folders (atomically)
    int jobs = 1;
    bool ignore_marker = false;
    bool fast_decode = false;
    bool report_pictures = false; // thumbnails and explanation pictures for a report folder
    // Each record gets its file's size, time, SHA-256 and perceptual hash, and the earlier
    // photos of the batch it repeats.
    bool fingerprints = true;
    // The face networks' measures beside the advisories (ReviewOptions::landmarks).
    bool landmarks = ReviewOptions().landmarks;
};

struct BatchSummary {
    uint64_t reviewed = 0;
    std::map<CheckVerdict, uint64_t> counts;
    AttentionCounts attention;    // what the photos ask of an operator
    uint64_t output_failures = 0; // photos with an output that could not be written
    // The photos handed in more than once, by their numbers in the batch (from 0).
    std::vector<std::vector<size_t>> duplicate_groups;
    // Why the batch ended early: its workers could not be set up (then no photo was reviewed).
    Error setup_error;
    bool AllPassed() const; // false after a set-up error
};

// Reviews every path of the source with opts.jobs workers and hands each record to the sink
// in input order, with its report pictures where opts.report_pictures asks for them;
// progress(done) is called after each record. At most a few records per worker wait for their
// turn, so memory does not grow with the batch. Workers that cannot be set up (their face
// detector cannot be read) end it with the summary's setup_error.
using RecordSink = std::function<void(const PhotoRecord&, const ReportPictures&)>;
BatchSummary RunBatch(PathSource& source, const BatchOptions& opts, const RecordSink& sink,
                      const std::function<void(uint64_t)>& progress = {});

} // namespace vrel
