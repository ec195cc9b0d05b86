#include "serve/respond.h"

#include "report/requirements.h"
#include "serve/assets.h"
#include "serve/request_gate.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <cstdio>
#include <utility>
#include <variant>

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

using OrderedJson = nlohmann::ordered_json;

std::string Dump(const OrderedJson& j) {
    return j.dump(-1, ' ', false, OrderedJson::error_handler_t::replace);
}

OrderedJson ProfileJson(const PoolOptions& pool, size_t profile) {
    const SettingsProfile& info = ProfileInfo(pool, profile);
    return {{"name", std::string(ProfileName(pool, profile))},
            {"title", info.title},
            {"source", info.source}};
}

Reply ProfilesReply(const PoolOptions& pool) {
    OrderedJson list = OrderedJson::array();
    for (size_t i = 0; i < ProfileCount(pool); ++i) {
        list.push_back(ProfileJson(pool, i));
    }
    return Json(200, Dump({{"default", std::string(kDefaultProfile)}, {"profiles", list}}));
}

// The profile a request asks for with ?profile=NAME (none: the default), or why it is refused.
std::variant<size_t, Refusal> RequestedProfile(std::string_view query, const PoolOptions& pool) {
    const std::optional<std::string> name = QueryParameter(query, "profile");
    if (!name || name->empty()) {
        return size_t{0};
    }
    if (const std::optional<size_t> found = FindProfile(pool, *name)) {
        return *found;
    }
    std::string choices;
    for (size_t i = 0; i < ProfileCount(pool); ++i) {
        choices += (choices.empty() ? "" : "、") + std::string(ProfileName(pool, i));
    }
    // A long or odd name is not repeated back.
    const bool shown = ValidProfileName(*name) || *name == kDefaultProfile;
    return Refusal{400, "本服务没有这项考试的照片要求" + (shown ? "（" + *name + "）" : "") +
                            "：可选 " + choices};
}

// The answers that need no review: probes, counters, colours and the built-in files.
Reply Fixed(Action action, size_t profile, const RequestHead& head, const ServiceView& view) {
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
    case Action::Backdrops: {
        const ReviewKit& kit = ProfileKit(*view.pool, profile);
        return BackdropsReply(kit.settings, kit.backdrop);
    }
    case Action::Requirements: {
        const ReviewKit& kit = ProfileKit(*view.pool, profile);
        OrderedJson json = RequirementsToJson(RequirementsOf(kit.settings), kit.warnings);
        json["profile"] = ProfileJson(*view.pool, profile);
        return Json(200, Dump(json));
    }
    case Action::Profiles:
        return ProfilesReply(*view.pool);
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
    const Action action = r.route->action;
    // The profile is chosen before a photo is read: every photo route, the colours and the
    // requirements take one.
    if (TakesPhoto(action) || action == Action::Backdrops || action == Action::Requirements) {
        auto profile = RequestedProfile(head.query, *view.pool);
        if (const auto* refusal = std::get_if<Refusal>(&profile)) {
            r.reply = ErrorReply(refusal->status, refusal->message);
            return r;
        }
        r.profile = std::get<size_t>(profile);
    }
    if (!TakesPhoto(action)) {
        r.reply = Fixed(action, r.profile.value_or(0), head, view);
        return r;
    }
    // The colour a correction asks for is checked before its photo is read.
    if (action == Action::Correct) {
        auto asked =
            RequestedBackdrop(head.query, ProfileKit(*view.pool, r.profile.value_or(0)).settings);
        if (const auto* refusal = std::get_if<Refusal>(&asked)) {
            r.reply = ErrorReply(refusal->status, refusal->message);
            return r;
        }
        r.backdrop = std::get<std::optional<BackdropColour>>(asked);
    }
    return r;
}

} // namespace vrel::serve
