#include "decisions/decisions.h"

#include "fingerprint/fingerprint.h"
#include "output/photo_writer.h"

#include <map>

namespace vrel {
namespace {

// The fields of one CSV row starting at pos, which is moved past the row's end.
Result<std::vector<std::string>> ReadRow(const std::string& text, size_t& pos, size_t& line) {
    std::vector<std::string> fields(1);
    const size_t first_line = line;
    bool quoted = false, was_quoted = false;
    while (pos < text.size()) {
        const char c = text[pos++];
        std::string& field = fields.back();
        if (quoted) {
            if (c == '"' && pos < text.size() && text[pos] == '"') {
                field += '"';
                ++pos;
            } else if (c == '"') {
                quoted = false;
            } else {
                line += c == '\n';
                field += c;
            }
        } else if (c == '"' && field.empty() && !was_quoted) {
            quoted = was_quoted = true;
        } else if (c == ',') {
            fields.emplace_back();
            was_quoted = false;
        } else if (c == '\n' || (c == '\r' && pos < text.size() && text[pos] == '\n')) {
            pos += c == '\r';
            ++line;
            return fields;
        } else if (was_quoted) {
            return Error(ErrorCode::Invalid,
                         "line " + std::to_string(first_line) + ": text after a quoted field");
        } else {
            field += c;
        }
    }
    if (quoted) {
        return Error(ErrorCode::Invalid,
                     "line " + std::to_string(first_line) + ": a quoted field is not closed");
    }
    return fields;
}

std::optional<DecisionKind> KindOf(const std::string& word) {
    static const std::map<std::string, DecisionKind> kinds = {
        {"", DecisionKind::Undecided},        {"通过", DecisionKind::Accepted},
        {"已通过", DecisionKind::Accepted},   {"accepted", DecisionKind::Accepted},
        {"退回", DecisionKind::SentBack},     {"已退回", DecisionKind::SentBack},
        {"returned", DecisionKind::SentBack},
    };
    const auto kind = kinds.find(word);
    return kind == kinds.end() ? std::nullopt : std::optional(kind->second);
}

std::optional<uint64_t> Count(const std::string& text) {
    if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != text.npos) {
        return std::nullopt;
    }
    return std::stoull(text);
}

} // namespace

Result<std::vector<Decision>> ParseDecisions(const std::string& text) {
    size_t pos = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    size_t line = 1;
    auto header = ReadRow(text, pos, line);
    if (!header) {
        return header.Err();
    }
    std::map<std::string, size_t> column;
    for (size_t i = 0; i < header->size(); ++i) {
        column.emplace((*header)[i], i);
    }
    for (const char* needed : {"path", "decision", "file_size", "sha256"}) {
        if (!column.count(needed)) {
            return Error(ErrorCode::Invalid,
                         std::string("line 1: the header has no column '") + needed +
                             "' (a decision file is what the report page exports)");
        }
    }
    std::vector<Decision> decisions;
    while (pos < text.size()) {
        const size_t at = line;
        auto row = ReadRow(text, pos, line);
        if (!row) {
            return row.Err();
        }
        if (row->size() == 1 && (*row)[0].empty()) {
            continue; // an empty line
        }
        const auto field = [&](const char* name) {
            const auto c = column.find(name);
            return c != column.end() && c->second < row->size() ? (*row)[c->second] : std::string();
        };
        const std::string where = "line " + std::to_string(at) + ": ";
        Decision d;
        d.line = at;
        d.path = field("path");
        const auto kind = KindOf(field("decision"));
        if (!kind) {
            return Error(ErrorCode::Invalid, where + "the decision '" + field("decision") +
                                                 "' is neither 通过 nor 退回");
        }
        d.kind = *kind;
        d.note = field("note");
        d.who = field("who");
        d.when = field("when");
        d.corrected = field("corrected");
        d.file_size = Count(field("file_size"));
        d.sha256 = field("sha256");
        d.corrected_sha256 = field("corrected_sha256");
        if (d.path.empty()) {
            return Error(ErrorCode::Invalid, where + "no path");
        }
        decisions.push_back(std::move(d));
    }
    return decisions;
}

std::string ChangedSince(const Decision& d) {
    if (!d.file_size || d.sha256.empty()) {
        return "the decision file does not say which file was reviewed (no file_size or "
               "sha256): make the report again with this version";
    }
    const FileFingerprint now = FileIdentity(d.path);
    if (now.error) {
        return "the photo cannot be read any more: " + now.error.Detail();
    }
    if (now.size != *d.file_size || now.sha256 != d.sha256) {
        return "the photo has changed since it was reviewed";
    }
    if (!d.corrected.empty()) {
        const FileFingerprint corrected = FileIdentity(d.corrected);
        if (corrected.error) {
            return "the corrected photo cannot be read any more: " + corrected.error.Detail();
        }
        if (!d.corrected_sha256.empty() && corrected.sha256 != d.corrected_sha256) {
            return "the corrected photo has changed since the batch wrote it";
        }
    }
    return {};
}

Applied ApplyDecision(const Decision& d, PhotoReviewer& reviewer, const CheckSettings& settings,
                      OutputFolder& folder) {
    Applied out;
    out.source = d.corrected.empty() ? d.path : d.corrected;
    const ReviewResult review = reviewer.Review(out.source);
    out.verdict = review.verdict;
    const cv::Mat& photo = !review.result_image.empty() ? review.result_image : review.normalised;
    if (photo.empty()) {
        out.error = {ErrorCode::Unsupported,
                     "the photo cannot be saved: the review did not get as far as the "
                     "normalised photo (" +
                         std::string(VerdictName(review.verdict)) + ")"};
        return out;
    }
    const PreparedPhoto prepared = PreparePassedPhoto(photo, settings);
    if (prepared.outcome.status != SaveStatus::Saved) {
        out.error = prepared.outcome.error
                        ? prepared.outcome.error
                        : Error(ErrorCode::Invalid, "the photo cannot be saved within the sizes");
        return out;
    }
    const auto written = folder.Write(d.path, prepared.bytes);
    if (!written.Ok()) {
        out.error = written.error;
        return out;
    }
    out.saved = written.path;
    return out;
}

} // namespace vrel
