// Balancing at scale: pelmora's balancing beside the unit-by-unit one on the same partition.
//
//   balance_bench [--no-reference] < case
//
// A case on standard input: "METHOD K C SEED N" (METHOD 0 spread, 2 beta-binomial), then N lines
// "NODE TOTAL". Prints one line:
//   passes=P visits=V moves=M balance_s=T reference_s=R same=1
// (passes, visits, moves and reference_s come from the unit-by-unit run; without it they are 0).
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "logic/generator/generator.hpp"
#include "logic/generator/internal.hpp"
#include "../tests/native/reference_balance.hpp"

using namespace pelmora;

int main(int argc, char** argv) {
    const bool reference = !(argc > 1 && std::strcmp(argv[1], "--no-reference") == 0);
    int method;
    uint64_t K, seed;
    double c;
    std::size_t N;
    if (!(std::cin >> method >> K >> c >> seed >> N)) return 2;
    models::SupplyMap data;
    for (std::size_t i = 0; i < N; ++i) {
        int64_t node, total;
        std::cin >> node >> total;
        data.nodes.push_back(node);
        data.totals.push_back(total);
    }
    rnd::StdRng rng = rnd::StdRng::seed_from_u64(seed);
    auto cut = method == 0 ? logic::generator::detail::spread_before_balancing(data, K, rng)
                           : logic::generator::detail::beta_binomial_before_balancing(data, K, rng, c);
    if (!cut.ok()) {
        std::fprintf(stderr, "%s\n", cut.error().message.c_str());
        return 1;
    }
    models::SupplyPartition fast = cut.value(), plain = cut.value();
    rnd::StdRng rng_fast = rng, rng_plain = rng;

    using clock = std::chrono::steady_clock;
    auto t0 = clock::now();
    if (!logic::generator::balance_commodities(fast, data, K, &rng_fast).ok()) return 1;
    const double balance_s = std::chrono::duration<double>(clock::now() - t0).count();

    reference::BalanceStats stats;
    double reference_s = 0;
    bool same = true;
    if (reference) {
        t0 = clock::now();
        stats = reference::balance(plain, data, K, &rng_plain);
        reference_s = std::chrono::duration<double>(clock::now() - t0).count();
        same = plain.values == fast.values && rng_plain.next_u64() == rng_fast.next_u64();
    }
    std::printf("passes=%llu visits=%llu moves=%llu balance_s=%.6f reference_s=%.6f same=%d\n",
                (unsigned long long)stats.passes, (unsigned long long)stats.visits, (unsigned long long)stats.moves,
                balance_s, reference_s, same ? 1 : 0);
    return same ? 0 : 1;
}
