// Node potentials proving a flow optimal: shortest distances in its residual graph from a virtual
// source joined to every node at distance 0. An optimal flow's residual graph has no negative
// cycle, so the Bellman-Ford below ends; on the networks this serves it settles in a few passes. The reduced costs they
// give fix, by complementary slackness, every arc whose flow is the same in all optima, which leaves only the ties to
// break.
#include <optional>
#include <string>
#include <vector>

#include "core/interrupt.hpp"
#include "tools/feasible.hpp"

namespace pelmora::tools {

Outcome<std::optional<std::vector<int64_t>>> residual_potentials(uint64_t n, const FlowColumns& f) {
    const std::size_t m = f.tails.size();
    // Residual arcs as a CSR by tail: a forward arc while flow < capacity, a backward one while
    // flow > 0, each with its reduced cost so far.
    std::vector<uint64_t> first(n + 1, 0);
    for (std::size_t a = 0; a < m; ++a) {
        if (uint64_t(f.tails[a]) >= n || uint64_t(f.heads[a]) >= n) return Error::value("an arc names no node");
        first[f.tails[a] + 1] += f.flow[a] < f.capacity[a];
        first[f.heads[a] + 1] += f.flow[a] > 0;
    }
    for (uint64_t v = 0; v < n; ++v) first[v + 1] += first[v];
    std::vector<uint64_t> fill(first.begin(), first.end() - 1);
    std::vector<uint32_t> to(first[n]);
    std::vector<int64_t> cost(first[n]);
    for (std::size_t a = 0; a < m; ++a) {
        if (f.flow[a] < f.capacity[a]) {
            to[fill[f.tails[a]]] = uint32_t(f.heads[a]);
            cost[fill[f.tails[a]]++] = f.costs[a];
        }
        if (f.flow[a] > 0) {
            to[fill[f.heads[a]]] = uint32_t(f.tails[a]);
            cost[fill[f.heads[a]]++] = -f.costs[a];
        }
    }
    // Bellman-Ford in passes: pass p relaxes the arcs out of the nodes whose distance fell in pass
    // p - 1. Distances after pass p are at most the shortest walks of p residual arcs, and without a
    // negative cycle every shortest walk has at most n - 1 arcs, so only a negative cycle lets
    // distances still fall in pass n. (Counting relaxations per node instead would refuse optimal
    // flows: parallel arcs relax their head several times in one pass.)
    std::vector<int64_t> distance(n, 0);
    std::vector<uint8_t> queued(n, 1);
    std::vector<uint32_t> now, next;
    now.reserve(n);
    for (uint64_t v = 0; v < n; ++v) now.push_back(uint32_t(v));
    uint64_t steps = 0;
    for (uint64_t pass = 1; !now.empty(); ++pass) {
        if (pass > n) return std::optional<std::vector<int64_t>>();  // a negative cycle: not optimal
        for (const uint32_t v : now) {
            queued[v] = 0;
            if ((++steps & 0xfff) == 0 && interrupted()) return Error::interrupted();
            for (uint64_t e = first[v]; e < first[v + 1]; ++e) {
                int64_t d;
                if (__builtin_add_overflow(distance[v], cost[e], &d)) return Error::value("distances pass 64 bits");
                const uint32_t w = to[e];
                if (d >= distance[w]) continue;
                distance[w] = d;
                if (!queued[w]) {
                    queued[w] = 1;
                    next.push_back(w);
                }
            }
        }
        now.swap(next);
        next.clear();
    }
    return std::optional<std::vector<int64_t>>(std::move(distance));
}

}  // namespace pelmora::tools

namespace pelmora::tools {

Outcome<Peeled> peel_forest(uint64_t n, std::span<const int64_t> tails, std::span<const int64_t> heads,
                            std::span<const int64_t> supplies) {
    const std::size_t m = tails.size();
    if (heads.size() != m || supplies.size() != n) return Error::value("the columns do not agree in size");
    // Incidence lists, and each node's count of arcs not yet fixed.
    std::vector<uint64_t> first(n + 1, 0);
    for (std::size_t a = 0; a < m; ++a) {
        if (uint64_t(tails[a]) >= n || uint64_t(heads[a]) >= n) return Error::value("an arc names no node");
        ++first[tails[a] + 1];
        ++first[heads[a] + 1];
    }
    for (uint64_t v = 0; v < n; ++v) first[v + 1] += first[v];
    std::vector<uint32_t> incident(first[n]);
    std::vector<uint64_t> fill(first.begin(), first.end() - 1);
    for (std::size_t a = 0; a < m; ++a) {
        incident[fill[tails[a]]++] = uint32_t(a);
        incident[fill[heads[a]]++] = uint32_t(a);
    }
    std::vector<uint32_t> degree(n);
    for (uint64_t v = 0; v < n; ++v) degree[v] = uint32_t(first[v + 1] - first[v]);
    Peeled out;
    out.flow.assign(m, -1);
    out.supplies.assign(supplies.begin(), supplies.end());
    std::vector<uint32_t> leaves;
    for (uint64_t v = 0; v < n; ++v)
        if (degree[v] == 1) leaves.push_back(uint32_t(v));
    uint64_t steps = 0;
    while (!leaves.empty()) {
        const uint32_t v = leaves.back();
        leaves.pop_back();
        if (degree[v] != 1) continue;
        if ((++steps & 0xffff) == 0 && interrupted()) return Error::interrupted();
        uint64_t e = first[v];
        while (out.flow[incident[e]] >= 0) ++e;
        const uint32_t a = incident[e];
        // The leaf's one open arc carries what the leaf must send or receive; a self-loop counts
        // twice in its node's degree, so it is never a leaf's only arc.
        const bool leaving = uint64_t(tails[a]) == v;
        out.flow[a] = leaving ? out.supplies[v] : -out.supplies[v];
        const uint32_t other = uint32_t(leaving ? heads[a] : tails[a]);
        out.supplies[v] = 0;
        if (leaving) out.supplies[other] += out.flow[a];
        else out.supplies[other] -= out.flow[a];
        degree[v] = 0;
        if (--degree[other] == 1) leaves.push_back(other);
    }
    return out;
}

}  // namespace pelmora::tools
