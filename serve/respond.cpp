#include "serve/respond.h"

#include "report/requirements.h"
#include "serve/assets.h"
#include "serve/request_gate.h"

#include <cstdint>
#include <cstdio>
#include <utility>

namespace vrel::serve {

namespace {

// 64-bit FNV-1a of an asset, as its entity tag: the same bytes give the same tag in every
// process, so caches keep their copies across restarts.
std::string EntityTag(const Asset& asset) {
    uint64_t hash = 1469598103934665603ull;
    for (size_t i = 0; i < asset.size; ++i) {
        hash = (hash ^ asset.data[i]) * 1099511628211ull;
    }
    char text[24];
    std::snprintf(text, sizeof text, "\"%016llx\"", static_cast<unsigned long long>(hash));
    return text;
}

Reply Json(int status, std::string body) {
    return {status, "application/json", std::move(body), {}};
}

// The answers that need no review: probes, counters, colours and the built-in files.
Reply Fixed(Action action, const RequestHead& head, const ServiceView& view) {
    switch (action) {
    case Action::Health:
        return Json(200, "{\"status\":\"ok\"}");
    case Action::Ready:
        if (view.phase != Phase::Serving) {
            return Json(503, "{\"status\":\"draining\"}");
        }
        if (view.saturated && view.saturated()) {
            return Json(503, "{\"status\":\"saturated\"}");
        }
        return Json(200, "{\"status\":\"ready\"}");
    case Action::Metrics:
        return {200, "text/plain; version=0.0.4", view.metrics ? view.metrics() : "", {}};
    case Action::Backdrops:
        return BackdropsReply(*view.settings, *view.backdrop);
    case Action::Requirements:
        return Json(200,
                    RequirementsToJson(RequirementsOf(*view.settings),
                                       view.warnings != nullptr ? *view.warnings
                                                                : std::vector<SettingsWarning>())
                        .dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace));
    default:
        break;
    }
    const Asset* asset = FindAsset(head.path);
    if (asset == nullptr) {
        return ErrorReply(404, "没有这个文件：" + std::string(head.path));
    }
    const std::string tag = EntityTag(*asset);
    Reply reply{200, asset->content_type, "", {}};
    if (head.if_none_match == tag) {
        reply.status = 304;
        reply.content_type.clear();
    } else {
        reply.body.assign(reinterpret_cast<const char*>(asset->data), asset->size);
    }
    reply.headers.emplace_back("ETag", tag);
    reply.headers.emplace_back("Cache-Control", "no-cache");
    return reply;
}

} // namespace

Reply StoppingReply() {
    return ErrorReply(503, "服务正在停止，请稍后再试");
}

const char* SecurityPolicy(bool page) {
    return page ? "default-src 'self'; img-src 'self' data: blob:; script-src 'self'; "
                  "style-src 'self'; connect-src 'self'; object-src 'none'; base-uri 'none'; "
                  "form-action 'none'; frame-ancestors 'none'"
                : "default-src 'none'; frame-ancestors 'none'";
}

Response Respond(const RequestHead& head, const ServiceView& view) {
    Response r;
    std::string allowed;
    r.route = FindRoute(head.method, head.path, allowed);
    const bool probe = r.route != nullptr &&
                       (r.route->action == Action::Health || r.route->action == Action::Ready);
    if (view.phase == Phase::Stopping && !probe) {
        r.busy = "stopping";
        r.reply = StoppingReply();
        return r;
    }
    if (r.route == nullptr) {
        if (head.method == "OPTIONS" && !allowed.empty() && view.cors) {
            r.reply = Reply{204,
                            "",
                            "",
                            {{"Access-Control-Allow-Methods", allowed},
                             {"Access-Control-Allow-Headers", "Content-Type"},
                             {"Access-Control-Max-Age", "600"}}};
        } else if (allowed.empty()) {
            r.reply = ErrorReply(404, "没有这个路径：" + std::string(head.path));
        } else {
            r.reply = ErrorReply(405, "请用 " + allowed + " 访问 " + std::string(head.path));
            r.reply->headers.emplace_back("Allow", allowed);
        }
        return r;
    }
    if (!TakesPhoto(r.route->action)) {
        r.reply = Fixed(r.route->action, head, view);
        return r;
    }
    // The colour a correction asks for is checked before its photo is read.
    if (r.route->action == Action::Correct) {
        auto asked = RequestedBackdrop(head.query, *view.settings);
        if (const auto* refusal = std::get_if<Refusal>(&asked)) {
            r.reply = ErrorReply(refusal->status, refusal->message);
            return r;
        }
        r.backdrop = std::get<std::optional<BackdropColour>>(asked);
    }
    return r;
}

} // namespace vrel::serve
