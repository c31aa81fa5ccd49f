// The balancing steps, literally: map look-ups, one node visit at a time. The yardstick for the
// balancing in src/logic/generator (tests/native/balance_check.cpp) and for its benchmark
// (bench/balance_bench.cpp).
#pragma once

#include <cstdint>
#include <vector>

#include "models/records.hpp"
#include "random/random.hpp"

namespace pelmora::reference {

struct BalanceStats {
    uint64_t passes = 0;  // passes that drew a source (the last, empty pass is not counted)
    uint64_t visits = 0;
    uint64_t moves = 0;
};

inline BalanceStats balance(models::SupplyPartition& p, const models::SupplyMap& supplies, uint64_t K,
                            rnd::StdRng* rng) {
    BalanceStats stats;
    const std::size_t N = p.size();
    std::vector<__int128> net(K, 0);
    for (std::size_t i = 0; i < N; ++i)
        for (std::size_t c = 0; c < K; ++c) net[c] += p.row(i)[c];
    if (K == 0) return stats;
    std::size_t nc = 0, dc = 0;
    for (;;) {
        std::vector<std::size_t> surplus, deficit;
        for (std::size_t c = 0; c < K; ++c) {
            if (net[c] > 0) surplus.push_back(c);
            if (net[c] < 0) deficit.push_back(c);
        }
        if (surplus.empty() || deficit.empty()) return stats;
        ++stats.passes;
        const std::size_t s = rng ? surplus[rnd::random_range_usize(*rng, surplus.size())] : surplus[0];
        const std::size_t D = deficit.size();
        if (dc >= D) dc = 0;
        for (std::size_t visits = 0; visits < N;) {
            const int64_t b = supplies.totals[supplies.find(p.keys[nc])];
            auto v = p.row(nc);
            auto move = [&](std::size_t t) {
                --v[s];
                ++v[t];
                --net[s];
                ++net[t];
                ++stats.moves;
            };
            if (b > 0) {
                if (v[s] > 0) {
                    const std::size_t t = deficit[dc];
                    dc = (dc + 1) % D;
                    move(t);
                }
            } else if (b < 0) {
                for (std::size_t e = 0; e < D; ++e) {
                    const std::size_t r = dc;
                    dc = (dc + 1) % D;
                    if (v[deficit[r]] < 0) {
                        move(deficit[r]);
                        break;
                    }
                }
            }
            nc = (nc + 1) % N;
            ++visits;
            ++stats.visits;
            if (net[s] == 0) break;
        }
    }
}

}  // namespace pelmora::reference
