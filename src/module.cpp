// The module root: the function table, one small handler per function, and initialisation.
// Every handler binds with bind_arguments, converts with convert_arguments, calls its routine and
// converts the result with to_python; none parses arguments by hand.
//
// Routines run without the interpreter lock (without_gil): by then every argument is a record the
// handler owns, or a Text or ReadAccess borrowed from an argument the caller holds for the whole
// call (str and the module's classes are immutable), so nothing another thread does meanwhile
// can change or free what the routine reads.
#include "binding/capi.hpp"
#include "binding/function.hpp"
#include "binding/module_def.hpp"
#include "binding/types.hpp"
#include "binding/unlocked.hpp"
#include "docstrings.hpp"
#include "io/files.hpp"
#include "logic/generator/generator.hpp"
#include "utils/mappings.hpp"

#include <array>

namespace pelmora {
namespace {

using binding::bind_arguments;
using binding::build_dict;
using binding::build_list;
using binding::build_tuple;
using binding::convert_arguments;
using binding::finish;
using binding::guarded;
using binding::kMaxParams;
using binding::ModuleState;
using binding::ReadAccess;
using binding::Signature;
using binding::Text;
using binding::to_python;
using binding::without_gil;
using logic::generator::GenerationOptions;
using models::ListMap;
using models::MultiCommodityData;
using models::NetworkInstance;
using models::SupplyMap;

#define PELMORA_SIGNATURE(fn, required, ...)                          \
    static constexpr const char* const fn##_params[] = {__VA_ARGS__}; \
    static constexpr Signature fn##_sig = {#fn, fn##_params, required};

PELMORA_SIGNATURE(load_min_instance, 1, "path")
PELMORA_SIGNATURE(split_supplies_uniform, 2, "data", "num_commodities")
PELMORA_SIGNATURE(split_supplies_spread, 3, "data", "num_commodities", "seed")
PELMORA_SIGNATURE(split_supplies_beta_binomial, 2, "data", "num_commodities", "concentration_param", "seed")
PELMORA_SIGNATURE(compute_commodity_demand_heterogeneity, 2, "partition", "original")
PELMORA_SIGNATURE(generate_multi_commodity_data, 3, "instance", "num_commodities", "method", "randomize_caps", "cap_a",
                  "cap_b", "randomize_costs", "cost_a", "cost_b", "concentration_param", "cap_zero", "cap_zero_param",
                  "seed")
PELMORA_SIGNATURE(save_multi_commodity_instance, 3, "path", "instance", "multi_data")
PELMORA_SIGNATURE(load_multi_commodity_instance, 1, "path")
PELMORA_SIGNATURE(get_adjacency_mapping, 2, "nodes", "edges")
PELMORA_SIGNATURE(get_incidence_mapping, 2, "nodes", "edges")

#undef PELMORA_SIGNATURE

// The common head of every handler: bind, then convert into the given targets.
#define PELMORA_BIND(fn, ...)                                                   \
    PyObject* bound[kMaxParams];                                                \
    if (!bind_arguments(fn##_sig, args, nargs, kwnames, bound)) return nullptr; \
    if (!convert_arguments(fn##_sig, bound, __VA_ARGS__)) return nullptr;

template <class Record>
PyObject* wrap_outcome(const ModuleState& state, Outcome<Record>&& outcome, PyObject* io_class) {
    return finish(state, std::move(outcome), io_class, [&](Record&& r) { return binding::wrap(state, std::move(r)); });
}

PyObject* partition_result(const ModuleState& state, Outcome<models::SupplyPartition>&& outcome) {
    return finish(state, std::move(outcome), PyExc_RuntimeError,
                  [](const models::SupplyPartition& p) { return to_python(p); });
}

PyObject* load_min_instance(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const ModuleState& state = binding::module_state(module);
    return guarded(state, [&]() -> PyObject* {
        Text path;
        PELMORA_BIND(load_min_instance, path)
        return wrap_outcome(state, without_gil([&] { return io::parse_min(path.utf8); }), PyExc_OSError);
    });
}

PyObject* split_supplies_uniform(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const ModuleState& state = binding::module_state(module);
    return guarded(state, [&]() -> PyObject* {
        SupplyMap data;
        uint64_t k = 0;
        PELMORA_BIND(split_supplies_uniform, data, k)
        return partition_result(
            state, without_gil([&] { return logic::generator::split_supply_and_demand_uniform(data, k); }));
    });
}

PyObject* split_supplies_spread(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const ModuleState& state = binding::module_state(module);
    return guarded(state, [&]() -> PyObject* {
        SupplyMap data;
        uint64_t k = 0, seed = 0;
        PELMORA_BIND(split_supplies_spread, data, k, seed)
        return partition_result(
            state, without_gil([&] { return logic::generator::split_supply_and_demand_spread(data, k, seed); }));
    });
}

PyObject* split_supplies_beta_binomial(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const ModuleState& state = binding::module_state(module);
    return guarded(state, [&]() -> PyObject* {
        SupplyMap data;
        uint64_t k = 0, seed = 42;
        double concentration = 3.0;
        PELMORA_BIND(split_supplies_beta_binomial, data, k, concentration, seed)
        return partition_result(state, without_gil([&] {
                                    return logic::generator::split_supply_and_demand_beta_binomial(data, k, seed,
                                                                                                   concentration);
                                }));
    });
}

PyObject* compute_commodity_demand_heterogeneity(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                                 PyObject* kwnames) {
    const ModuleState& state = binding::module_state(module);
    return guarded(state, [&]() -> PyObject* {
        ListMap partition;
        SupplyMap original;
        PELMORA_BIND(compute_commodity_demand_heterogeneity, partition, original)
        Outcome<double> h = without_gil([&]() -> Outcome<double> {
            return logic::generator::compute_commodity_demand_heterogeneity(partition, original);
        });
        return finish(state, std::move(h), PyExc_RuntimeError, [](double v) { return to_python(v); });
    });
}

PyObject* generate_multi_commodity_data(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const ModuleState& state = binding::module_state(module);
    return guarded(state, [&]() -> PyObject* {
        ReadAccess<NetworkInstance> instance{&state};
        GenerationOptions o;
        PELMORA_BIND(generate_multi_commodity_data, instance, o.num_commodities, o.method, o.randomize_caps, o.cap_a,
                     o.cap_b, o.randomize_costs, o.cost_a, o.cost_b, o.concentration_param, o.cap_zero,
                     o.cap_zero_param, o.seed)
        return wrap_outcome(
            state, without_gil([&] { return logic::generator::generate_multi_commodity_data(*instance.record, o); }),
            PyExc_RuntimeError);
    });
}

PyObject* save_multi_commodity_instance(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const ModuleState& state = binding::module_state(module);
    return guarded(state, [&]() -> PyObject* {
        Text path;
        ReadAccess<NetworkInstance> instance{&state};
        ReadAccess<MultiCommodityData> multi_data{&state};
        PELMORA_BIND(save_multi_commodity_instance, path, instance, multi_data)
        Outcome<void> done =
            without_gil([&] { return io::export_to_dimacs(path.utf8, *instance.record, *multi_data.record); });
        if (!done.ok()) return binding::raise_error(state, done.error(), PyExc_OSError);
        Py_RETURN_NONE;
    });
}

PyObject* load_multi_commodity_instance(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const ModuleState& state = binding::module_state(module);
    return guarded(state, [&]() -> PyObject* {
        Text path;
        PELMORA_BIND(load_multi_commodity_instance, path)
        return wrap_outcome(state, without_gil([&] { return io::parse_multi_min(path.utf8); }), PyExc_RuntimeError);
    });
}

template <class T>
PyObject* mapping_result(const ModuleState& state, Outcome<utils::IncomingOutgoing<T>>&& outcome) {
    return finish(state, std::move(outcome), PyExc_RuntimeError, [](const utils::IncomingOutgoing<T>& m) {
        return build_tuple(to_python(m.incoming), to_python(m.outgoing));
    });
}

PyObject* get_adjacency_mapping(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const ModuleState& state = binding::module_state(module);
    return guarded(state, [&]() -> PyObject* {
        std::vector<int64_t> nodes;
        std::vector<utils::Pair> edges;
        PELMORA_BIND(get_adjacency_mapping, nodes, edges)
        return mapping_result(state, without_gil([&]() -> Outcome<utils::IncomingOutgoing<int64_t>> {
                                  return utils::get_adjacency_mapping(nodes, edges);
                              }));
    });
}

PyObject* get_incidence_mapping(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const ModuleState& state = binding::module_state(module);
    return guarded(state, [&]() -> PyObject* {
        std::vector<int64_t> nodes;
        std::vector<utils::Triple> edges;
        PELMORA_BIND(get_incidence_mapping, nodes, edges)
        return mapping_result(state, without_gil([&]() -> Outcome<utils::IncomingOutgoing<utils::Triple>> {
                                  return utils::get_incidence_mapping(nodes, edges);
                              }));
    });
}

#undef PELMORA_BIND

#define PELMORA_FUNCTION(fn) \
    { #fn, binding::method_pointer(fn), METH_FASTCALL | METH_KEYWORDS, docs::doc_##fn }

// Registration order, which is also the order of __all__.
PyMethodDef functions[] = {
    PELMORA_FUNCTION(load_min_instance),
    PELMORA_FUNCTION(split_supplies_uniform),
    PELMORA_FUNCTION(split_supplies_spread),
    PELMORA_FUNCTION(split_supplies_beta_binomial),
    PELMORA_FUNCTION(compute_commodity_demand_heterogeneity),
    PELMORA_FUNCTION(generate_multi_commodity_data),
    PELMORA_FUNCTION(save_multi_commodity_instance),
    PELMORA_FUNCTION(load_multi_commodity_instance),
    PELMORA_FUNCTION(get_adjacency_mapping),
    PELMORA_FUNCTION(get_incidence_mapping),
};

#undef PELMORA_FUNCTION

// Appends `name` to the module's __all__ (creating the list if absent), then sets the attribute.
int add_name(PyObject* module, const char* name, PyObject* value) {
    binding::PyRef owned = binding::PyRef::steal(value);
    if (!owned) return -1;
    PyObject* found = nullptr;
    if (PyObject_GetOptionalAttrString(module, "__all__", &found) < 0) return -1;
    binding::PyRef all = binding::PyRef::steal(found);
    if (!all) {
        all = binding::PyRef::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
    } else if (!PyList_Check(all.get())) {
        PyErr_SetString(PyExc_TypeError, "`__all__` must be a list");
        return -1;
    }
    binding::PyRef text = binding::PyRef::steal(PyUnicode_FromString(name));
    if (!text || PyList_Append(all.get(), text.get()) < 0) return -1;
    return PyObject_SetAttrString(module, name, owned.get());
}

// Makes the record's class for this module, keeps it in the state and adds it to the module.
template <class Record>
int add_type(PyObject* module, ModuleState& state, const char* name) {
    PyTypeObject*& cls = state.classes[binding::class_index<Record>];
    cls = binding::new_class<Record>(module);
    if (!cls) return -1;
    return add_name(module, name, Py_NewRef(reinterpret_cast<PyObject*>(cls)));
}

int exec_module(PyObject* module) {
    if (!PyModule_Check(module)) {
        PyErr_SetString(PyExc_TypeError, "expected a module object");
        return -1;
    }
    PyObject* module_name = PyModule_GetNameObject(module);
    if (!module_name) return -1;
    binding::PyRef name_ref = binding::PyRef::steal(module_name);
    ModuleState& state = binding::module_state(module);
    state.panic_exception = binding::new_panic_exception();
    if (!state.panic_exception) return -1;
    for (PyMethodDef& def : functions) {
        if (add_name(module, def.ml_name, PyCFunction_NewEx(&def, module, module_name)) < 0) return -1;
    }
    if (add_type<models::Edge>(module, state, "Edge") < 0) return -1;
    if (add_type<models::NetworkInstance>(module, state, "NetworkInstance") < 0) return -1;
    if (add_type<models::MultiCommoditySupplies>(module, state, "MultiCommoditySupplies") < 0) return -1;
    if (add_type<models::MultiCommodityData>(module, state, "MultiCommodityData") < 0) return -1;
    if (add_type<models::ParsedMulticommodityInstance>(module, state, "ParsedMulticommodityInstance") < 0) return -1;
    return binding::add_record_api(module, state);
}

}  // namespace
}  // namespace pelmora

PyMODINIT_FUNC PyInit_pelmora(void) {
    return pelmora::binding::init_module<pelmora::binding::ModuleState, pelmora::exec_module>("pelmora", nullptr);
}
