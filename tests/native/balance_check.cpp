// Checks the batched balancing against a plain model that follows the balancing steps one node
// visit at a time. Both get a generator seeded alike; they must leave the same partition and the
// generator at the same word.
//
//   balance_check fuzz COUNT SEED   random partitions; prints "ok COUNT" or the first difference
//   balance_check stdin             cases from standard input, one answer line per case
//   balance_check examples          the worked balancing examples; prints "ok" or what failed
//   balance_check splits COUNT SEED  whole spread and beta-binomial splits on random supply maps
//                                   against their cuts followed by the plain model
//   balance_check spread K SEED     the spread cuts of "NODE TOTAL" lines on standard input, then
//                                   the plain model; prints "NODE A_0 .. A_{K-1}" per row
//
// A stdin case: "K USE_RNG SEED N", then N lines "NODE TOTAL A_0 .. A_{K-1}" (ascending nodes).
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "core/interrupt.hpp"
#include "logic/generator/generator.hpp"
#include "logic/generator/internal.hpp"
#include "reference_balance.hpp"

using namespace pelmora;
using models::SupplyMap;
using models::SupplyPartition;

namespace {

struct Case {
    uint64_t K = 0;
    bool use_rng = false;
    uint64_t seed = 0;
    SupplyMap supplies;
    SupplyPartition partition;
};

// Empty when both agree, else a description of the first difference.
std::string compare(const Case& c) {
    SupplyPartition fast = c.partition, slow = c.partition;
    rnd::StdRng rf = rnd::StdRng::seed_from_u64(c.seed), rs = rnd::StdRng::seed_from_u64(c.seed);
    const bool ok = logic::generator::balance_commodities(fast, c.supplies, c.K, c.use_rng ? &rf : nullptr).ok();
    reference::balance(slow, c.supplies, c.K, c.use_rng ? &rs : nullptr);
    std::ostringstream out;
    if (!ok) out << "balancing failed";
    if (fast.values != slow.values) {
        out << "values differ:";
        for (std::size_t i = 0; i < fast.values.size(); ++i)
            if (fast.values[i] != slow.values[i])
                out << " [" << i << "] " << fast.values[i] << " vs " << slow.values[i];
    }
    if (c.use_rng && rf.next_u64() != rs.next_u64()) out << " generator words consumed differ";
    return out.str();
}

Case random_case(std::mt19937_64& g) {
    Case c;
    auto pick = [&](uint64_t lo, uint64_t hi) { return std::uniform_int_distribution<uint64_t>(lo, hi)(g); };
    // Many commodities: commodities leave and join the surplus and deficit lists all the time,
    // which moves the places that draws and the deficit cursor point at.
    const bool many = pick(0, 3) == 0;
    c.K = pick(0, 20) == 0 ? 0 : many ? pick(13, 400) : pick(1, pick(0, 3) == 0 ? 12 : 5);
    c.use_rng = pick(0, 4) != 0;
    c.seed = g();
    const std::size_t N = pick(1, pick(0, 3) == 0 ? 40 : 8);
    const int64_t scale = std::vector<int64_t>{3, 20, 1000, 30000, 200000}[pick(0, many ? 2 : 4)];
    std::vector<int64_t> totals(N);
    int64_t sum = 0;
    for (auto& t : totals) {
        t = pick(0, 5) == 0 ? 0 : static_cast<int64_t>(pick(0, scale)) * (pick(0, 1) ? 1 : -1);
        sum += t;
    }
    if (pick(0, 3) != 0) {  // mostly balanced networks: put the rest on one node or spread it
        const std::size_t at = pick(0, N - 1);
        totals[at] -= sum;
    }
    const bool keep_zero = pick(0, 1);
    int64_t node = -static_cast<int64_t>(pick(0, 50));
    std::vector<int64_t> row(c.K);
    for (std::size_t i = 0; i < N; ++i) {
        node += static_cast<int64_t>(pick(1, 3));
        c.supplies.nodes.push_back(node);
        c.supplies.totals.push_back(totals[i]);
        if (totals[i] == 0 && !keep_zero) continue;
        if (c.K == 0) {
            c.partition.push_row(node, row);
            continue;
        }
        // Pieces of |total|: either even-ish or concentrated on few commodities.
        const int64_t a = totals[i] < 0 ? -totals[i] : totals[i];
        std::fill(row.begin(), row.end(), 0);
        int64_t left = a;
        const bool lumpy = pick(0, 1);
        for (std::size_t k = 0; k + 1 < c.K && left > 0; ++k) {
            const int64_t take = lumpy ? (pick(0, 2) == 0 ? left : 0) : static_cast<int64_t>(pick(0, left));
            row[k] = take;
            left -= take;
        }
        row[c.K - 1] += left;
        if (pick(0, 1)) std::shuffle(row.begin(), row.end(), g);
        if (totals[i] < 0)
            for (auto& x : row) x = -x;
        c.partition.push_row(node, row);
    }
    return c;
}

bool read_case(std::istream& in, Case& c) {
    std::size_t N;
    int use_rng;
    if (!(in >> c.K >> use_rng >> c.seed >> N)) return false;
    c.use_rng = use_rng != 0;
    std::vector<int64_t> row(c.K);
    for (std::size_t i = 0; i < N; ++i) {
        int64_t node, total;
        in >> node >> total;
        for (auto& x : row) in >> x;
        c.supplies.nodes.push_back(node);
        c.supplies.totals.push_back(total);
        c.partition.push_row(node, row);
    }
    return true;
}

SupplyPartition rows(std::initializer_list<std::pair<int64_t, std::vector<int64_t>>> list) {
    SupplyPartition p;
    for (const auto& [node, row] : list) p.push_row(node, row);
    return p;
}

SupplyMap totals(std::initializer_list<std::pair<int64_t, int64_t>> list) {
    SupplyMap m;
    for (auto [node, total] : list) {
        m.nodes.push_back(node);
        m.totals.push_back(total);
    }
    return m;
}

// A poller that says "stop" at its n-th consultation and is consulted at every poll, not only
// once per interval, so that every place the routines poll can be hit.
struct StopAt {
    InterruptPoller poller;
    long left;
    static bool check(void* self) {
        auto& me = *static_cast<StopAt*>(self);
        me.poller.next = {};
        return --me.left == 0;
    }
};

// Stopping at the n-th poll, for n = 1, 2, 4, ... until the call finishes: each call either
// reports Error::interrupted() or gives the plain model's result.
bool stops_cleanly(const SupplyMap& data, uint64_t K, bool spread) {
    using namespace logic::generator;
    rnd::StdRng rng = rnd::StdRng::seed_from_u64(5);
    auto plain = spread ? detail::spread_before_balancing(data, K, rng)
                        : detail::beta_binomial_before_balancing(data, K, rng, 3.0);
    reference::balance(plain.value(), data, K, &rng);
    for (long n = 1;; n *= 2) {
        StopAt stop{{}, n};
        stop.poller.check = &StopAt::check;
        stop.poller.context = &stop;
        InterruptScope scope(stop.poller);
        stop.poller.next = {};
        auto got = spread ? split_supply_and_demand_spread(data, K, 5)
                          : split_supply_and_demand_beta_binomial(data, K, 5, 3.0);
        if (got.ok()) return stop.left > 0 && got.value().values == plain.value().values;
        if (got.error().kind != Error::Kind::Interrupted) return false;
    }
}

// Balancing is not reachable from Python on its own, so its worked examples are checked here.
int examples() {
    int failures = 0;
    auto expect = [&](bool ok, const char* what) {
        if (!ok) std::printf("failed: %s\n", what);
        failures += !ok;
    };
    using logic::generator::balance_commodities;
    {  // two commodities, no generator: [3, 0] / [0, -3] end as [1, 2] / [-1, -2]
        SupplyPartition p = rows({{1, {3, 0}}, {2, {0, -3}}});
        expect(balance_commodities(p, totals({{1, 3}, {2, -3}}), 2, nullptr).ok(), "balancing succeeds");
        expect(p.values == std::vector<int64_t>{1, 2, -1, -2}, "two-commodity example");
    }
    {  // K = 0 changes nothing
        SupplyPartition p = rows({{1, {}}, {2, {}}});
        expect(balance_commodities(p, totals({{1, 3}, {2, -3}}), 0, nullptr).ok(), "balancing succeeds");
        expect(p.values.empty(), "K = 0");
    }
    {  // already balanced: returns at once and draws nothing
        SupplyPartition p = rows({{1, {2, 1}}, {2, {-2, -1}}});
        rnd::StdRng used = rnd::StdRng::seed_from_u64(9), fresh = rnd::StdRng::seed_from_u64(9);
        expect(balance_commodities(p, totals({{1, 3}, {2, -3}}), 2, &used).ok(), "balancing succeeds");
        expect(p.values == std::vector<int64_t>{2, 1, -2, -1}, "balanced partition unchanged");
        expect(used.next_u64() == fresh.next_u64(), "balanced partition draws nothing");
    }
    {  // surplus only (more supply than demand, none in deficit): nothing moves
        SupplyPartition p = rows({{1, {5, 0}}, {2, {-1, 0}}});
        rnd::StdRng rng = rnd::StdRng::seed_from_u64(1);
        expect(balance_commodities(p, totals({{1, 5}, {2, -1}}), 2, &rng).ok(), "balancing succeeds");
        expect(p.values == std::vector<int64_t>{5, 0, -1, 0}, "no deficit, nothing moves");
    }
    {  // a node with total 0 never takes part, even when it sits between the others
        SupplyPartition p = rows({{1, {3, 0}}, {2, {0, 0}}, {3, {0, -3}}});
        expect(balance_commodities(p, totals({{1, 3}, {2, 0}, {3, -3}}), 2, nullptr).ok(), "balancing succeeds");
        expect(p.values == std::vector<int64_t>{1, 2, 0, 0, -1, -2}, "zero node untouched");
    }
    {  // interrupted while cutting, in plain passes over many commodities, in batches, inside a pass
        expect(stops_cleanly(totals({{1, 2000}, {2, -2000}}), 300, true), "interrupted, many commodities");
        expect(stops_cleanly(totals({{1, 3000000}, {2, -1000000}, {3, 1000000}, {4, -3000000}}), 3, false),
               "interrupted, batches");
        SupplyMap many_nodes;
        for (int64_t i = 0; i < 70000; ++i) {
            many_nodes.nodes.push_back(i);
            many_nodes.totals.push_back(i % 2 ? -3 : 3);
        }
        expect(stops_cleanly(many_nodes, 2, true), "interrupted, passes over 70,000 nodes");
    }
    if (failures == 0) std::printf("ok\n");
    return failures != 0;
}

// A public split must equal its own cuts followed by the plain balancing with the same generator.
int splits(long count, uint64_t seed) {
    std::mt19937_64 g(seed);
    auto pick = [&](uint64_t lo, uint64_t hi) { return std::uniform_int_distribution<uint64_t>(lo, hi)(g); };
    for (long n = 0; n < count; ++n) {
        const uint64_t K = pick(1, 10), split_seed = g();
        const bool spread = pick(0, 1);
        const double c = std::vector<double>{0.3, 1.0, 3.0, 20.0}[pick(0, 3)];
        const int64_t scale = std::vector<int64_t>{10, 1000, 100000, 3000000}[pick(0, 3)];
        SupplyMap data;
        int64_t sum = 0;
        const std::size_t N = pick(1, 14);
        for (std::size_t i = 0; i < N; ++i) {
            int64_t t = static_cast<int64_t>(pick(0, scale)) * (pick(0, 1) ? 1 : -1);
            if (i + 1 == N && pick(0, 3) != 0) t = -sum;
            sum += t;
            data.nodes.push_back(static_cast<int64_t>(i * 5) - 20);
            data.totals.push_back(t);
        }
        using namespace logic::generator;
        auto whole = spread ? split_supply_and_demand_spread(data, K, split_seed)
                            : split_supply_and_demand_beta_binomial(data, K, split_seed, c);
        rnd::StdRng rng = rnd::StdRng::seed_from_u64(split_seed);
        auto staged = spread ? detail::spread_before_balancing(data, K, rng)
                             : detail::beta_binomial_before_balancing(data, K, rng, c);
        if (!whole.ok() || !staged.ok()) {
            std::printf("split %ld refused\n", n);
            return 1;
        }
        reference::balance(staged.value(), data, K, &rng);
        if (whole.value().values != staged.value().values || whole.value().keys != staged.value().keys) {
            std::printf("split %ld (%s, K=%llu, seed=%llu, N=%zu) differs from cut + plain balancing\n", n,
                        spread ? "spread" : "beta_binomial", (unsigned long long)K, (unsigned long long)split_seed, N);
            return 1;
        }
    }
    std::printf("ok %ld\n", count);
    return 0;
}

// What split_supplies_spread should return, for a comparison with the built module.
int plain_spread(uint64_t K, uint64_t seed) {
    SupplyMap data;
    int64_t node, total;
    while (std::cin >> node >> total) {
        data.nodes.push_back(node);
        data.totals.push_back(total);
    }
    rnd::StdRng rng = rnd::StdRng::seed_from_u64(seed);
    auto staged = logic::generator::detail::spread_before_balancing(data, K, rng);
    if (!staged.ok()) return 1;
    SupplyPartition& p = staged.value();
    reference::balance(p, data, K, &rng);
    for (std::size_t i = 0; i < p.size(); ++i) {
        std::printf("%lld", (long long)p.keys[i]);
        for (int64_t x : p.row(i)) std::printf(" %lld", (long long)x);
        std::printf("\n");
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "stdin";
    if (mode == "examples") return examples();
    if (mode == "splits") return splits(argc > 2 ? std::stol(argv[2]) : 200, argc > 3 ? std::stoull(argv[3]) : 1);
    if (mode == "spread" && argc > 3) return plain_spread(std::stoull(argv[2]), std::stoull(argv[3]));
    if (mode == "fuzz") {
        const long count = argc > 2 ? std::stol(argv[2]) : 1000;
        std::mt19937_64 g(argc > 3 ? std::stoull(argv[3]) : 1);
        for (long n = 0; n < count; ++n) {
            const Case c = random_case(g);
            const std::string diff = compare(c);
            if (!diff.empty()) {
                std::printf("case %ld: K=%llu rng=%d seed=%llu N=%zu: %s\n", n, (unsigned long long)c.K, c.use_rng,
                            (unsigned long long)c.seed, c.supplies.size(), diff.c_str());
                return 1;
            }
        }
        std::printf("ok %ld\n", count);
        return 0;
    }
    Case c;
    int failures = 0;
    while (read_case(std::cin, c)) {
        const std::string diff = compare(c);
        std::printf("%s\n", diff.empty() ? "ok" : diff.c_str());
        failures += !diff.empty();
        c = Case{};
    }
    return failures != 0;
}
