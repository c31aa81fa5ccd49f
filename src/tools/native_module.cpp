// pelmora_tools._native: the companion package's arrays and mnetgen files at native speed. The
// arrays are the records' own numbers laid out as int64 columns, each column a buffer object that
// NumPy wraps without a copy. The records are reached through the record interface
// (binding/record_api.hpp) of the pelmora module this interpreter imported when this module was, never
// through the pelmora module's attributes, which any code may rebind.
#include "binding/module_def.hpp"
#include "binding/pyref.hpp"
#include "binding/unlocked.hpp"
#include "binding/record_api.hpp"
#include "tools/data_arrays.hpp"
#include "tools/mnetgen_binding.hpp"
#include "tools/mnetgen_writer.hpp"
#include "tools/native_args.hpp"
#include "tools/native_support.hpp"
#include "tools/families_binding.hpp"
#include "tools/netgen_binding.hpp"
#include "tools/records_binding.hpp"
#include "io/files.hpp"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <exception>
#include <iterator>
#include <new>
#include <string_view>
#include <variant>

namespace pelmora::tools {
namespace {

using namespace native;

void column_dealloc(PyObject* self) {
    reinterpret_cast<ColumnObject*>(self)->values.~ColumnValues();
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// Writable bytes: the arrays of a data set are the caller's to change, as NumPy's own would be.
int column_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    static int64_t empty = 0;
    const std::span<int64_t> values =
        std::visit([](auto& v) { return values_of(v); }, reinterpret_cast<ColumnObject*>(self)->values);
    void* data = values.empty() ? &empty : values.data();
    return PyBuffer_FillInfo(view, self, data, Py_ssize_t(values.size_bytes()), 0, flags);
}

PyType_Slot column_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(column_dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(column_getbuffer)},
    {Py_tp_doc, const_cast<char*>("int64 values, native-endian, as a writable buffer.")},
    {0, nullptr},
};
PyType_Spec column_spec = {"pelmora_tools._native.Column", int(sizeof(ColumnObject)), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                           column_slots};

// --- the functions -----------------------------------------------------------------------------------

PyObject* arrays(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        if (!arity("arrays", nargs, 1, 2)) return nullptr;
        const State& state = state_of(module);
        const auto* instance = record_arg<models::NetworkInstance>(state, args[0], "NetworkInstance", "instance");
        if (!instance) return nullptr;
        const models::MultiCommodityData* data = nullptr;
        if (nargs == 2 && args[1] != Py_None) {
            data = record_arg<models::MultiCommodityData>(state, args[1], "MultiCommodityData", "data");
            if (!data) return nullptr;
        }
        Outcome<DataArrays> made =
            without_gil([&] { return data ? arrays_of(*instance, *data) : arrays_of(*instance); });
        if (!made) return raise(made.error(), PyExc_RuntimeError);
        return columns_tuple(state, std::move(made).value());
    });
}

PyObject* read_arrays(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        std::string_view path;
        if (!arity("read_arrays", nargs, 1, 1) || !text_arg(args[0], "path", path)) return nullptr;
        Outcome<DataArrays> made = without_gil([&]() -> Outcome<DataArrays> {
            Column lows;
            Outcome<models::ParsedMulticommodityInstance> parsed = io::parse_multi_min(path, &lows);
            if (!parsed) return parsed.error();
            return arrays_of(std::move(parsed).value(), std::move(lows));
        });
        if (!made) return raise(made.error(), PyExc_RuntimeError);
        return columns_tuple(state_of(module), std::move(made).value());
    });
}

// write_mnetgen(prefix, num_commodities, node_ids, tails, heads, up, costs, capacities, supplies,
// write_map)
PyObject* write_mnetgen(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        std::string_view prefix;
        if (!arity("write_mnetgen", nargs, 10, 10) || !text_arg(args[0], "prefix", prefix)) return nullptr;
        MnetgenColumns columns;
        DataColumnArgs views;
        if (!views.get(args + 1, columns)) return nullptr;
        const int write_map = PyObject_IsTrue(args[9]);
        if (write_map < 0) return nullptr;
        OpenFailure failure;
        Outcome<void> done = without_gil([&] { return tools::write_mnetgen(prefix, columns, write_map, failure); });
        if (done) Py_RETURN_NONE;
        return raise_write_error(done.error(), failure);
    });
}

PyMethodDef functions[] = {
    {"arrays", binding::method_pointer(arrays), METH_FASTCALL,
     "arrays(instance, data=None): (K, node_ids, tails, heads, low, up, costs, capacities, supplies)."},
    {"read_arrays", binding::method_pointer(read_arrays), METH_FASTCALL,
     "read_arrays(path): the same columns from a multicommodity file, LOW included."},
    {"write_mnetgen", binding::method_pointer(write_mnetgen), METH_FASTCALL,
     "write_mnetgen(prefix, K, node_ids, tails, heads, up, costs, capacities, supplies, write_map)."},
    {"write_model", binding::method_pointer(write_model), METH_FASTCALL,
     "write_model(path, format, bundle, K, node_ids, tails, heads, up, costs, capacities, supplies, low): the LP "
     "as 'mps' (free MPS) or 'lp' (CPLEX LP)."},
    {"read_mnetgen", binding::method_pointer(read_mnetgen_function), METH_FASTCALL, kReadMnetgenDoc},
    {"netgen", binding::method_pointer(netgen_function), METH_FASTCALL, kNetgenDoc},
    {"gridgen", binding::method_pointer(gridgen_function), METH_FASTCALL, kGridgenDoc},
    {"goto", binding::method_pointer(goto_function), METH_FASTCALL, kGotoDoc},
    {"mnetgen", binding::method_pointer(mnetgen_function), METH_FASTCALL, kMnetgenDoc},
    {"netgen_network", binding::method_pointer(netgen_network_function), METH_FASTCALL, kNetgenNetworkDoc},
    {"feasible", binding::method_pointer(feasible), METH_FASTCALL,
     "feasible(instance, flow, K, method, seed, concentration, randomize_caps, cap_a, cap_b, randomize_costs, "
     "cost_a, cost_b, close, tightness): (result, columns, certificate, cost, closed, requested)."},
    {"save_feasible", binding::method_pointer(save_feasible), METH_FASTCALL,
     "save_feasible(result, path, costs, capacities): the feasible data set as a multicommodity file."},
    {"potentials", binding::method_pointer(potentials), METH_FASTCALL,
     "potentials(n, tails, heads, capacity, costs, flow): node potentials proving the flow optimal."},
    {"peel", binding::method_pointer(peel), METH_FASTCALL,
     "peel(n, tails, heads, supplies): (flow, supplies), the flows forced outside the cycles."},
    {"verify", binding::method_pointer(verify), METH_FASTCALL,
     "verify(K, node_ids, tails, heads, low, up, capacities, supplies, certificate): '' or what fails."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
    State& state = state_of(module);
    if (bind_records(state) < 0) return -1;
    state.column_type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &column_spec, nullptr));
    if (!state.column_type) return -1;
    return PyModule_AddObjectRef(module, "Column", reinterpret_cast<PyObject*>(state.column_type));
}

}  // namespace
}  // namespace pelmora::tools

PyMODINIT_FUNC PyInit__native(void) {
    using namespace pelmora;
    return binding::init_module<tools::native::State, tools::exec_module>("pelmora_tools._native", tools::functions);
}
