// Native driver for the file routines, for sanitizer runs and quick timing without Python:
//   files_driver min PATH        print the NetworkInstance read from PATH
//   files_driver mcf PATH        print the ParsedMulticommodityInstance read from PATH
//   files_driver time-min PATH [N]  read PATH (N times) and print only the elapsed seconds
//   files_driver time-mcf PATH   the same for a multi-commodity file
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "io/files.hpp"

using namespace pelmora;

static int fail(const Error& e) {
    std::printf("error: %s\n", e.message.c_str());
    return 1;
}

static void print_order(const models::PairOrder& order) {
    std::printf("pair_order");
    for (auto p : order) std::printf(" %llu", (unsigned long long)p);
    std::printf("\n");
}

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    std::string mode = argv[1];
    std::string path = argv[2];
    if (mode == "time-min" && argc > 3) {
        for (int i = 1; i < std::atoi(argv[3]); ++i) (void)io::parse_min(path);
    }
    if (mode == "min" || mode == "time-min") {
        auto t0 = std::chrono::steady_clock::now();
        auto r = io::parse_min(path);
        auto t1 = std::chrono::steady_clock::now();
        if (!r) return fail(r.error());
        auto& x = r.value();
        if (mode == "time-min") {
            std::printf("%.4f s, %zu arcs, %zu nodes\n", std::chrono::duration<double>(t1 - t0).count(), x.edges.size(),
                        x.nodes.size());
            return 0;
        }
        std::printf("num_nodes %lld num_arcs %lld pairs %llu\n", (long long)x.num_nodes, (long long)x.num_arcs,
                    (unsigned long long)x.num_parallel_arc_pairs);
        std::printf("nodes");
        for (auto n : x.nodes) std::printf(" %lld", (long long)n);
        std::printf("\nsupplies");
        for (std::size_t i = 0; i < x.supplies.size(); ++i)
            std::printf(" %lld:%lld", (long long)x.supplies.nodes[i], (long long)x.supplies.totals[i]);
        std::printf("\n");
        for (auto& e : x.edges)
            std::printf("a %lld %lld %lld %lld %lld %lld\n", (long long)e.tail, (long long)e.head, (long long)e.low,
                        (long long)e.up, (long long)e.cost, (long long)e.index);
        print_order(x.pair_order);
        return 0;
    }
    if (mode == "mcf" || mode == "time-mcf") {
        auto t0 = std::chrono::steady_clock::now();
        auto r = io::parse_multi_min(path);
        auto t1 = std::chrono::steady_clock::now();
        if (!r) return fail(r.error());
        auto& x = r.value();
        if (mode == "time-mcf") {
            std::printf("%.4f s, %zu arcs\n", std::chrono::duration<double>(t1 - t0).count(), x.arcs.size());
            return 0;
        }
        std::printf(
            "num_nodes %lld num_arcs %lld K %llu flags %d %d %d method %lld param %.17g seed %llu parallel %d\n",
            (long long)x.num_nodes, (long long)x.num_arcs, (unsigned long long)x.num_commodities,
            x.randomized_capacities, x.randomized_weights, x.cap_zero, (long long)x.method, x.cap_zero_param,
            (unsigned long long)x.seed, x.parallel);
        std::printf("nodes");
        for (auto n : x.nodes) std::printf(" %lld", (long long)n);
        std::printf("\n");
        for (std::size_t i = 0; i < x.commodity_supply_demand_data.size(); ++i) {
            std::printf("n %lld %lld :", (long long)x.supplies.nodes[i], (long long)x.supplies.totals[i]);
            for (auto v : x.commodity_supply_demand_data.row(i)) std::printf(" %lld", (long long)v);
            std::printf("\n");
        }
        const std::size_t k = x.num_commodities;
        for (std::size_t p = 0; p < x.arcs.size(); ++p) {
            auto& a = x.arcs[p];
            std::printf("a %lld %lld %lld %lld caps", (long long)a.tail, (long long)a.head, (long long)a.index,
                        (long long)a.up);
            for (std::size_t i = 0; i < k; ++i) std::printf(" %lld", (long long)x.arc_capacities[p * k + i]);
            std::printf(" costs");
            for (std::size_t i = 0; i < k; ++i) std::printf(" %lld", (long long)x.costs[p * k + i]);
            std::printf("\n");
        }
        print_order(x.pair_order);
        return 0;
    }
    return 2;
}
