#pragma once

#include "serve/review_pool.h"

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

// A photo as it came: its bytes (never written to disk) and the name it was given, if any.
struct Upload {
    std::string_view bytes;
    std::string filename;
};

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

// "attachment" with the download name 报名照片.jpg (RFC 6266, with an ASCII fallback).
inline constexpr const char* kPhotoDisposition =
    "attachment; filename=\"photo.jpg\"; "
    "filename*=UTF-8''%E6%8A%A5%E5%90%8D%E7%85%A7%E7%89%87.jpg";

} // namespace vrel::serve
