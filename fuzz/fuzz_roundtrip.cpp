// libFuzzer target: save, then load. The input is 8 option bytes followed by the text of a ".min"
// file. The file is read with parse_min; a network that reads is given to the generation (K from 0
// to 5, any method number from -1 to 3, the randomisations, arc closing, multipliers and fractions
// from tables that include the awkward values), the data set is written with export_to_dimacs and
// read back with parse_multi_min, and every fact that the file carries must come back unchanged.
#include <cmath>
#include <limits>
#include <map>
#include <set>
#include <string>

#include "common.hpp"
#include "logic/generator/generator.hpp"
#include "io/files.hpp"

namespace {

using pelmora::Error;
using pelmora::models::MultiCommodityData;
using pelmora::models::NetworkInstance;
using pelmora::models::ParsedMulticommodityInstance;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

constexpr double kFractions[16] = {
    0.0, 0.05, 0.1, 0.25, 0.5, 0.9, 0.999, 1.0, -0.5, 1e-7, 1e21, -0.0, kNaN, kInf, 0.3333333333333333, 2.5};
constexpr std::pair<double, double> kMultipliers[8] = {{0.8, 1.0},  {0.8, 1.2},    {1.0, 1.0},     {1.5, 0.5},
                                                       {-2.0, 3.0}, {0.0, 1e-300}, {1e300, 1e301}, {0.5, kInf}};
constexpr double kConcentrations[8] = {3.0, 0.5, 1e-3, 50.0, 0.0, -1.0, kNaN, kInf};

// Generation moves single units to balance the commodities, so its time grows with the supplies;
// the fuzzer explores the file format, not how long large supplies take.
bool small_enough(const NetworkInstance& net) {
    if (net.edges.size() > 400 || net.supplies.size() > 200) return false;
    long double total = 0;
    for (int64_t t : net.supplies.totals) total += std::fabs(static_cast<long double>(t));
    return total <= 200000;
}

// Facts of the generated data set that hold for every network (Part of the checks is the balance:
// no commodity left in surplus while another is in deficit).
void check_data(const NetworkInstance& net, const MultiCommodityData& d,
                const pelmora::logic::generator::GenerationOptions& o) {
    const std::size_t m = net.edges.size(), K = o.num_commodities;
    FUZZ_CHECK(d.arcs.size() == m && d.costs.size() == m * K && d.arc_capacities.size() == m * K, "data sizes");
    FUZZ_CHECK(d.num_commodities == K && d.method == o.method && d.seed == o.seed);
    std::vector<long double> net_totals(K, 0);
    for (std::size_t i = 0; i < d.supply_partition.size(); ++i) {
        int64_t node = d.supply_partition.keys[i];
        std::size_t at = net.supplies.find(node);
        FUZZ_CHECK(at < net.supplies.size(), "partition node without supply");
        int64_t total = net.supplies.totals[at];
        auto row = d.supply_partition.row(i);
        FUZZ_CHECK(row.size() == K, "partition row length");
        long double sum = 0;
        for (std::size_t k = 0; k < K; ++k) {
            FUZZ_CHECK(total >= 0 ? row[k] >= 0 : row[k] <= 0, "partition sign");
            sum += row[k];
            net_totals[k] += row[k];
        }
        FUZZ_CHECK(sum == static_cast<long double>(total), "partition row sum");
        if (o.method != 1) FUZZ_CHECK(total != 0, "zero total kept by a random split");
    }
    if (o.method == 1) FUZZ_CHECK(d.supply_partition.size() == net.supplies.size(), "uniform split dropped a node");
    bool surplus = false, deficit = false;
    for (long double t : net_totals) surplus |= t > 0, deficit |= t < 0;
    FUZZ_CHECK(!(surplus && deficit), "balancing left a surplus and a deficit");
    for (std::size_t a = 0; a < m; ++a) {
        const auto& e = net.edges[a];
        bool any_open = false;
        for (std::size_t k = 0; k < K; ++k) {
            int64_t cap = d.arc_capacities[a * K + k], cost = d.costs[a * K + k];
            if (!o.randomize_costs) FUZZ_CHECK(cost == e.cost, "cost changed without randomisation");
            if (!o.randomize_caps && cap != 0) FUZZ_CHECK(cap == e.up, "capacity changed without randomisation");
            if (!o.cap_zero) FUZZ_CHECK(o.randomize_caps || cap == e.up, "capacity closed without cap_zero");
            any_open |= cap != 0;
        }
        double p = o.cap_zero_param;
        if (o.cap_zero && p > 0 && p < 1 && e.up != 0 && K > 0) FUZZ_CHECK(any_open, "arc closed for every commodity");
    }
}

// What the reader must give back for the written file (the facts the format carries).
void check_round_trip(const NetworkInstance& net, const MultiCommodityData& d, const ParsedMulticommodityInstance& r) {
    FUZZ_CHECK(r.num_nodes == net.num_nodes && r.num_arcs == net.num_arcs, "declared counts");
    FUZZ_CHECK(r.num_commodities == d.num_commodities, "K");
    FUZZ_CHECK(r.randomized_capacities == d.randomized_capacities && r.randomized_weights == d.randomized_weights &&
                   r.cap_zero == d.cap_zero && r.method == d.method,
               "flags or method");
    FUZZ_CHECK(fuzz::same_double(r.cap_zero_param, d.cap_zero_param), "cap_zero_param");
    const bool seed_dropped = d.method == 1 && !d.randomized_capacities && !d.randomized_weights;
    FUZZ_CHECK(r.seed == (seed_dropped ? 0 : d.seed), "seed");
    const auto& part = d.supply_partition;
    FUZZ_CHECK(r.commodity_supply_demand_data.keys == part.keys &&
                   r.commodity_supply_demand_data.offsets == part.offsets &&
                   r.commodity_supply_demand_data.values == part.values,
               "partition");
    FUZZ_CHECK(r.supplies.nodes == part.keys, "supply keys");
    for (std::size_t i = 0; i < part.size(); ++i) {
        int64_t sum = 0;
        for (int64_t v : part.row(i)) sum += v;
        FUZZ_CHECK(r.supplies.totals[i] == sum, "supply total");
    }
    FUZZ_CHECK(r.arcs.size() == net.edges.size(), "arc count");
    for (std::size_t p = 0; p < r.arcs.size(); ++p) {
        const auto& a = r.arcs[p];
        const auto& e = net.edges[p];
        FUZZ_CHECK(a.tail == e.tail && a.head == e.head && a.index == e.index && a.up == e.up,
                   "arc " + std::to_string(p));
    }
    FUZZ_CHECK(r.pair_order == net.pair_order && r.parallel == net.parallel(), "arc_indices or parallel");
    FUZZ_CHECK(r.arc_capacities == d.arc_capacities, "per-commodity capacities");
    FUZZ_CHECK(r.costs == d.costs, "per-commodity costs");
    std::vector<int64_t> nodes(part.keys.begin(), part.keys.end());
    std::set<int64_t> seen(nodes.begin(), nodes.end());
    for (const auto& e : net.edges)
        for (int64_t n : {e.tail, e.head})
            if (seen.insert(n).second) nodes.push_back(n);
    FUZZ_CHECK(r.nodes == nodes, "nodes");
}

void check_text(const std::string& text, const NetworkInstance& net, const MultiCommodityData& d) {
    const std::string header = "c Multicommodity flow generated by pelmora\n";
    FUZZ_CHECK(text.compare(0, header.size(), header) == 0, "header line");
    FUZZ_CHECK(!text.empty() && text.back() == '\n', "last line without line feed");
    std::size_t lines = 0;
    for (char c : text) {
        lines += c == '\n';
        FUZZ_CHECK(c != '\r', "carriage return written");
    }
    FUZZ_CHECK(lines == 2 + d.supply_partition.size() + net.edges.size(), "line count");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static fuzz::MemFile in("roundtrip_min"), out("roundtrip_mcf");
    if (size < 8) return 0;
    in.write(data + 8, size - 8);
    auto read = pelmora::io::parse_min(in.path());
    if (!read.ok() || !small_enough(read.value())) return 0;
    const NetworkInstance& net = read.value();

    pelmora::logic::generator::GenerationOptions o;
    o.num_commodities = data[0] % 6;
    o.method = int64_t(data[1] % 5) - 1;
    o.randomize_caps = data[2] & 1;
    o.randomize_costs = data[2] & 2;
    o.cap_zero = data[2] & 4;
    o.cap_zero_param = kFractions[data[3] % 16];
    std::tie(o.cap_a, o.cap_b) = kMultipliers[data[4] % 8];
    std::tie(o.cost_a, o.cost_b) = kMultipliers[data[5] % 8];
    o.concentration_param = kConcentrations[data[6] % 8];
    o.seed = uint64_t(data[7]) * 0x9E3779B97F4A7C15ull;

    auto generated = pelmora::logic::generator::generate_multi_commodity_data(net, o);
    if (!generated.ok()) {
        const Error& e = generated.error();
        if (e.kind == Error::Kind::Panic) {
            FUZZ_CHECK(o.method < 0 || o.method > 2, "panic: " + e.message);
            FUZZ_CHECK(e.message == "Unknown partitioning method: " + std::to_string(o.method), e.message);
        } else {
            FUZZ_CHECK(e.kind == Error::Kind::Value && !e.message.empty(), e.message);
        }
        return 0;
    }
    FUZZ_CHECK(o.method >= 0 && o.method <= 2, "unknown method accepted");
    const MultiCommodityData& d = generated.value();
    check_data(net, d, o);

    auto saved = pelmora::io::export_to_dimacs(out.path(), net, d);
    if (!saved.ok()) {
        // A data set without commodities has no value to write in a compressed group.
        FUZZ_CHECK(d.num_commodities == 0 && !net.edges.empty() && saved.error().kind == Error::Kind::Value,
                   saved.error().message);
        return 0;
    }
    const std::string text = out.read_all();
    check_text(text, net, d);

    auto back = pelmora::io::parse_multi_min(out.path());
    FUZZ_CHECK(back.ok(), "written file does not read back: " + back.error().message);
    check_round_trip(net, d, back.value());

    // Writing the same records again gives the same bytes.
    auto again = pelmora::io::export_to_dimacs(out.path(), net, d);
    FUZZ_CHECK(again.ok() && out.read_all() == text, "second write differs");
    return 0;
}
