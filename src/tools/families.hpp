// GRIDGEN (Lee and Orlin), GOTO (Goldberg) and MNETGEN (Kennington and Ali, in Frangioni's C++
// form with drand48 and four output files), each writing the lines its classic program writes for
// the same parameters: the same random stream, the same draws in the same order, the same
// arithmetic (GRIDGEN's single precision, GOTO's 32-bit printing, MNETGEN's 4-digit numbers).
// Parameters are checked before any work; where the original would loop forever, run out of its
// integers or divide by zero, the parameters are refused in one line naming the parameter.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/outcome.hpp"

namespace pelmora::tools {

// GRIDGEN's distributions of costs and capacities.
enum : int64_t { kGridgenUniform = 1, kGridgenExponential = 2 };

// In the order of GRIDGEN's input; `cost` and `capacity` hold the distribution's parameters
// (low and high for a uniform one, lambda first for an exponential one), read as the original
// reads them, in single precision.
struct GridgenParams {
    int64_t two_way = 0, seed = 0, nodes = 0, width = 0, sources = 0, sinks = 0, degree = 0, supply = 0;
    int64_t cost_distribution = 0, capacity_distribution = 0;
    float cost[2] = {0, 0}, capacity[2] = {0, 0};
};

// In the order of GOTO's input.
struct GotoParams {
    int64_t nodes = 0, arcs = 0, max_cap = 0, max_cost = 0, seed = 0;
};

// In the order of MNETGEN's input line (the percentages may have decimals).
struct MnetgenParams {
    int64_t seed = 0, problem = 0, nodes = 0, arcs = 0, sources = 0, sinks = 0, commodities = 0, tsources = 0,
            tsinks = 0, chain = 0, min_cost = 0, max_cost = 0, min_supply = 0, max_supply = 0, min_bound = 0,
            max_bound = 0, min_cap = 0, max_cap = 0;
    double hicost = 0, bounded = 0, capacitated = 0;
};

struct FamilySummary {
    int64_t nodes, arcs;
};

// The parameters' first fault as one line naming the parameter, or nothing.
Outcome<void> check_gridgen(const GridgenParams& p);
Outcome<void> check_goto(const GotoParams& p);
Outcome<void> check_mnetgen(const MnetgenParams& p);

// Checks, generates and writes `path`: the original's problem, node and arc lines after comment
// lines naming the parameters. Nothing is left at `path` when it fails or is interrupted.
Outcome<FamilySummary> write_gridgen(std::string_view path, const GridgenParams& p);
Outcome<FamilySummary> write_goto(std::string_view path, const GotoParams& p);

// Writes prefix.mut and prefix.arc as it goes, then prefix.nod and prefix.sup, as the original
// writes them; the summary counts nodes and arc names (the .nod file's third number). None of the
// four files is left when it fails or is interrupted, or when the draws would go on forever.
Outcome<FamilySummary> write_mnetgen_problem(std::string_view prefix, const MnetgenParams& p);

}  // namespace pelmora::tools
