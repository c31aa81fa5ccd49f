// The records of the module: plain structs that own their data and are never changed after they
// have been built. Each number is stored once; the Python views (src/binding/types.cpp) derive the
// other shapes of the same numbers when an attribute is read.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <utility>
#include <vector>

namespace pelmora::models {

// An allocator whose resize() leaves new ints uninitialised: the per-(arc, commodity) lists are
// written in full right after they are sized, so zeroing them first would only add a pass over
// hundreds of MB, and touching fresh pages in the thread that fills them lets each thread fault
// in its own share.
template <class T>
struct UninitialisedAllocator : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = UninitialisedAllocator<U>;
    };
    UninitialisedAllocator() = default;
    template <class U>
    UninitialisedAllocator(const UninitialisedAllocator<U>&) noexcept {}
    template <class U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};
// K values per arc, arc-major.
using CommodityValues = std::vector<int64_t, UninitialisedAllocator<int64_t>>;

// One arc of a single-commodity network.
struct Edge {
    int64_t tail;
    int64_t head;
    int64_t low;
    int64_t up;
    int64_t cost;
    int64_t index;  // parallel index: number of earlier arcs with the same (tail, head)
};

// Ordered map node -> signed total, as two parallel vectors sorted by node (unique keys).
struct SupplyMap {
    std::vector<int64_t> nodes;
    std::vector<int64_t> totals;

    std::size_t size() const noexcept { return nodes.size(); }
    bool empty() const noexcept { return nodes.empty(); }
    // Position of `node`, or size() when absent.
    std::size_t find(int64_t node) const noexcept {
        auto it = std::lower_bound(nodes.begin(), nodes.end(), node);
        return (it != nodes.end() && *it == node) ? std::size_t(it - nodes.begin()) : nodes.size();
    }
};

// Ordered map key -> list of T, ragged: the list of keys[i] is values[offsets[i] .. offsets[i + 1]).
// Keys ascend and are unique; offsets has size() + 1 entries.
template <class T>
struct RaggedMap {
    std::vector<int64_t> keys;
    std::vector<uint64_t> offsets{0};
    std::vector<T> values;

    std::size_t size() const noexcept { return keys.size(); }
    bool empty() const noexcept { return keys.empty(); }
    std::span<const T> row(std::size_t i) const noexcept {
        return {values.data() + offsets[i], values.data() + offsets[i + 1]};
    }
    std::span<T> row(std::size_t i) noexcept { return {values.data() + offsets[i], values.data() + offsets[i + 1]}; }
    std::size_t find(int64_t key) const noexcept {
        auto it = std::lower_bound(keys.begin(), keys.end(), key);
        return (it != keys.end() && *it == key) ? std::size_t(it - keys.begin()) : keys.size();
    }
    // Appends a row; keys must be pushed in ascending order.
    void push_row(int64_t key, std::span<const T> row) {
        keys.push_back(key);
        values.insert(values.end(), row.begin(), row.end());
        offsets.push_back(values.size());
    }
};
// A supply partition is a ListMap whose lists hold K amounts each (not required by readers).
using ListMap = RaggedMap<int64_t>;
using SupplyPartition = ListMap;

// Arc positions ordered by (tail, head, position): the arcs of one node pair form one consecutive
// run, ascending. This one permutation is the whole `arc_indices` map, and, because a reader gives
// the arcs of a pair the parallel indices 0, 1, 2, ... in position order, it is also the ascending
// order of the arc keys (tail, head, index). Sized before the sort fills it, in two halves at
// once, so its entries come into being unwritten.
using PairOrder = std::vector<uint64_t, UninitialisedAllocator<uint64_t>>;

struct NetworkInstance {
    int64_t num_nodes = 0;
    int64_t num_arcs = 0;
    std::vector<int64_t> nodes;  // order of first appearance
    std::vector<Edge> edges;     // arc-position order; arcs, capacities, weights derive from it
    SupplyMap supplies;
    PairOrder pair_order;
    uint64_t num_parallel_arc_pairs = 0;

    bool parallel() const noexcept { return num_parallel_arc_pairs > 0; }
};

// The key of an arc and its own capacity, per arc position.
struct ArcKey {
    int64_t tail;
    int64_t head;
    int64_t index;
    int64_t up;
};

struct MultiCommodityData {
    SupplyPartition supply_partition;
    int64_t method = 0;
    uint64_t num_commodities = 0;    // K
    std::vector<ArcKey> arcs;        // m entries
    CommodityValues costs;           // m*K, arc-major: costs[a*K + k]
    CommodityValues arc_capacities;  // m*K, arc-major, after randomisation and exclusion
    PairOrder pair_order;            // copy of the network's arc_indices
    bool randomized_capacities = false;
    bool randomized_weights = false;
    bool cap_zero = false;
    double cap_zero_param = 0.0;
    uint64_t seed = 0;
    bool parallel = false;
};

struct ParsedMulticommodityInstance {
    int64_t num_nodes = 0;
    int64_t num_arcs = 0;
    uint64_t num_commodities = 0;  // K
    bool randomized_capacities = false;
    bool randomized_weights = false;
    std::vector<int64_t> nodes;
    SupplyMap supplies;
    ListMap commodity_supply_demand_data;
    std::vector<ArcKey> arcs;        // tail, head, parallel index, up; m entries
    CommodityValues arc_capacities;  // m*K, arc-major
    CommodityValues costs;           // m*K, arc-major
    PairOrder pair_order;
    int64_t method = 0;
    bool cap_zero = false;
    double cap_zero_param = 0.0;
    uint64_t seed = 0;
    bool parallel = false;
};

struct MultiCommoditySupplies {
    ListMap partition;
};

}  // namespace pelmora::models
