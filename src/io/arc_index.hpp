// Helpers shared by the two readers: dense numbering of node identifiers in order of first
// appearance, and the parallel indices with the (tail, head, position) order of the arcs,
// computed once at the end of reading instead of through an ordered map per arc.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "core/memory.hpp"
#include "models/records.hpp"

namespace pelmora::io {

// Node identifier -> dense number (0, 1, 2, ... in order of first appearance), and every arc's
// two ends. Identifiers in [0, direct_limit) go through a flat array, which is what DIMACS files
// use; all others through an open-addressing hash table. The node list is the dense numbering's
// inverse.
//
// While every arc end falls in the flat array's range, the ends are kept as the identifiers
// themselves: they order the arcs as they are, need no lookup, and stay valid when another
// index's nodes are numbered first. The first end out of that range turns them into dense
// numbers for good (to_numbers()).
//
// The file chooses the identifiers, so the table's hash is keyed with a secret drawn once per
// process: identifiers picked to collide under one key spread out under another. Should a probe
// run long all the same, the table takes a new key and doubles, which bounds every insertion.
//
// While the ends are identifiers, a node of the flat array's range is registered through a bitmap
// of the identifiers seen, a bit per identifier, small enough to stay in the cache; the flat
// array is filled from the node list only when the ends turn into numbers. Other nodes are
// registered a few nodes behind the reader: each node's slot is prefetched when it is handed in
// and looked up only some nodes later, so the random accesses overlap with parsing. Either way
// nodes are registered in the order of the calls, so first appearance is unaffected.
class NodeIndex {
public:
    static constexpr uint32_t kMaxNodes = UINT32_MAX - 1;
    static constexpr std::string_view kExhausted = "the file names more than 4294967294 distinct nodes";
    // A probe this long means the key is known to whoever chose the identifiers (or very bad luck).
    static constexpr std::size_t kMaxProbe = 128;

    NodeIndex();
    // With a given hash key instead of the process's secret one.
    explicit NodeIndex(uint64_t hash_key) noexcept : key_(hash_key) {}

    // Switches on the flat array for identifiers 0 .. limit - 1. Ignored once a node has been
    // registered, so that every identifier has one home for the whole read.
    void enable_direct(uint64_t limit);
    // Room for `arcs` arcs now; growth past it stops at `declared` arcs when that is the next size.
    void reserve_arcs(std::size_t arcs, uint64_t declared);

    // A node of a node line.
    __attribute__((always_inline)) void add_node(int64_t node) { push(node, kNoTarget); }
    // The two ends of the next arc, tail first.
    __attribute__((always_inline)) void add_arc(int64_t tail, int64_t head) {
        grow_filled(ends_, 2, expected_ends_);
        if (by_id_ && uint64_t(tail) < direct_limit_ && uint64_t(head) < direct_limit_) [[likely]] {
            ends_.push_back(uint32_t(tail));
            ends_.push_back(uint32_t(head));
            // Files list an arc's tail again and again: once is enough.
            if (tail != last_tail_) see(uint64_t(tail));
            last_tail_ = tail;
            see(uint64_t(head));
            return;
        }
        if (by_id_) to_numbers();
        std::size_t at = ends_.size();
        ends_.push_back(0);
        ends_.push_back(0);
        push(tail, at);
        push(head, at + 1);
    }

    // True while the arcs' ends are their identifiers, all below direct_limit(); else they are
    // dense numbers.
    bool ends_by_id() const noexcept { return by_id_; }
    uint64_t direct_limit() const noexcept { return direct_limit_; }
    // Turns the ends into dense numbers.
    void to_numbers();

    // Completes every pending registration. False when the numbering is exhausted (more than
    // kMaxNodes distinct nodes).
    bool finish();

    // Registers, after everything registered here, what `later` registered (the nodes and arcs of
    // the lines after this index's ones): `later`'s nodes in its order of first appearance, which
    // keeps the numbering that of one index fed all the lines, and its arcs' ends renumbered.
    // `later` is left empty.
    void absorb(NodeIndex& later);

    std::vector<int64_t>& nodes() noexcept { return nodes_; }
    // Arc p's tail and head at 2p and 2p + 1 (after finish()), as identifiers or dense numbers.
    std::span<const uint32_t> ends() const noexcept { return ends_; }
    void release_ends() { std::vector<uint32_t>().swap(ends_); }

    // rank[id]: the place of node `id` among all identifiers in ascending order.
    std::vector<uint32_t> ranks() const;

    // Slots visited beyond the first by all hashed insertions and lookups so far.
    uint64_t probes() const noexcept { return probes_; }
    // The slot of `node` in a table of 2^(64 - shift) slots under `key`.
    static std::size_t home_slot(int64_t node, uint64_t key, unsigned shift) noexcept {
        uint64_t x = uint64_t(node) ^ key;
        x *= 0xBF58476D1CE4E5B9ull;
        x ^= x >> 31;
        x *= 0x94D049BB133111EBull;
        return std::size_t(x >> shift);
    }

private:
    static constexpr uint64_t kNoTarget = UINT64_MAX;
    static constexpr std::size_t kRing = 16;
    struct Pending {
        int64_t node;
        uint64_t target;
    };
    struct Slot {
        int64_t key;
        uint32_t id_plus_one;  // 0: empty
    };
    struct FreeDeleter {
        void operator()(void* p) const noexcept { std::free(p); }
    };

