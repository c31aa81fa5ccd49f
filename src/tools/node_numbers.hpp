// Node ids to their rows: the writers number nodes 1..n in the order of the ascending node ids and
// name each arc's ends by those numbers.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "core/outcome.hpp"

namespace pelmora::tools {

// The number of a node id: one more than the count of node ids below it, as a search of the
// ascending ids finds it, or 0 for an id that is not among them. When the ids fill a good part of
// their range, a table over the range answers without a search.
class NodeNumbers {
public:
    explicit NodeNumbers(std::span<const int64_t> ids) : ids_(ids) {
        if (ids.empty()) return;
        lowest_ = ids.front();
        const uint64_t range = uint64_t(ids.back()) - uint64_t(lowest_);
        if (range >= 4 * uint64_t(ids.size()) + 4096) return;
        table_.resize(range + 1);
        std::size_t below = 0;
        for (uint64_t offset = 0; offset <= range; ++offset) {
            while (below < ids.size() && ids[below] < lowest_ + int64_t(offset)) ++below;
            table_[offset] = int64_t(below) + 1;
        }
    }
    int64_t operator()(int64_t id) const noexcept {
        std::size_t at;
        if (table_.empty()) {
            at = std::size_t(std::lower_bound(ids_.begin(), ids_.end(), id) - ids_.begin());
        } else {
            const uint64_t offset = uint64_t(id) - uint64_t(lowest_);
            if (id < lowest_ || offset >= table_.size()) return 0;
            at = std::size_t(table_[offset] - 1);
        }
        return at < ids_.size() && ids_[at] == id ? int64_t(at) + 1 : 0;
    }

private:
    std::span<const int64_t> ids_;
    int64_t lowest_ = 0;
    std::vector<int64_t> table_;
};

// Each arc's tail and head as node numbers (1..n), tails first then heads; Value error naming the
// first arc with an end that is not among `node_ids` (ascending).
Outcome<std::vector<int64_t>> number_ends(std::span<const int64_t> node_ids, std::span<const int64_t> tails,
                                          std::span<const int64_t> heads);

}  // namespace pelmora::tools
