#pragma once

#include "serve/handlers.h"
#include "serve/review_pool.h"
#include "serve/routes.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vrel::serve {

// Serving; Draining: answering as usual with /readyz at 503 until the drain ends; Stopping:
// taking nothing new, finishing or cancelling what is under way.
enum class Phase { Serving, Draining, Stopping };

// What a request's head says, as far as its answer depends on it.
struct RequestHead {
    std::string_view method;
    std::string_view path; // without the query
    std::string_view query;
    std::string_view if_none_match;
};

// What the answers read from the service; the counters and the load are asked for only by
// the routes that show them.
struct ServiceView {
    Phase phase = Phase::Serving;
    const PoolOptions* pool = nullptr; // each profile's settings, backdrop and warnings
    bool cors = false;
    std::function<bool()> saturated;
    std::function<std::string()> metrics;
};

// How a request is answered: from its head alone (reply), or by a worker once its photo is
// read (no reply; the profile and a correction's colour are checked first).
struct Response {
    const Route* route = nullptr;
    std::optional<Reply> reply;
    std::optional<size_t> profile;          // ?profile=, by number, where the route takes one
    std::optional<BackdropColour> backdrop; // asked for by a correction
    const char* busy = nullptr;             // the reply is a 503 counted as busy for this cause
};

// The answer to a request's head: the page, tips, probes and counters in full; refusals of
// what is stopping, unknown or not allowed; or the photo route to read the body for. It knows
// no connection.
Response Respond(const RequestHead& head, const ServiceView& view);

// The Content-Security-Policy of an answer: the page's own for the page, none allowed for the
// rest.
const char* SecurityPolicy(bool page);

// The 503 of a stopping service.
Reply StoppingReply();

} // namespace vrel::serve
