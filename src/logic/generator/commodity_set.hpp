// A set of commodity numbers 0..K-1 that answers "which member has position p in ascending
// order" in O(log K) and takes insertions and removals in O(log K): a Fenwick tree of member
// counts. Balancing draws and cursors index its ascending list, which this keeps without ever
// listing the members.
#pragma once

#include <bit>
#include <cstddef>
#include <vector>

namespace pelmora::logic::generator::detail {

class CommoditySet {
public:
    // Members are the c < K with member(c) true.
    template <class Member>
    CommoditySet(std::size_t K, Member&& member) : tree_(K + 1, 0), top_(K == 0 ? 0 : std::bit_floor(K)) {
        for (std::size_t c = 0; c < K; ++c)
            if (member(c)) {
                ++tree_[c + 1];
                ++size_;
            }
        for (std::size_t i = 1; i <= K; ++i) {  // linear build: each node hands its count to its parent
            const std::size_t parent = i + (i & (~i + 1));
            if (parent <= K) tree_[parent] += tree_[i];
        }
    }

    std::size_t size() const { return size_; }

    // The caller knows membership (it keeps one state per commodity), so these do not check it.
    void insert(std::size_t c) { add(c, 1); }
    void erase(std::size_t c) { add(c, ~std::size_t{0}); }

    // The member at position `pos` (< size()) of the ascending list.
    std::size_t at(std::size_t pos) const {
        std::size_t i = 0, left = pos + 1;
        for (std::size_t step = top_; step != 0; step >>= 1) {
            const std::size_t next = i + step;
            if (next < tree_.size() && tree_[next] < left) {
                i = next;
                left -= tree_[next];
            }
        }
        return i;  // 1-based index i + 1, i.e. commodity i
    }

private:
    void add(std::size_t c, std::size_t delta) {  // delta is +1 or -1 modulo 2^64
        size_ += delta;
        for (std::size_t i = c + 1; i < tree_.size(); i += i & (~i + 1)) tree_[i] += delta;
    }

    std::vector<std::size_t> tree_;
    std::size_t top_;
    std::size_t size_ = 0;
};

}  // namespace pelmora::logic::generator::detail
