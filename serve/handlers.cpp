#include "serve/handlers.h"

#include "report/correction_text.h"
#include "report/messages.h"

#include "output/photo_writer.h"
#include "report/report.h"

#include <opencv2/imgcodecs.hpp>

#include <nlohmann/json.hpp>

#include <cstdio>

namespace vrel::serve {
namespace {

using Json = nlohmann::ordered_json;

std::string Dump(const Json& j, bool ascii = false) {
    return j.dump(-1, ' ', ascii, Json::error_handler_t::replace);
}

struct Reviewed {
    ReviewResult result;
    PhotoRecord record;
    std::string profile;
};

// The record as the service answers it: with the profile whose rules it was reviewed by.
Json RecordJson(const Reviewed& r) {
    Json json = RecordToJson(r.record);
    json["profile"] = r.profile;
    return json;
}

Reviewed Review(WorkerTools& tools, const Upload& upload, const WorkLimit& limit,
                CheckVerdict& verdict) {
    Reviewed r;
    r.result = tools.reviewer.ReviewBytes(
        reinterpret_cast<const unsigned char*>(upload.bytes.data()), upload.bytes.size(), &limit);
    r.record = MakeRecord(upload.filename, r.result, tools.settings);
    r.profile = upload.profile_name.empty() ? std::string("default") : upload.profile_name;
    verdict = r.result.verdict;
    return r;
}

Reply Unprocessable(const std::string& error, const Reviewed& r, Json extra = Json()) {
    Json body = {{"error", error}, {"record", RecordJson(r)}};
    if (!extra.is_null()) {
        for (auto& [key, value] : extra.items()) {
            body[key] = value;
        }
    }
    return {422, "application/json", Dump(body), {}};
}

Reply Binary(const char* type, std::vector<unsigned char> bytes) {
    return {200, type, std::string(bytes.begin(), bytes.end()), {}};
}

std::string HexColour(const BackdropColour& colour) {
    char text[8];
    std::snprintf(text, sizeof text, "#%02x%02x%02x", colour.bgr[2], colour.bgr[1], colour.bgr[0]);
    return text;
}

Json Choice(const BackdropColour& colour) {
    return {{"name", colour.name}, {"label", BackdropLabel(colour)}, {"colour", HexColour(colour)}};
}

} // namespace

Reply ErrorReply(int status, const std::string& message) {
    return {status, "application/json", Dump(Json{{"error", message}}), {}};
}

Reply BackdropsReply(const CheckSettings& settings, const BackdropColour& service_default) {
    Json choices = Json::array();
    const std::vector<BackdropColour> accepted = AcceptedBackdrops(settings);
    std::string default_name = service_default.name;
    bool listed = false;
    for (const BackdropColour& colour : accepted) {
        if (colour == service_default) { // "#ffffff" given at start is white
            default_name = colour.name;
            listed = true;
        }
    }
    // A colour of the service's own, given as #rrggbb, comes first.
    if (!listed) {
        choices.push_back(Choice(service_default));
    }
    for (const BackdropColour& colour : accepted) {
        choices.push_back(Choice(colour));
    }
    return {
        200, "application/json", Dump(Json{{"default", default_name}, {"choices", choices}}), {}};
}

Reply ReviewReply(WorkerTools& tools, const Upload& upload, const WorkLimit& limit,
                  CheckVerdict& verdict) {
    return {200, "application/json", Dump(RecordJson(Review(tools, upload, limit, verdict))), {}};
}

Reply SaveReply(WorkerTools& tools, const Upload& upload, const WorkLimit& limit,
                CheckVerdict& verdict) {
    const Reviewed r = Review(tools, upload, limit, verdict);
    if (!IsPass(r.result.verdict)) {
        return Unprocessable("照片未通过审核，不能保存：" + r.record.reason, r);
    }
    PreparedPhoto saved = PreparePassedPhoto(r.result.result_image, tools.settings);
    if (saved.outcome.status != SaveStatus::Saved) {
        return Unprocessable(SaveMessage(saved.outcome), r);
    }
    Reply reply = Binary("image/jpeg", std::move(saved.bytes));
    reply.headers.emplace_back("Content-Disposition", kPhotoDisposition);
    return reply;
}

Reply AnnotateReply(WorkerTools& tools, const Upload& upload, const WorkLimit& limit,
                    CheckVerdict& verdict) {
    const Reviewed r = Review(tools, upload, limit, verdict);
    if (r.result.normalised.empty()) {
        return Unprocessable("照片未能缩放到规定尺寸，没有解释图：" + r.record.reason, r);
    }
    std::vector<unsigned char> png;
    if (!cv::imencode(".png", DrawExplanation(r.result, tools.settings, *tools.labels), png,
                      {cv::IMWRITE_PNG_COMPRESSION, 1}) ||
        png.empty()) {
        return ErrorReply(500, "解释图无法生成");
    }
    return Binary("image/png", std::move(png));
}

Reply CorrectReply(WorkerTools& tools, const Upload& upload, const WorkLimit& limit,
                   CheckVerdict& verdict) {
    // Without its backdrop model the corrector would refuse every photo whose wall is wrong as
    // if the photo were at fault; the reviews go on without it. The log says why at start.
    if (!tools.corrector || tools.corrector->SetupError()) {
        return ErrorReply(503, kCorrectionUnavailable);
    }
    Reviewed r = Review(tools, upload, limit, verdict);
    Correction c =
        tools.corrector->Correct(reinterpret_cast<const unsigned char*>(upload.bytes.data()),
                                 upload.bytes.size(), r.result, &limit, upload.backdrop);
    AddCorrection(r.record, c, tools.settings);
    if (c.status != CorrectionStatus::Corrected) {
        Json error = c.status == CorrectionStatus::AlreadyPasses
                         ? Json{{"reason", CorrectionReason(c, tools.settings)},
                                {"rule", CorrectionRuleName(c.rule)}}
                         : r.record.correction_error;
        return Unprocessable(error["reason"].get<std::string>(), r,
                             Json{{"correction_error", error}});
    }
    Reply reply = Binary("image/jpeg", std::move(c.bytes));
    reply.headers.emplace_back("Content-Disposition", kPhotoDisposition);
    reply.headers.emplace_back("X-Vrel-Correction", Dump(r.record.correction, true));
    reply.headers.emplace_back("X-Vrel-Verdict", VerdictName(r.result.verdict));
    reply.headers.emplace_back("X-Vrel-Profile", r.profile);
    return reply;
}

} // namespace vrel::serve
