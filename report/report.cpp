#include "report/report.h"

#include "report/advisory_text.h"
#include "report/correction_text.h"
#include "report/messages.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>

namespace vrel {

PhotoRecord MakeRecord(const std::string& path, const ReviewResult& result,
                       const CheckSettings& settings) {
    PhotoRecord r;
    r.path = path;
    r.verdict = result.verdict;
    r.measures = result.measures;
    r.error = result.error.Detail();
    r.warnings = result.warnings;
    r.tip = TipPicture(result.verdict, settings);
    Explanation e = Explain(result, settings);
    r.reason = std::move(e.text);
    r.why = std::move(e.why);
    return r;
}

void AddCorrection(PhotoRecord& record, const Correction& c, const CheckSettings& settings) {
    if (c.status == CorrectionStatus::Corrected) {
        const ReviewMeasures& m = c.review.measures;
        record.correction = {
            {"crop", {{"x", c.crop.x}, {"y", c.crop.y}, {"w", c.crop.width}, {"h", c.crop.height}}},
            {"scale", c.scale},
            {"format", c.format},
            {"quality", c.quality},
            {"ratio_y", m.ratio_y ? FloatJson(*m.ratio_y) : nlohmann::json()},
            {"ratio_x", m.ratio_x ? FloatJson(*m.ratio_x) : nlohmann::json()},
            {"centre_diff", m.centre_diff ? nlohmann::json(*m.centre_diff) : nlohmann::json()}};
        nlohmann::json steps = nlohmann::json::array();
        for (const CorrectionStep step : c.steps) {
            steps.push_back(StepName(step));
        }
        record.correction["steps"] = std::move(steps);
        if (c.steps.end() !=
                std::find(c.steps.begin(), c.steps.end(), CorrectionStep::Straighten) &&
            c.roll) {
            record.correction["roll"] = *c.roll;
        }
        if (c.extended) {
            record.correction["extend"] = {
                {"top", c.extended->top}, {"left", c.extended->left}, {"right", c.extended->right}};
        }
        record.correction["warnings"] = c.warnings;
        // The corrected photo's own quality, measured again; an advisory that the original,
        // assessed, did not have is marked as come with the correction.
        const std::vector<AdvisoryNote> before =
            record.measures.advisories.value_or(std::vector<AdvisoryNote>());
        nlohmann::json advisories = nlohmann::json::array();
        for (const AdvisoryNote& note : m.advisories.value_or(std::vector<AdvisoryNote>())) {
            const bool had = std::any_of(before.begin(), before.end(), [&](const AdvisoryNote& b) {
                return b.code == note.code;
            });
            advisories.push_back({{"code", AdvisoryCode(note.code)},
                                  {"measure", note.measure},
                                  {"bound", note.bound},
                                  {"text", AdvisoryText(note)},
                                  {"new", record.measures.advisories.has_value() && !had}});
        }
        record.correction["advisories"] = std::move(advisories);
        return;
    }
    if (c.status == CorrectionStatus::Refused) {
        record.correction_error = {{"reason", CorrectionReason(c, settings)},
                                   {"rule", CorrectionRuleName(c.rule)}};
        for (const auto& [name, value] : c.numbers.Named()) {
            record.correction_error[name] = value;
        }
        if (!c.blockers.empty()) {
            nlohmann::json blockers = nlohmann::json::array();
            for (const CorrectionBlocker& b : c.blockers) {
                nlohmann::json one = {{"rule", CorrectionRuleName(b.rule)},
                                      {"reason", BlockerText(b, settings, c.review)}};
                for (const auto& [name, value] : b.numbers.Named()) {
                    one[name] = value;
                }
                for (const auto& [name, value] : b.backdrop_measures.Named()) {
                    one[name] = value;
                }
                blockers.push_back(std::move(one));
            }
            record.correction_error["blockers"] = std::move(blockers);
        }
    }
}

namespace {

using Json = nlohmann::ordered_json;

// Sets key only where there is a value.
template <typename T> void Put(Json& j, const char* key, const std::optional<T>& value) {
    if (value) {
        j[key] = *value;
    }
}

void PutFloat(Json& j, const char* key, const std::optional<float>& value) {
    if (value) {
        j[key] = FloatJson(*value);
    }
}

void PutMeasures(Json& j, const ReviewMeasures& m) {
    Put(j, "file_size", m.file_size);
    Put(j, "width", m.width);
    Put(j, "height", m.height);
    if (m.background_pixel) {
        const BackgroundPixel& p = *m.background_pixel;
        j["background_pixel"] = {{"strip", p.strip == Strip::Left ? "left" : "right"},
                                 {"row", p.row},
                                 {"col", p.col},
                                 {"hue", p.hue},
                                 {"saturation", FloatJson(p.saturation)},
                                 {"value", FloatJson(p.value)}};
    }
    Put(j, "faces", m.faces);
    if (m.face) {
        j["face"] = {
            {"x", m.face->x}, {"y", m.face->y}, {"w", m.face->width}, {"h", m.face->height}};
    }
    PutFloat(j, "ratio_y", m.ratio_y);
    PutFloat(j, "ratio_x", m.ratio_x);
    Put(j, "centre_diff", m.centre_diff);
    if (m.face_check) {
        const auto box = [](const cv::Rect& r) {
            return nlohmann::json{{"x", r.x}, {"y", r.y}, {"w", r.width}, {"h", r.height}};
        };
        nlohmann::json faces = nlohmann::json::array();
        for (size_t i = 0; i < m.face_rects.size(); ++i) {
            nlohmann::json face = box(m.face_rects[i]);
            face["is_face"] = i < m.face_check->confirmed.size() && m.face_check->confirmed[i];
            faces.push_back(std::move(face));
        }
        nlohmann::json found = nlohmann::json::array();
        for (const cv::Rect& r : m.face_check->network_faces) {
            found.push_back(box(r));
        }
        j["face_check"] = {{"faces", std::move(faces)},
                           {"network_faces", std::move(found)},
                           {"text", FaceCheckText(*m.face_check, m.face_rects)}};
    }
}

} // namespace

nlohmann::ordered_json RecordToJson(const PhotoRecord& record) {
    Json j;
    j["path"] = record.path;
    j["verdict"] = VerdictName(record.verdict);
    j["info"] = InfoText(record.verdict);
    j["tip"] = record.tip ? nlohmann::json(*record.tip) : nlohmann::json(nullptr);
    j["marked"] = record.measures.marked;
    PutMeasures(j, record.measures);
    if (!record.reason.empty()) {
        j["reason"] = record.reason;
        j["why"] = record.why;
    }
    if (!record.error.empty()) {
        j["error"] = record.error;
    }
    if (!record.warnings.empty()) {
        j["warnings"] = record.warnings;
    }
    Put(j, "saved", record.saved);
    Put(j, "quality", record.quality);
    Put(j, "save_error", record.save_error);
    Put(j, "annotated", record.annotated);
    Put(j, "annotate_error", record.annotate_error);
    Put(j, "corrected", record.corrected);
    if (!record.correction.is_null()) {
        j["correction"] = record.correction;
    }
    if (!record.correction_error.is_null()) {
        j["correction_error"] = record.correction_error;
    }
    Put(j, "correct_write_error", record.correct_write_error);
    Put(j, "corrected_sha256", record.corrected_sha256);
    if (const auto& f = record.fingerprint; f && !f->error) {
        if (!j.contains("file_size")) {
            j["file_size"] = f->size;
        }
        j["mtime_ns"] = f->modified_ns;
        j["sha256"] = f->sha256;
        if (f->phash) {
            j["phash"] = HashHex(*f->phash);
        }
    }
    if (!record.duplicates.empty()) {
        j["duplicates"] = record.duplicates;
    }
    // Quality hints beside the verdict: an empty list where the photo was assessed and none
    // applies, and where it was not (no single face found).
    j["advisories"] = Json::array();
    for (const AdvisoryNote& note :
         record.measures.advisories.value_or(std::vector<AdvisoryNote>())) {
        j["advisories"].push_back({{"code", AdvisoryCode(note.code)},
                                   {"measure", note.measure},
                                   {"bound", note.bound},
                                   {"text", AdvisoryText(note)}});
    }
    return j;
}

std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        return text;
    }
    std::string quoted = "\"";
    for (char c : text) {
        quoted += c;
        if (c == '"') {
            quoted += '"';
        }
    }
    return quoted + "\"";
}

