// libFuzzer target: the multi-commodity reader (parse_multi_min) against the reference reader
// (reference_reader.hpp). Where the format leaves the outcome to the implementer (an arc line
// before the problem line, a problem line after arc lines, an enormous K), any error is accepted
// and a result only has to satisfy the record's invariants. Files with K above 1024 are skipped.
#include <set>
#include <string_view>

#include "common.hpp"
#include "io/files.hpp"

namespace {

using pelmora::models::ParsedMulticommodityInstance;

void check_invariants(const ParsedMulticommodityInstance& got) {
    const std::size_t m = got.arcs.size();
    const uint64_t K = got.num_commodities;
    FUZZ_CHECK(got.arc_capacities.size() == m * K, "capacities are not m*K");
    FUZZ_CHECK(got.costs.size() == m * K, "costs are not m*K");
    FUZZ_CHECK(got.pair_order.size() == m);
    std::vector<bool> hit(m, false);
    for (std::size_t j = 0; j < m; ++j) {
        uint64_t p = got.pair_order[j];
        FUZZ_CHECK(p < m && !hit[p], "arc_indices is not a permutation");
        hit[p] = true;
        if (j > 0) {
            const auto& x = got.arcs[got.pair_order[j - 1]];
            const auto& y = got.arcs[p];
            FUZZ_CHECK(std::tuple(x.tail, x.head, x.index) < std::tuple(y.tail, y.head, y.index), "arc key order");
        }
    }
    auto tail = [](const pelmora::models::ArcKey& a) { return a.tail; };
    auto head = [](const pelmora::models::ArcKey& a) { return a.head; };
    FUZZ_CHECK(got.parallel == (fuzz::parallel_pairs_of(got.arcs, tail, head) > 0), "parallel flag");
    std::set<int64_t> nodes(got.nodes.begin(), got.nodes.end());
    FUZZ_CHECK(nodes.size() == got.nodes.size(), "duplicate nodes");
    for (const auto& a : got.arcs) FUZZ_CHECK(nodes.count(a.tail) && nodes.count(a.head), "arc end not in nodes");
    FUZZ_CHECK(got.supplies.nodes == got.commodity_supply_demand_data.keys, "supply keys differ from partition keys");
    for (int64_t n : got.supplies.nodes) FUZZ_CHECK(nodes.count(n), "supply node not in nodes");
}

void compare(const ParsedMulticommodityInstance& got, const fuzz::RefFile& want) {
    FUZZ_CHECK(got.num_nodes == want.num_nodes && got.num_arcs == want.num_arcs, "declared counts");
    FUZZ_CHECK(got.num_commodities == want.k, "K");
    FUZZ_CHECK(got.randomized_capacities == want.rand_caps && got.randomized_weights == want.rand_costs &&
                   got.cap_zero == want.cap_zero,
               "flags");
    FUZZ_CHECK(got.method == want.method, "method");
    FUZZ_CHECK(got.seed == want.seed, "seed");
    FUZZ_CHECK(fuzz::same_double(got.cap_zero_param, want.cap_zero_param), "cap_zero_param");
    FUZZ_CHECK(got.nodes == want.nodes, "nodes");
    fuzz::check_supply_map(got.supplies, want.supplies);
    fuzz::check_list_map(got.commodity_supply_demand_data, want.partition);
    FUZZ_CHECK(got.arcs.size() == want.arcs.size(),
               fuzz::describe(int64_t(got.arcs.size()), int64_t(want.arcs.size())));
    pelmora::models::CommodityValues caps, costs;
    for (std::size_t p = 0; p < got.arcs.size(); ++p) {
        const auto& a = got.arcs[p];
        const auto& r = want.arcs[p];
        FUZZ_CHECK(a.tail == r.tail && a.head == r.head && a.index == r.index && a.up == r.up,
                   "arc " + std::to_string(p));
        caps.insert(caps.end(), r.caps.begin(), r.caps.end());
        costs.insert(costs.end(), r.costs.begin(), r.costs.end());
    }
    FUZZ_CHECK(got.arc_capacities == caps, "per-commodity capacities");
    FUZZ_CHECK(got.costs == costs, "per-commodity costs");
    auto tail = [](const fuzz::RefArc& a) { return a.tail; };
    auto head = [](const fuzz::RefArc& a) { return a.head; };
    FUZZ_CHECK(got.pair_order == fuzz::pair_order_of(want.arcs, tail, head), "arc_indices order");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static fuzz::MemFile file("parse_multi_min");
    const fuzz::RefFile want = fuzz::reference_read({reinterpret_cast<const char*>(data), size}, true);
    // K sizes every per-arc list (a compressed group stands for K values), so a file naming millions
    // of commodities legitimately asks for gigabytes; the reader bounds that by the machine's
    // memory, which is more than a fuzzing process may use.
    if (want.huge_k) return 0;
    file.write(data, size);
    auto got = pelmora::io::parse_multi_min(file.path());
    if (got.ok()) check_invariants(got.value());
    fuzz::check_outcome(got, want, compare);
    return 0;
}
