// pelmora_tools._native.gridgen, .goto and .mnetgen: the family generators' bindings
// (tools/families.hpp).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace pelmora::tools {

// gridgen(ints, floats, path): ints are two_way, seed, nodes, width, sources, sinks, degree,
// supply, cost_distribution, capacity_distribution; floats the cost's two parameters then the
// capacity's (an exponential distribution's second one unused). Returns (nodes, arcs).
PyObject* gridgen_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
// goto(ints, path): nodes, arcs, max_cap, max_cost, seed. Returns (nodes, arcs).
PyObject* goto_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
// mnetgen(ints, floats, prefix): the 18 integers and the 3 percentages of MNETGEN's line, in
// order. Writes prefix.nod, .arc, .sup and .mut; returns (nodes, arc names).
PyObject* mnetgen_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

inline constexpr const char* kGridgenDoc =
    "gridgen(ints, floats, path): writes GRIDGEN's network of the parameters; (nodes, arcs).";
inline constexpr const char* kGotoDoc = "goto(ints, path): writes GOTO's network of the 5 parameters; (nodes, arcs).";
inline constexpr const char* kMnetgenDoc =
    "mnetgen(ints, floats, prefix): writes MNETGEN's four files of the 21 parameters; (nodes, arc names).";

}  // namespace pelmora::tools
