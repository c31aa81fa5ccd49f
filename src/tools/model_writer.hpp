// The multicommodity min-cost flow LP of a data set as a free MPS or CPLEX LP file, written
// straight from the data set's columns through a fixed few buffers.
//
// Column c{a*K + k} is the flow of commodity k on arc a, bounded by [0, capacities[a, k]] and
// costing costs[a, k]. Row r{k*n + i} keeps commodity k in balance at node i (outflow minus inflow
// equals the node's amount); with bundling, row r{K*n + a} holds low[a] <= sum over k <= up[a].
// These are the rows, columns and names of the model pelmora_tools.lp builds for HiGHS, which
// names them so too.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "core/outcome.hpp"
#include "tools/mnetgen_writer.hpp"

namespace pelmora::tools {

enum class ModelFormat { Mps, Lp };

// Writes the LP of the data set to `path`. The columns are checked first (check_columns, `low`'s
// length, every arc end among the node ids) and no file is touched when they are refused. A
// bundle row whose low exceeds its up, which no range can say, is written as two rows (named
// r{i}lo and r{i}up in LP, r{i} and r{i}up in MPS), so that the file is as infeasible as the
// model; in LP every ranged row is two such rows, the format having no ranges. An Io error names
// a failed write; when the file could not be created, `failure` says why.
Outcome<void> write_model_file(std::string_view path, ModelFormat format, const MnetgenColumns& columns,
                               std::span<const int64_t> low, bool bundle, OpenFailure& failure);

}  // namespace pelmora::tools
