#include "cli/progress.h"

#include <cstdio>

namespace vrel {

std::string ProgressLine(uint64_t done, std::optional<uint64_t> total, double seconds) {
    const double rate = seconds > 0 ? done / seconds : 0.0;
    char buffer[160];
    if (total) {
        std::string left = "--:--";
        if (rate > 0 && *total >= done) {
            const auto remaining = static_cast<uint64_t>((*total - done) / rate + 0.5);
            char eta[32];
            std::snprintf(eta, sizeof eta, "%02llu:%02llu:%02llu",
                          static_cast<unsigned long long>(remaining / 3600),
                          static_cast<unsigned long long>(remaining / 60 % 60),
                          static_cast<unsigned long long>(remaining % 60));
            left = eta;
        }
        std::snprintf(buffer, sizeof buffer, "%llu/%llu photos  %.1f/s  %s left",
                      static_cast<unsigned long long>(done),
                      static_cast<unsigned long long>(*total), rate, left.c_str());
    } else {
        std::snprintf(buffer, sizeof buffer, "%llu photos  %.1f/s",
                      static_cast<unsigned long long>(done), rate);
    }
    return buffer;
}

std::string SummaryText(uint64_t reviewed, const std::map<CheckVerdict, uint64_t>& counts,
                        double seconds, const AttentionCounts* attention) {
    char head[128];
    std::snprintf(head, sizeof head, "%llu photos reviewed in %.1f s",
                  static_cast<unsigned long long>(reviewed), seconds);
    std::string text = head;
    for (const auto& [verdict, count] : counts) {
        text += "\n  " + std::string(VerdictName(verdict)) + ": " + std::to_string(count);
    }
    text += "\n";
    if (attention != nullptr && reviewed > 0) {
        text += AttentionLines(*attention);
    }
    return text;
}

ProgressPrinter::ProgressPrinter(std::ostream& out, std::optional<uint64_t> total)
    : out_(out), total_(total), start_(std::chrono::steady_clock::now()), last_(start_) {}

double ProgressPrinter::Seconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void ProgressPrinter::Update(uint64_t done) {
    done_ = done;
    const auto now = std::chrono::steady_clock::now();
    if (drawn_ && now - last_ < std::chrono::milliseconds(200)) {
        return;
    }
    last_ = now;
    drawn_ = true;
    out_ << "\r\033[K" << ProgressLine(done, total_, Seconds()) << std::flush;
}

void ProgressPrinter::Finish() {
    if (drawn_) {
        out_ << "\r\033[K" << ProgressLine(done_, total_, Seconds()) << "\n" << std::flush;
    }
}

} // namespace vrel
