#pragma once

#include "report/report.h"

#include <array>
#include <cstdint>
#include <string>

namespace vrel {

// What a batch's photo asks of an operator: nothing (passed), a look at its hints (passed
// with advisories), a confirmation of its correction (corrected), a word to the applicant
// (refused), or a new file (damaged or unreadable). The batch report's page groups the same.
enum class Attention { Passed, Advised, Corrected, Refused, Damaged };
inline constexpr int kAttentionKinds = 5;

Attention AttentionOf(const PhotoRecord& record);

// The counts of a batch, by attention.
struct AttentionCounts {
    std::array<uint64_t, kAttentionKinds> n{};
    void Add(const PhotoRecord& record) { ++n[static_cast<int>(AttentionOf(record))]; }
    uint64_t operator[](Attention a) const { return n[static_cast<int>(a)]; }
    // Those a person should look at: the advised and the corrected.
    uint64_t ToReview() const {
        return (*this)[Attention::Advised] + (*this)[Attention::Corrected];
    }
};

// The terminal's lines of those counts: "  passed: 258 (31 with advisories)" and so on.
std::string AttentionLines(const AttentionCounts& counts);

} // namespace vrel
