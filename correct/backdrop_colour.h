#pragma once

#include "base/error.h"
#include "check/settings.h"

#include <opencv2/core.hpp>

#include <optional>
#include <string>
#include <vector>

namespace vrel {

// The plain colour that a replaced backdrop gets.
struct BackdropColour {
    std::string name; // "white", "blue" or "#rrggbb"
    cv::Vec3b bgr;    // stored blue first, as the photos are
    bool operator==(const BackdropColour& o) const { return bgr == o.bgr; }
};

BackdropColour WhiteBackdrop();
// The light blue of registration photos, inside the blue interval of the shipped settings.
BackdropColour BlueBackdrop();

// Reads "white", "blue" or "#RRGGBB" (any case); nullopt for anything else.
std::optional<BackdropColour> ParseBackdropColour(const std::string& text);

// Whether the review's backdrop test takes the colour (white, light grey, and blue where bgc
// is 1). A colour it does not take is refused as a usage error.
bool BackdropColourAccepted(const BackdropColour& colour, const CheckSettings& settings);

// The named colours that the settings accept, white first: the choices to offer.
std::vector<BackdropColour> AcceptedBackdrops(const CheckSettings& settings);

// Parses and checks a colour given by a user: an Invalid error (its detail in English, for a
// usage message) when it is unknown, Unsupported when the settings refuse it.
Result<BackdropColour> ChooseBackdrop(const std::string& text, const CheckSettings& settings);

} // namespace vrel
