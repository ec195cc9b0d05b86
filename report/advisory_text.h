#pragma once

#include "quality/advisories.h"

#include <string>

namespace vrel {

// An advisory in words, in Chinese, with its numbers: what the operator or the applicant sees.
std::string AdvisoryText(const AdvisoryNote& note);

} // namespace vrel
