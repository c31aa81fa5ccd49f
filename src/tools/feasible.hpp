// The feasible generation mode: commodities that follow one feasible flow of the single-commodity
// instance, so every data set has a known solution (the certificate). The flow comes from a solver
// outside (the Python side); here it is decomposed into source-to-sink paths, split among the K
// commodities, and the data set is built around it.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/outcome.hpp"
#include "logic/generator/generator.hpp"
#include "models/records.hpp"

namespace pelmora::tools {

using Column = models::CommodityValues;

// Node positions of an instance: ids ascending, each arc's tail and head as positions.
struct NodeIndex {
    std::vector<int64_t> ids;
    std::vector<uint32_t> tail, head;
};
NodeIndex index_nodes(const models::NetworkInstance& instance);

// Flows along arc lists: route r carries amount[r] over arcs[offsets[r] .. offsets[r + 1]), from
// node position source[r] (a supply node) to sink[r]; a cycle kept for a lower bound has both -1.
struct Routes {
    std::vector<uint64_t> offsets{0};
    std::vector<uint32_t> arcs;
    std::vector<int64_t> amount;
    std::vector<int64_t> source, sink;
    std::size_t size() const noexcept { return amount.size(); }
};

// Decomposes `flow` (one value per arc, low <= flow <= up, conserving the supplies) into paths,
// the supply nodes taken in ascending id order, each starting paths only for its own supply.
// Cycles met on the way are cancelled, except as far as they carry an arc's lower bound: those
// become cycle routes. Value error when the flow breaks a bound or does not conserve.
Outcome<Routes> decompose(const models::NetworkInstance& instance, const NodeIndex& nodes,
                          std::span<const int64_t> flow);

struct FeasibleOptions {
    logic::generator::GenerationOptions generation;  // cap_zero and cap_zero_param are ignored
    double close = 0.0;                              // fraction of (arc, commodity) pairs to close
    double tightness = 0.0;
};

struct FeasibleResult {
    models::NetworkInstance network;  // the instance with the tightened mutual capacities
    models::MultiCommodityData data;
    Column certificate;  // m x K
    uint64_t closed = 0, requested = 0;
    std::string cost;  // the certificate's cost, in decimal
};

// The data set and its certificate from a flow of `instance`.
Outcome<FeasibleResult> generate_feasible(const models::NetworkInstance& instance, std::span<const int64_t> flow,
                                          const FeasibleOptions& options);

// Shares of each supply node's supply among the K commodities by the options' method: the
// module's uniform, spread or beta-binomial cut, without the balancing (each commodity is
// balanced by its routes). Rows follow the ascending supply nodes of `sources`.
Outcome<models::SupplyPartition> source_shares(const models::SupplyMap& sources,
                                               const logic::generator::GenerationOptions& options);

// A single-commodity flow over node positions 0..n-1 with 0 <= flow <= capacity.
struct FlowColumns {
    std::span<const int64_t> tails, heads, capacity, costs, flow;
};
// Potentials d with costs[a] + d[tail] - d[head] >= 0 where flow < capacity and <= 0 where
// flow > 0; value error when `flow` is not optimal (a negative residual cycle).
Outcome<std::vector<int64_t>> residual_potentials(uint64_t n, const FlowColumns& flow);

// Flows forced by conservation alone: an arc that is a leaf's only open arc carries what the leaf
// must send or receive, and peeling leaves repeats until only cycles (the 2-core) are left.
// flow[a] is the forced flow, or -1 for arcs left on cycles; supplies are what remains to route
// over those.
struct Peeled {
    Column flow, supplies;
};
Outcome<Peeled> peel_forest(uint64_t n, std::span<const int64_t> tails, std::span<const int64_t> heads,
                            std::span<const int64_t> supplies);

// A certificate checked against a data set in one pass: empty when it is a feasible flow, else
// what fails first, and where. Columns as in DataArrays, of the sizes check_columns asks for.
struct CertificateColumns {
    uint64_t num_commodities = 0;
    std::span<const int64_t> node_ids, tails, heads, low, up, capacities, supplies, certificate;
};
// Value error naming the first column whose size does not fit the data set's shape (checked_shape),
// or node ids that do not ascend; verify_certificate reads the columns only once this passed.
Outcome<void> check_columns(const CertificateColumns& c);
std::string verify_certificate(const CertificateColumns& c);

}  // namespace pelmora::tools
