#pragma once

#include "check/check_run.h"
#include "report/attention.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <string>

namespace vrel {

// The progress line: done/total, photos per second and the time left where the total is known.
std::string ProgressLine(uint64_t done, std::optional<uint64_t> total, double seconds);

// The closing summary: how many photos ended in each verdict, and, where given, what they ask
// of an operator.
std::string SummaryText(uint64_t reviewed, const std::map<CheckVerdict, uint64_t>& counts,
                        double seconds, const AttentionCounts* attention = nullptr);

// Redraws the progress line on a terminal at most a few times a second.
class ProgressPrinter {
public:
    ProgressPrinter(std::ostream& out, std::optional<uint64_t> total);
    void Update(uint64_t done);
    void Finish();
    double Seconds() const;

private:
    std::ostream& out_;
    std::optional<uint64_t> total_;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point last_;
    bool drawn_ = false;
    uint64_t done_ = 0;
};

} // namespace vrel
