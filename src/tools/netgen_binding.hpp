// pelmora_tools._native.netgen: the NETGEN generator's binding (tools/netgen.hpp).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace pelmora::tools {

// netgen(params, path, min_form): writes the network of the 15 parameters to `path` and returns
// (form, nodes, arcs), form being "min", "asn" or "max" (the problem's own, whatever min_form).
PyObject* netgen_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// netgen_network(params): the network of the 15 parameters as a pelmora.NetworkInstance, the one
// load_min_instance reads from the file netgen(params, path, True) writes.
PyObject* netgen_network_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

inline constexpr const char* kNetgenNetworkDoc =
    "netgen_network(params): NETGEN's network of the 15 parameters as a pelmora.NetworkInstance, the one "
    "load_min_instance reads from netgen(params, path, True)'s file.";

inline constexpr const char* kNetgenDoc =
    "netgen(params, path, min_form): writes NETGEN's network of the 15 parameters; (form, nodes, arcs).";

}  // namespace pelmora::tools
