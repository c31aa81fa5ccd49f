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
    // Members are the c < K with member(c) true. The tree spans a power of two, so that the
    // descent in at() needs no bounds check and its steps compile to conditional moves.
    template <class Member>
    CommoditySet(std::size_t K, Member&& member) : span_(std::bit_ceil(K == 0 ? 1 : K)), tree_(span_ + 1, 0) {
        for (std::size_t c = 0; c < K; ++c)
            if (member(c)) {
                ++tree_[c + 1];
                ++size_;
            }
        for (std::size_t i = 1; i < span_; ++i)  // linear build: each node hands its count to its parent
            tree_[i + (i & (~i + 1))] += tree_[i];
    }

    std::size_t size() const { return size_; }

    // The caller knows membership (it keeps one state per commodity), so these do not check it.
    void insert(std::size_t c) { add(c, 1); }
    void erase(std::size_t c) { add(c, ~std::size_t{0}); }

    // The member at position `pos` (< size()) of the ascending list.
    std::size_t at(std::size_t pos) const {
        std::size_t i = 0, left = pos + 1;
        for (std::size_t step = span_ >> 1; step != 0; step >>= 1) {
            const std::size_t below = tree_[i + step];  // members in (i, i + step]
            const bool past = below < left;
            left -= past ? below : 0;
            i += past ? step : 0;
        }
        return i;  // the member has 1-based index i + 1, i.e. it is commodity i
    }

private:
    void add(std::size_t c, std::size_t delta) {  // delta is +1 or -1 modulo 2^64
        size_ += delta;
        for (std::size_t i = c + 1; i <= span_; i += i & (~i + 1)) tree_[i] += delta;
    }

    std::size_t span_;
    std::vector<std::size_t> tree_;  // tree_[i]: how many members c have c + 1 in (i - lowbit(i), i]
    std::size_t size_ = 0;
};

}  // namespace pelmora::logic::generator::detail
