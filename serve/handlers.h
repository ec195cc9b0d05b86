#pragma once

#include "serve/review_pool.h"

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vrel::serve {

// An answer: status, type, body and any further headers.
struct Reply {
    int status = 200;
    std::string content_type = "application/json";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
};

// A photo as it came: its bytes (never written to disk), the name it was given, if any, the
// profile whose rules review it, and for a correction the backdrop colour the request asked for
// (none: the profile's own).
struct Upload {
    std::string_view bytes;
    std::string filename;
    std::optional<BackdropColour> backdrop;
    size_t profile = 0;       // its number (0: the default)
    std::string profile_name; // as the record names it
};

// The 503 of /api/v1/correct when the worker's corrector has no backdrop model, in Chinese for
// the applicant and in English for whoever runs the service.
inline constexpr const char* kCorrectionUnavailable =
    "自动修正暂不可用：服务器缺少背景模型，请联系网站管理员，或按审核说明修改后重新提交照片";

// {"error": message} with the status.
Reply ErrorReply(int status, const std::string& message);

// The answers of the photo routes; each reviews the upload with every test (or as the worker's
// reviewer is set up), then formats what the core decided. The verdict is passed out for the
// counters. limit stops the work early (deadline, a client that went away, a stopping service).
Reply ReviewReply(WorkerTools& tools, const Upload& upload, const WorkLimit& limit,
                  CheckVerdict& verdict);
Reply SaveReply(WorkerTools& tools, const Upload& upload, const WorkLimit& limit,
                CheckVerdict& verdict);
Reply AnnotateReply(WorkerTools& tools, const Upload& upload, const WorkLimit& limit,
                    CheckVerdict& verdict);
Reply CorrectReply(WorkerTools& tools, const Upload& upload, const WorkLimit& limit,
                   CheckVerdict& verdict);

// The backdrop colours a correction may ask for, as JSON: the service's own (the default) and
// those the settings accept, each with its name, its Chinese label and its colour as #rrggbb.
Reply BackdropsReply(const CheckSettings& settings, const BackdropColour& service_default);

// "attachment" with the download name 报名照片.jpg (RFC 6266, with an ASCII fallback).
inline constexpr const char* kPhotoDisposition =
    "attachment; filename=\"photo.jpg\"; "
    "filename*=UTF-8''%E6%8A%A5%E5%90%8D%E7%85%A7%E7%89%87.jpg";

} // namespace vrel::serve
