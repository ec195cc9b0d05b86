#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vrel::serve {

// What a route does.
enum class Action {
    Review,       // the review record as JSON
    Save,         // the saved file of a passed photo
    Annotate,     // the explanation picture
    Correct,      // the corrected photo
    Backdrops,    // the backdrop colours a correction may ask for
    Requirements, // what the settings in force check, and their warnings
    Profiles,     // the exams the service has rules for
    Page,         // the web page and its assets, built into the binary
    Tip,          // a tip picture, built into the binary
    Health,       // liveness: the process answers
    Ready,        // readiness: it takes photos now (503 while draining or saturated)
    Metrics,
};

struct Route {
    const char* method;
    const char* path; // "/tips/{name}": the prefix before '{' and one name after it
    Action action;
    const char* summary;
};

// Every route of the service; the API description in docs/openapi.yaml lists the same.
const std::vector<Route>& Routes();

// The route for a path (without its query), or nullptr; allowed_methods lists what the path
// takes when it is known.
const Route* FindRoute(std::string_view method, std::string_view path,
                       std::string& allowed_methods);

// True for the routes that take a photo in their body.
bool TakesPhoto(Action action);

} // namespace vrel::serve
