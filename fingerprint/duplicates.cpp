#include "fingerprint/duplicates.h"

#include "fingerprint/fingerprint.h"

#include <algorithm>
#include <map>

namespace vrel {

std::vector<size_t> DuplicateFinder::Add(std::optional<uint64_t> hash) {
    const size_t self = hashes_.size();
    hashes_.push_back(hash.value_or(0));
    has_.push_back(hash.has_value());
    parent_.push_back(self);
    std::vector<size_t> matches;
    if (!hash) {
        return matches;
    }
    for (const size_t other : with_hash_) {
        if (HashDistance(*hash, hashes_[other]) <= bound_) {
            matches.push_back(other);
            parent_[Root(other)] = Root(self);
        }
    }
    with_hash_.push_back(self);
    return matches;
}

size_t DuplicateFinder::Root(size_t i) const {
    while (parent_[i] != i) {
        parent_[i] = parent_[parent_[i]];
        i = parent_[i];
    }
    return i;
}

std::vector<std::vector<size_t>> DuplicateFinder::Groups() const {
    std::map<size_t, std::vector<size_t>> by_root;
    for (size_t i = 0; i < hashes_.size(); ++i) {
        if (has_[i]) {
            by_root[Root(i)].push_back(i);
        }
    }
    std::vector<std::vector<size_t>> groups;
    for (auto& [root, members] : by_root) {
        if (members.size() > 1) {
            groups.push_back(std::move(members)); // in order already
        }
    }
    std::sort(groups.begin(), groups.end());
    return groups;
}

} // namespace vrel
