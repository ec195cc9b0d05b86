#pragma once

// Photos handed in more than once: perceptual hashes within a bound of each other.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace vrel {

// Two photos whose hashes differ in at most this many bits are taken for the same photo.
// Chosen on real portraits and their re-encoded, resized, cropped and brightened copies
// against other people's photos (tests/test_duplicates.cpp prints the table).
inline constexpr int kDuplicateBound = 10;

// The hashes of a batch as they come, each told which earlier ones it is within the bound of.
class DuplicateFinder {
public:
    explicit DuplicateFinder(int bound = kDuplicateBound) : bound_(bound) {}
    // Adds the hash of the next photo (none for a photo without a picture) and returns the
    // numbers (from 0, in the order added) of the earlier photos it matches.
    std::vector<size_t> Add(std::optional<uint64_t> hash);
    // Every group of two or more photos linked by matches (a matches b, b matches c: one
    // group), each sorted, the groups by their first photo.
    std::vector<std::vector<size_t>> Groups() const;
    size_t Count() const { return hashes_.size(); }

private:
    size_t Root(size_t i) const;

    int bound_;
    std::vector<uint64_t> hashes_;
    std::vector<bool> has_;
    mutable std::vector<size_t> parent_;
    std::vector<size_t> with_hash_; // the photos that have one, to compare only those
};

} // namespace vrel
