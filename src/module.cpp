// The module root: the function table, one small handler per function, and initialisation.
// Every handler binds with bind_arguments, converts with convert_arguments, calls its routine and
// converts the result with to_python; none parses arguments by hand.
//
// Routines run without the interpreter lock (without_gil): by then every argument is a record the
// handler owns, or a Text or ReadAccess borrowed from an argument the caller holds for the whole
// call (str and the module's classes are immutable), so nothing another thread does meanwhile
// can change or free what the routine reads.
#include "binding/function.hpp"
#include "binding/unlocked.hpp"
#include "docstrings.hpp"
#include "logic/generator/generator.hpp"
#include "models/types.hpp"
#include "utils/files.hpp"
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

#define PELMORA_SIGNATURE(fn, required, ...)                                        \
    static constexpr const char* const fn##_params[] = {__VA_ARGS__};               \
    static constexpr Signature fn##_sig = {#fn, fn##_params, required};

PELMORA_SIGNATURE(load_min_instance, 1, "path")
PELMORA_SIGNATURE(split_supplies_uniform, 2, "data", "num_commodities")
PELMORA_SIGNATURE(split_supplies_spread, 3, "data", "num_commodities", "seed")
PELMORA_SIGNATURE(split_supplies_beta_binomial, 2, "data", "num_commodities", "concentration_param", "seed")
PELMORA_SIGNATURE(compute_commodity_demand_heterogeneity, 2, "partition", "original")
PELMORA_SIGNATURE(generate_multi_commodity_data, 3, "instance", "num_commodities", "method", "randomize_caps",
                  "cap_a", "cap_b", "randomize_costs", "cost_a", "cost_b", "concentration_param", "cap_zero",
                  "cap_zero_param", "seed")
PELMORA_SIGNATURE(save_multi_commodity_instance, 3, "path", "instance", "multi_data")
PELMORA_SIGNATURE(load_multi_commodity_instance, 1, "path")
PELMORA_SIGNATURE(get_adjacency_mapping, 2, "nodes", "edges")
PELMORA_SIGNATURE(get_incidence_mapping, 2, "nodes", "edges")

#undef PELMORA_SIGNATURE

// The common head of every handler: bind, then convert into the given targets.
#define PELMORA_BIND(fn, ...)                                                            \
    PyObject* bound[kMaxParams];                                                         \
    if (!bind_arguments(fn##_sig, args, nargs, kwnames, bound)) return nullptr;          \
    if (!convert_arguments(fn##_sig, bound, __VA_ARGS__)) return nullptr;

using Handler = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

template <class Record>
PyObject* wrap_outcome(Outcome<Record>&& outcome, PyObject* io_class) {
    return finish(std::move(outcome), io_class, [](Record&& r) { return models::wrap(std::move(r)); });
}

PyObject* partition_result(Outcome<models::SupplyPartition>&& outcome) {
    return finish(std::move(outcome), PyExc_RuntimeError,
                  [](const models::SupplyPartition& p) { return to_python(p); });
}

PyObject* load_min_instance(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Text path;
        PELMORA_BIND(load_min_instance, path)
        return wrap_outcome(without_gil([&] { return utils::parse_min(path.utf8); }), PyExc_OSError);
    });
}

PyObject* split_supplies_uniform(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        SupplyMap data;
        uint64_t k = 0;
        PELMORA_BIND(split_supplies_uniform, data, k)
        return partition_result(
            without_gil([&] { return logic::generator::split_supply_and_demand_uniform(data, k); }));
    });
}

PyObject* split_supplies_spread(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        SupplyMap data;
        uint64_t k = 0, seed = 0;
        PELMORA_BIND(split_supplies_spread, data, k, seed)
        return partition_result(
            without_gil([&] { return logic::generator::split_supply_and_demand_spread(data, k, seed); }));
    });
}

PyObject* split_supplies_beta_binomial(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        SupplyMap data;
        uint64_t k = 0, seed = 42;
        double concentration = 3.0;
        PELMORA_BIND(split_supplies_beta_binomial, data, k, concentration, seed)
        return partition_result(without_gil([&] {
            return logic::generator::split_supply_and_demand_beta_binomial(data, k, seed, concentration);
        }));
    });
}

PyObject* compute_commodity_demand_heterogeneity(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                                 PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        ListMap partition;
        SupplyMap original;
        PELMORA_BIND(compute_commodity_demand_heterogeneity, partition, original)
        Outcome<double> h = without_gil([&]() -> Outcome<double> {
            return logic::generator::compute_commodity_demand_heterogeneity(partition, original);
        });
        return finish(std::move(h), PyExc_RuntimeError, [](double v) { return to_python(v); });
    });
}