std::string CsvHeader() {
    return "path,verdict,info,tip,marked,file_size,width,height,faces,face_x,face_y,face_w,"
           "face_h,ratio_y,ratio_x,centre_diff,reason,why,error,saved,quality,save_error,"
           "annotated,background_strip,background_row,background_col,background_hue,"
           "background_saturation,background_value,warnings,annotate_error,corrected,correction,"
           "correction_error,correct_write_error,advisories\r\n";
}

std::string RecordToCsv(const PhotoRecord& record) {
    const nlohmann::ordered_json j = RecordToJson(record);
    auto field = [&](const char* key) -> std::string {
        if (!j.contains(key) || j[key].is_null()) {
            return std::string();
        }
        const auto& v = j[key];
        return CsvField(v.is_string() ? v.get<std::string>()
                                      : v.dump(-1, ' ', false,
                                               nlohmann::ordered_json::error_handler_t::replace));
    };
    auto face = [&](const char* key) -> std::string {
        return record.measures.face ? j["face"][key].dump() : std::string();
    };
    auto pixel = [&](const char* key) -> std::string {
        if (!record.measures.background_pixel) {
            return std::string();
        }
        const auto& v = j["background_pixel"][key];
        return v.is_string() ? v.get<std::string>() : v.dump();
    };
    std::string row;
    for (const char* key :
         {"path", "verdict", "info", "tip", "marked", "file_size", "width", "height", "faces"}) {
        row += field(key) + ",";
    }
    for (const char* key : {"x", "y", "w", "h"}) {
        row += face(key) + ",";
    }
    for (const char* key : {"ratio_y", "ratio_x", "centre_diff", "reason", "why", "error", "saved",
                            "quality", "save_error"}) {
        row += field(key) + ",";
    }
    row += field("annotated") + ",";
    for (const char* key : {"strip", "row", "col", "hue", "saturation", "value"}) {
        row += pixel(key) + ",";
    }
    std::string warnings;
    for (const std::string& w : record.warnings) {
        warnings += (warnings.empty() ? "" : "; ") + w;
    }
    row += CsvField(warnings) + "," + field("annotate_error") + ",";
    for (const char* key : {"corrected", "correction", "correction_error"}) {
        row += field(key) + ",";
    }
    std::string advisories;
    for (const AdvisoryNote& note :
         record.measures.advisories.value_or(std::vector<AdvisoryNote>())) {
        advisories += (advisories.empty() ? "" : "; ") + std::string(AdvisoryCode(note.code));
    }
    return row + field("correct_write_error") + "," + CsvField(advisories) + "\r\n";
}

