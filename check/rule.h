#pragma once

#include <optional>

namespace vrel {

// The rule that a rejected photo failed, with what was measured and the bound it missed, as the
// judging code decided it; explanations and pictures only render it.
enum class Rule {
    None,             // the photo passed
    Readable,         // the file could not be opened or read
    Signature,        // the first two bytes are not FF D8
    FileSize,         // value: bytes; min/max: the limits in bytes (inclusive; no max: none)
    Width,            // value: pixels; min/max: inclusive
    Height,           // value: pixels; min/max: inclusive
    Aspect,           // value: height / width; min/max: exclusive
    DecodeCeiling,    // value: declared pixels; max: what is decoded at all
    Undecodable,      // the content cannot be decoded
    Damaged,          // the compressed data ends before the image is complete
    Settings,         // the settings cannot normalise the photo
    Background,       // the first sampled pixel that is neither white nor allowed blue
    BackgroundRegion, // the sampled region is empty
    FaceCount,        // value: faces found; min = max = 1
    RatioY,           // value: vertical ratio; min/max: the open interval
    RatioX,           // value: horizontal ratio; min/max: the open interval
    Centring,         // value: left minus right margin; max: the bound on its absolute value
    ReviewFailed,     // the review itself failed (the error says how)
};

struct FailedRule {
    Rule rule = Rule::None;
    double value = 0;
    std::optional<double> min;
    std::optional<double> max;

    FailedRule() = default;
    FailedRule(Rule r, double measured = 0, std::optional<double> low = std::nullopt,
               std::optional<double> high = std::nullopt)
        : rule(r), value(measured), min(low), max(high) {}
};

const char* RuleName(Rule rule);

} // namespace vrel
