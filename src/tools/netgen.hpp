// NETGEN (Klingman, Napier and Stutz, 1974), network for network as the classic C program
// (Norbert Schlenker's, with the 1992 overflow fix) generates it from the same 15 parameters: the
// same random stream, the same draws in the same order, the same arcs in the same order. Counts
// are 64-bit, so there is no size cap but memory; the one result the original computes in 32 bits
// within the sizes it accepts (each source's supply per sink, an `int`) is truncated the same way.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "core/outcome.hpp"
#include "models/network_lines.hpp"

namespace pelmora::tools {

// In the order of NETGEN's parameter line.
struct NetgenParams {
    int64_t seed = 0, problem = 0, nodes = 0, sources = 0, sinks = 0, arcs = 0, min_cost = 0, max_cost = 0, supply = 0,
            tsources = 0, tsinks = 0, hicost = 0, capacitated = 0, min_cap = 0, max_cap = 0;
};
inline constexpr int kNetgenParamCount = 15;

// What the original prints: an assignment problem ("p asn"), a maximum flow problem ("p max") or
// a minimum-cost flow problem ("p min").
enum class NetgenForm { MinCost, Assignment, MaxFlow };
const char* form_name(NetgenForm form) noexcept;

struct NetgenArc {
    int64_t tail, head, cost, capacity;
};

struct NetgenNetwork {
    NetgenForm form = NetgenForm::MinCost;
    std::vector<int64_t> balance;  // node i + 1's supply (positive) or demand (negative)
    std::vector<NetgenArc> arcs;
};

// The parameters' first fault as one line naming the parameter, or nothing.
Outcome<void> check_netgen(const NetgenParams& p);

// The network, after check_netgen. Polls interrupted().
Outcome<NetgenNetwork> generate_netgen(const NetgenParams& p);

struct NetgenSummary {
    NetgenForm form;
    int64_t nodes, arcs;
};

// The minimum-cost flow problem the network is, as write_netgen's min_form writes it: a node line
// for every node with a supply or demand, an arc line (tail, head, 0, capacity, cost) per arc. The
// network's arcs are released as they are taken over.
models::NetworkLines min_cost_lines(NetgenNetwork&& net);

// Checks, generates and writes `path`: the original's problem, node and arc lines after comment
// lines naming the parameters; with `min_form`, an assignment or maximum flow problem is written
// as the minimum-cost flow problem it is (every supply, capacity and cost on its line; capacity 1
// on an assignment problem's arcs, for which the original writes none), which the ".min" reader
// takes. A bad parameter is refused before the file is touched.
Outcome<NetgenSummary> write_netgen(std::string_view path, const NetgenParams& p, bool min_form);

}  // namespace pelmora::tools