    __attribute__((always_inline)) void push(int64_t node, uint64_t target) {
        if (pending_ == kRing) register_first();
        if (!by_id_ && uint64_t(node) < direct_limit_) __builtin_prefetch(direct_.get() + uint64_t(node), 1);
        ring_[(first_ + pending_) & (kRing - 1)] = {node, target};
        ++pending_;
    }
    __attribute__((always_inline)) void register_first() {
        const Pending& e = ring_[first_];
        uint32_t id = add(e.node);
        if (e.target != kNoTarget) ends_[e.target] = id;
        first_ = (first_ + 1) & (kRing - 1);
        --pending_;
    }
    // Registers `id` (below direct_limit_) while the ends are identifiers, after what waits in
    // the ring.
    __attribute__((always_inline)) void see(uint64_t id) {
        if (seen(id)) [[likely]]
            return;
        first_sight(id);
    }
    bool seen(uint64_t id) const noexcept { return (seen_[id >> 6] >> (id & 63)) & 1; }
    void first_sight(uint64_t id);
    // The flat array as the node list has it: the ends' numbers from there on.
    void fill_direct();
    // The dense number of `node`, registering it first when new; while the ends are identifiers,
    // the nodes of the flat array's range have no number yet (0 stands in).
    __attribute__((always_inline)) uint32_t add(int64_t node) {
        if (uint64_t(node) < direct_limit_) {
            if (by_id_) {
                const uint64_t id = uint64_t(node);
                if (!seen(id)) {
                    seen_[id >> 6] |= uint64_t(1) << (id & 63);
                    next_id(node);
                }
                return 0;
            }
            uint32_t& slot = direct_[uint64_t(node)];
            if (slot != 0) return slot - 1;
            uint32_t id = next_id(node);
            slot = id + 1;
            return id;
        }
        return add_hashed(node);
    }
    uint32_t next_id(int64_t node);
    uint32_t add_hashed(int64_t node);
    void grow(uint64_t key);

    Pending ring_[kRing] = {};
    std::size_t first_ = 0;
    std::size_t pending_ = 0;
    bool exhausted_ = false;
    bool by_id_ = true;
    int64_t last_tail_ = -1;  // the last arc's tail while by_id_: already registered (-1: none)
    std::vector<uint32_t> ends_;
    uint64_t expected_ends_ = 0;  // twice the declared arcs: where growth may stop
    std::vector<int64_t> nodes_;
    std::unique_ptr<uint32_t[], FreeDeleter> direct_;  // calloc'ed: untouched pages cost nothing
    std::unique_ptr<uint64_t[], FreeDeleter> seen_;    // a bit per identifier of direct_'s range
    uint64_t direct_limit_ = 0;
    std::vector<Slot> slots_;
    std::size_t hashed_ = 0;
    unsigned shift_ = 64;
    uint64_t key_;
    uint64_t probes_ = 0;
};

// The arcs that share their (tail, head) pair with an arc before them, each with its parallel
// index (1, 2, ... in position order within the pair), and the number of pairs with two or more
// arcs. Every other arc's parallel index is 0.
struct ParallelArcs {
    std::vector<std::pair<uint64_t, int64_t>> indices;  // (position, index)
    uint64_t pairs = 0;
};

// Sorts the arc positions 0 .. m-1 by (tail identifier, head identifier, position), from the
// dense numbers of the arcs' ends (tail of arc p at 2p, head at 2p + 1) and the ranks of the
// dense numbers, and finds the parallel arcs on the way.
ParallelArcs sort_by_pair(std::span<const uint32_t> ranks, std::span<const uint32_t> ends, models::PairOrder& order);

// sort_by_pair on a finished index (whose ends it may turn into dense numbers).
ParallelArcs order_by_pair(NodeIndex& node_index, models::PairOrder& order);

// Fills `order` as order_by_pair does, hands every arc with a parallel index above 0 its index
// through set_index(position, index) (the others keep the 0 they were built with) and returns the
// number of node pairs that carry two or more arcs. Needs node_index.finish() first.
template <class SetIndex>
uint64_t index_parallel_arcs(NodeIndex& node_index, models::PairOrder& order, SetIndex&& set_index) {
    ParallelArcs parallel = order_by_pair(node_index, order);
    for (const auto& [position, index] : parallel.indices) set_index(position, index);
    return parallel.pairs;
}

// Memory a reader may set aside from what a file declares (the counts of its problem line, its
// size) before the lines are there: beyond it, storage grows with the lines actually read.
inline constexpr uint64_t kReserveBudget = uint64_t(64) << 20;

// Bounds a declared count used as a reservation hint by what the file can hold (every counted
// line needs at least `min_line_bytes` bytes; files of unknown size get a modest fixed bound) and
// by the budget, at `item_bytes` bytes an item.
uint64_t bounded_hint(int64_t declared, uint64_t file_size, uint64_t min_line_bytes, uint64_t item_bytes) noexcept;

}  // namespace pelmora::io
