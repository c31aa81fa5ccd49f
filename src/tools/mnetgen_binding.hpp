// pelmora_tools._native.read_mnetgen: the four-file reader's binding (tools/mnetgen_reader.hpp).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace pelmora::tools {

// read_mnetgen(prefix): (K, node_ids, tails, heads, up, costs, capacities, supplies, real_up,
// real_costs, real_capacities, real_supplies); a column whose flag is true holds float64 values.
PyObject* read_mnetgen_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

inline constexpr const char* kReadMnetgenDoc =
    "read_mnetgen(prefix): (K, node_ids, tails, heads, up, costs, capacities, supplies, real_up, real_costs, "
    "real_capacities, real_supplies) of the four files prefix + '.nod', '.mut', '.arc', '.sup'.";

}  // namespace pelmora::tools
