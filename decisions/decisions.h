#pragma once

// An operator's decisions on a batch, handed back from the report page as decisions.csv: which
// photos were accepted and which sent back, checked against the files as they were reviewed,
// and the accepted ones written as saved, marked photos.

#include "base/error.h"
#include "check/check_run.h"
#include "check/settings.h"
#include "output/output_folder.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vrel {

enum class DecisionKind { Undecided, Accepted, SentBack };

// One row of the decision file.
struct Decision {
    size_t line = 0; // where it began in the file, from 1
    std::string path;
    DecisionKind kind = DecisionKind::Undecided;
    std::string note, who, when;
    std::string corrected; // the corrected photo, where the batch made one
    std::optional<uint64_t> file_size;
    std::string sha256, corrected_sha256;
};

// The rows of a decision file: UTF-8 CSV (a byte order mark and CRLF or LF line ends allowed,
// fields quoted as RFC 4180 has it) with a header row naming at least path, decision,
// file_size and sha256; the decisions read 通过 or 退回 (accepted or returned), or are empty.
// An error names the line that cannot be read.
Result<std::vector<Decision>> ParseDecisions(const std::string& text);

// Why an accepted photo may not be written as the decision says: its file is gone, or differs
// in size or SHA-256 from what the batch reviewed (the corrected photo's likewise). Empty where
// it is as it was.
std::string ChangedSince(const Decision& decision);

// What writing one accepted photo came to.
struct Applied {
    std::string source;     // the file written from: the corrected photo where there is one
    CheckVerdict verdict{}; // its review now (a corrected photo reviewed with every test)
    std::string saved;      // where it went; empty on failure
    Error error;
};

// Reviews the accepted photo (the corrected one where there is one) and saves it, marked as
// passed and within the output sizes, into folder, named after the photo. An operator may
// accept a photo the review rejects: it is saved all the same where the review got as far as
// the normalised photo.
Applied ApplyDecision(const Decision& decision, PhotoReviewer& reviewer,
                      const CheckSettings& settings, OutputFolder& folder);

} // namespace vrel