PyObject* generate_multi_commodity_data(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        ReadAccess<NetworkInstance> instance;
        GenerationOptions o;
        PELMORA_BIND(generate_multi_commodity_data, instance, o.num_commodities, o.method, o.randomize_caps,
                     o.cap_a, o.cap_b, o.randomize_costs, o.cost_a, o.cost_b, o.concentration_param, o.cap_zero,
                     o.cap_zero_param, o.seed)
        return wrap_outcome(
            without_gil([&] { return logic::generator::generate_multi_commodity_data(*instance.record, o); }),
            PyExc_RuntimeError);
    });
}

PyObject* save_multi_commodity_instance(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Text path;
        ReadAccess<NetworkInstance> instance;
        ReadAccess<MultiCommodityData> multi_data;
        PELMORA_BIND(save_multi_commodity_instance, path, instance, multi_data)
        Outcome<void> done =
            without_gil([&] { return utils::export_to_dimacs(path.utf8, *instance.record, *multi_data.record); });
        if (!done.ok()) return binding::raise_error(done.error(), PyExc_OSError);
        Py_RETURN_NONE;
    });
}

PyObject* load_multi_commodity_instance(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Text path;
        PELMORA_BIND(load_multi_commodity_instance, path)
        return wrap_outcome(without_gil([&] { return utils::parse_multi_min(path.utf8); }), PyExc_RuntimeError);
    });
}

PyObject* item_to_python(int64_t v) { return to_python(v); }
PyObject* item_to_python(const utils::Triple& t) { return to_python(t); }

template <class T>
PyObject* grouped_dict(const utils::GroupedLists<T>& g) {
    return build_dict([&](auto& put) {
        for (std::size_t i = 0; i < g.keys.size(); ++i) {
            std::size_t begin = g.offsets[i], n = g.offsets[i + 1] - begin;
            PyObject* list = build_list(n, [&](std::size_t j) { return item_to_python(g.values[begin + j]); });
            if (!put(to_python(g.keys[i]), list)) return false;
        }
        return true;
    });
}

template <class T>
PyObject* mapping_result(Outcome<utils::IncomingOutgoing<T>>&& outcome) {
    return finish(std::move(outcome), PyExc_RuntimeError, [](const utils::IncomingOutgoing<T>& m) {
        return build_tuple(grouped_dict(m.incoming), grouped_dict(m.outgoing));
    });
}

PyObject* get_adjacency_mapping(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::vector<int64_t> nodes;
        std::vector<utils::Pair> edges;
        PELMORA_BIND(get_adjacency_mapping, nodes, edges)
        return mapping_result(without_gil([&]() -> Outcome<utils::IncomingOutgoing<int64_t>> {
            return utils::get_adjacency_mapping(nodes, edges);
        }));
    });
}

PyObject* get_incidence_mapping(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::vector<int64_t> nodes;
        std::vector<utils::Triple> edges;
        PELMORA_BIND(get_incidence_mapping, nodes, edges)
        return mapping_result(without_gil([&]() -> Outcome<utils::IncomingOutgoing<utils::Triple>> {
            return utils::get_incidence_mapping(nodes, edges);
        }));
    });
}

#undef PELMORA_BIND

#define PELMORA_FUNCTION(fn) \
    {#fn, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), METH_FASTCALL | METH_KEYWORDS, docs::doc_##fn}

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

template <class Record>
int add_type(PyObject* module, const char* name) {
    PyTypeObject* type = models::type_object<Record>();
    if (!type) return -1;
    return add_name(module, name, Py_NewRef(reinterpret_cast<PyObject*>(type)));
}

int exec_module(PyObject* module) {
    if (!PyModule_Check(module)) {
        PyErr_SetString(PyExc_TypeError, "expected a module object");
        return -1;
    }
    PyObject* module_name = PyModule_GetNameObject(module);
    if (!module_name) return -1;
    binding::PyRef name_ref = binding::PyRef::steal(module_name);
    for (PyMethodDef& def : functions) {
        if (add_name(module, def.ml_name, PyCFunction_NewEx(&def, module, module_name)) < 0) return -1;
    }
    if (add_type<models::Edge>(module, "Edge") < 0) return -1;
    if (add_type<models::NetworkInstance>(module, "NetworkInstance") < 0) return -1;
    if (add_type<models::MultiCommoditySupplies>(module, "MultiCommoditySupplies") < 0) return -1;
    if (add_type<models::MultiCommodityData>(module, "MultiCommodityData") < 0) return -1;
    if (add_type<models::ParsedMulticommodityInstance>(module, "ParsedMulticommodityInstance") < 0) return -1;
    return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "pelmora",
    "",
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace pelmora

PyMODINIT_FUNC PyInit_pelmora(void) { return PyModuleDef_Init(&pelmora::module_def); }
