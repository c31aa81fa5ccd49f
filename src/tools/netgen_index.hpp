// NETGEN's index list: the integers from..to, from which the generator takes the k-th remaining
// one (choose) or a given one (remove). Its "pseudo size" is the count NETGEN draws positions from:
// every removal asks it down by one, even of an integer that is not (or no longer) in the list,
// so it can fall below the true size, and below zero, where it wraps as the original's unsigned
// count does. A list with from = 0 or from > to is the original's failed list: empty, and every
// operation on it does nothing.
//
// Most lists lose a few integers before they are dropped (one per arc out of a node), so the
// removed ones are kept as a short sorted run, searched linearly. Past kShortRun removals the list
// counts them in a Fenwick tree over its range instead, with a bitmap for membership; both are
// kept zeroed between lists (the removals are undone, never the whole range cleared), so a list of
// a million integers costs nothing until it is used.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

namespace pelmora::tools {

class IndexList {
public:
    void reset(uint64_t from, uint64_t to) {
        for (uint64_t offset : removed_) unmark(offset);
        removed_.clear();
        counted_ = false;
        valid_ = from != 0 && from <= to;
        from_ = from;
        count_ = valid_ ? to - from + 1 : 0;
        size_ = pseudo_ = count_;
    }

    uint64_t size() const noexcept { return size_; }
    uint64_t pseudo_size() const noexcept { return pseudo_; }

    // The integer at `position` (1-based) among those left, taken out; 0 for a position outside.
    uint64_t choose(uint64_t position) {
        if (!valid_ || position < 1 || position > size_) return 0;
        --size_;
        --pseudo_;
        const uint64_t offset = counted_ ? counted_select(position) : run_select(position);
        take(offset);
        return from_ + offset;
    }

    void remove(uint64_t value) {
        if (!valid_) return;
        --pseudo_;
        if (value < from_ || value - from_ >= count_) return;
        const uint64_t offset = value - from_;
        if (taken(offset)) return;
        --size_;
        take(offset);
    }

private:
    static constexpr std::size_t kShortRun = 48;

    uint64_t run_select(uint64_t position) const noexcept {
        uint64_t candidate = position - 1;
        for (uint64_t r : removed_) {
            if (r > candidate) break;
            ++candidate;
        }
        return candidate;
    }

    // The smallest offset with `position` integers left up to it: a descent over the tree's spans.
    uint64_t counted_select(uint64_t position) const noexcept {
        uint64_t at = 0;
        for (uint64_t step = uint64_t(1) << (63 - __builtin_clzll(count_)); step; step >>= 1) {
            const uint64_t next = at + step;
            if (next <= count_ && step - tree_[next] < position) {
                at = next;
                position -= step - tree_[next];
            }
        }
        return at;
    }

    bool taken(uint64_t offset) const noexcept {
        if (counted_) return (bits_[offset >> 6] >> (offset & 63)) & 1;
        return std::binary_search(removed_.begin(), removed_.end(), offset);
    }

    void take(uint64_t offset) {
        if (counted_) {
            removed_.push_back(offset);
            mark(offset);
            return;
        }
        removed_.insert(std::upper_bound(removed_.begin(), removed_.end(), offset), offset);
        if (removed_.size() <= kShortRun) return;
        if (tree_.size() < count_ + 1) tree_.resize(count_ + 1, 0);
        if (bits_.size() < count_ / 64 + 1) bits_.resize(count_ / 64 + 1, 0);
        counted_ = true;
        for (uint64_t r : removed_) mark(r);
    }

    void mark(uint64_t offset) noexcept {
        bits_[offset >> 6] |= uint64_t(1) << (offset & 63);
        for (uint64_t i = offset + 1; i <= count_; i += i & (0 - i)) ++tree_[i];
    }
    void unmark(uint64_t offset) noexcept {
        if (!counted_) return;
        bits_[offset >> 6] &= ~(uint64_t(1) << (offset & 63));
        for (uint64_t i = offset + 1; i <= count_; i += i & (0 - i)) --tree_[i];
    }

    uint64_t from_ = 0, count_ = 0, size_ = 0, pseudo_ = 0;
    bool valid_ = false;
    bool counted_ = false;           // the removals are in the tree (and the bitmap), not the run
    std::vector<uint64_t> removed_;  // sorted while short; afterwards in removal order, for undoing
    std::vector<uint64_t> tree_;     // Fenwick tree of removed counts, 1-based; zero between lists
    std::vector<uint64_t> bits_;     // removed offsets; zero between lists
};

}  // namespace pelmora::tools