std::string EscapeTextField(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const auto b = static_cast<unsigned char>(c);
        switch (c) {
        case '\t':
            out += "\\t";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\\':
            out += "\\\\";
            break;
        default:
            if (b < 0x20 || b == 0x7F) {
                static const char kHex[] = "0123456789abcdef";
                out += "\\x";
                out += kHex[b >> 4];
                out += kHex[b & 15];
            } else {
                out += c;
            }
        }
    }
    return out;
}

std::string RecordToText(const PhotoRecord& record) {
    std::string line = EscapeTextField(record.path) + "\t" + VerdictName(record.verdict) + "\t" +
                       InfoText(record.verdict) + "\t" + EscapeTextField(record.reason);
    if (record.save_error) {
        line += "\tsave_error: " + EscapeTextField(*record.save_error);
    }
    if (record.annotate_error) {
        line += "\tannotate_error: " + EscapeTextField(*record.annotate_error);
    }
    if (record.corrected) {
        line += "\tcorrected: " + EscapeTextField(*record.corrected);
    }
    if (!record.correction_error.is_null()) {
        line += "\tcorrection_error: " +
                EscapeTextField(record.correction_error["reason"].get<std::string>());
    }
    if (record.correct_write_error) {
        line += "\tcorrect_write_error: " + EscapeTextField(*record.correct_write_error);
    }
    return line;
}

} // namespace vrel
