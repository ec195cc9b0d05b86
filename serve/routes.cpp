#include "serve/routes.h"

namespace vrel::serve {
namespace {

bool Matches(std::string_view pattern, std::string_view path) {
    const size_t brace = pattern.find('{');
    if (brace == std::string_view::npos) {
        return pattern == path;
    }
    // A prefix and one non-empty name without further slashes.
    const std::string_view prefix = pattern.substr(0, brace);
    if (path.substr(0, prefix.size()) != prefix || path.size() == prefix.size()) {
        return false;
    }
    return path.substr(prefix.size()).find('/') == std::string_view::npos;
}

} // namespace

const std::vector<Route>& Routes() {
    static const std::vector<Route> routes = {
        {"POST", "/api/v1/review", Action::Review, "Review a photo: the record as JSON"},
        {"POST", "/api/v1/save", Action::Save, "The saved file of a passed photo"},
        {"POST", "/api/v1/annotate", Action::Annotate, "The explanation picture of a review"},
        {"POST", "/api/v1/correct", Action::Correct, "The corrected photo of a rejected one"},
        {"GET", "/api/v1/backdrops", Action::Backdrops,
         "The backdrop colours a correction may ask for"},
        {"GET", "/api/v1/requirements", Action::Requirements,
         "What the settings in force check, in data and in words"},
        {"GET", "/api/v1/profiles", Action::Profiles, "The exams whose rules the service has"},
        {"GET", "/", Action::Page, "The web page"},
        {"GET", "/app.js", Action::Page, "The web page's script"},
        {"GET", "/style.css", Action::Page, "The web page's style sheet"},
        {"GET", "/tips/{name}", Action::Tip, "A tip picture"},
        {"GET", "/healthz", Action::Health, "Whether the process is alive"},
        {"GET", "/readyz", Action::Ready, "Whether the service takes photos now"},
        {"GET", "/metrics", Action::Metrics, "Counters in Prometheus' text format"},
    };
    return routes;
}

const Route* FindRoute(std::string_view method, std::string_view path,
                       std::string& allowed_methods) {
    allowed_methods.clear();
    const Route* found = nullptr;
    for (const Route& route : Routes()) {
        if (!Matches(route.path, path)) {
            continue;
        }
        allowed_methods += (allowed_methods.empty() ? "" : ", ") + std::string(route.method);
        if (method == route.method ||
            (method == "HEAD" && std::string_view(route.method) == "GET")) {
            found = &route;
        }
    }
    return found;
}

bool TakesPhoto(Action action) {
    return action == Action::Review || action == Action::Save || action == Action::Annotate ||
           action == Action::Correct;
}

} // namespace vrel::serve
