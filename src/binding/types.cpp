// The five Python classes: read-only views of the records. Each attribute read builds its whole
// value anew from the record (nothing is cached), so every read returns new objects.
#include "binding/function.hpp"
#include "binding/object.hpp"
#include "binding/types.hpp"

#include <new>

namespace pelmora::binding {

using models::ArcKey;
using models::CommodityValues;
using models::Edge;
using models::MultiCommodityData;
using models::MultiCommoditySupplies;
using models::NetworkInstance;
using models::PairOrder;
using models::ParsedMulticommodityInstance;

namespace {

template <class Record>
void dealloc(PyObject* self) {
    reinterpret_cast<Object<Record>*>(self)->record.~Record();
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

template <class Record>
PyObject* wrap_as(PyTypeObject* type, Record&& record) {
    PyObject* obj = type->tp_alloc(type, 0);
    if (!obj) return nullptr;
    new (&reinterpret_cast<Object<Record>*>(obj)->record) Record(std::move(record));
    return obj;
}

// Most views read only the record; those that make objects of the module's classes need its state.
template <class Record>
using View = PyObject* (*)(const Record&);
template <class Record>
using StateView = PyObject* (*)(const ModuleState&, const Record&);

template <class Record, StateView<Record> view>
PyObject* getter(PyObject* self, void*) {
    const ModuleState& state = state_of_instance(self);
    return guarded(state, [&] { return view(state, record_in<Record>(self)); });
}

template <class Record, View<Record> view>
PyObject* ignoring_state(const ModuleState&, const Record& record) {
    return view(record);
}

template <class Record, View<Record> view>
constexpr PyGetSetDef attribute(const char* name) {
    return {name, getter<Record, ignoring_state<Record, view>>, nullptr, "", nullptr};
}
template <class Record, StateView<Record> view>
constexpr PyGetSetDef attribute(const char* name) {
    return {name, getter<Record, view>, nullptr, "", nullptr};
}

// --- views shared by several records ---------------------------------------------------------

// node pair -> ascending arc positions, from the runs of the pair order.
template <class EndsOf>
PyObject* arc_indices_dict(const PairOrder& order, EndsOf ends_of) {
    return build_dict([&](auto& put) {
        std::size_t i = 0;
        while (i < order.size()) {
            auto pair = ends_of(order[i]);
            std::size_t j = i + 1;
            while (j < order.size() && ends_of(order[j]) == pair) ++j;
            PyObject* key = build_tuple(to_python(pair.first), to_python(pair.second));
            PyObject* positions = build_list(j - i, [&](std::size_t t) { return to_python(order[i + t]); });
            if (!put(key, positions)) return false;
            i = j;
        }
        return true;
    });
}

std::pair<int64_t, int64_t> ends(const ArcKey& a) { return {a.tail, a.head}; }

PyObject* key_tuple(const ArcKey& a) { return build_tuple(to_python(a.tail), to_python(a.head), to_python(a.index)); }

// arc key -> row of a flat m*K arc-major table, keys ascending (the pair order is key order).
PyObject* by_arc_key(const std::vector<ArcKey>& arcs, const PairOrder& order, const CommodityValues& table,
                     uint64_t k) {
    return build_dict([&](auto& put) {
        for (uint64_t pos : order) {
            std::span<const int64_t> row(table.data() + pos * k, k);
            if (!put(key_tuple(arcs[pos]), to_python(row))) return false;
        }
        return true;
    });
}

// arc position -> row of a flat m*K arc-major table.
PyObject* by_arc_position(const CommodityValues& table, std::size_t m, uint64_t k) {
    return build_dict([&](auto& put) {
        for (std::size_t a = 0; a < m; ++a) {
            std::span<const int64_t> row(table.data() + a * k, k);
            if (!put(to_python(uint64_t(a)), to_python(row))) return false;
        }
        return true;
    });
}

template <class Arcs>
PyObject* topology_list(const Arcs& arcs) {
    return build_list(arcs.size(),
                      [&](std::size_t i) { return build_tuple(to_python(arcs[i].tail), to_python(arcs[i].head)); });
}

// --- Edge -------------------------------------------------------------------------------------

PyGetSetDef edge_getset[] = {
    attribute<Edge, [](const Edge& e) { return to_python(e.tail); }>("tail"),
    attribute<Edge, [](const Edge& e) { return to_python(e.head); }>("head"),
    attribute<Edge, [](const Edge& e) { return to_python(e.low); }>("low"),
    attribute<Edge, [](const Edge& e) { return to_python(e.up); }>("up"),
    attribute<Edge, [](const Edge& e) { return to_python(e.cost); }>("cost"),
    attribute<Edge, [](const Edge& e) { return to_python(e.index); }>("index"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// --- NetworkInstance ----------------------------------------------------------------------------

using Net = NetworkInstance;

PyObject* net_edges(const ModuleState& state, const Net& r) {
    PyTypeObject* edge_class = class_of<Edge>(state);
    if (!edge_class) return nullptr;
    return build_list(r.edges.size(), [&](std::size_t i) { return wrap_as(edge_class, Edge(r.edges[i])); });
}
PyObject* net_arcs(const Net& r) {
    return build_list(r.edges.size(), [&](std::size_t i) {
        const Edge& e = r.edges[i];
        return build_tuple(to_python(e.tail), to_python(e.head), to_python(e.index));
    });
}
PyObject* net_arc_indices(const Net& r) {
    return arc_indices_dict(r.pair_order,
                            [&](uint64_t p) { return std::pair<int64_t, int64_t>(r.edges[p].tail, r.edges[p].head); });
}

PyGetSetDef network_getset[] = {
    attribute<Net, [](const Net& r) { return to_python(r.num_nodes); }>("num_nodes"),
    attribute<Net, [](const Net& r) { return to_python(r.num_arcs); }>("num_arcs"),
    attribute<Net, [](const Net& r) { return to_python(r.nodes); }>("nodes"),
    attribute<Net, net_edges>("edges"),
    attribute<Net, [](const Net& r) { return to_python(r.supplies); }>("supplies"),
    attribute<Net, net_arcs>("arcs"),
    attribute<Net,
              [](const Net& r) {
                  return build_list(r.edges.size(), [&](std::size_t i) { return to_python(r.edges[i].up); });
              }>("capacities"),
    attribute<Net,
              [](const Net& r) {
                  return build_list(r.edges.size(), [&](std::size_t i) { return to_python(r.edges[i].cost); });
              }>("weights"),
    attribute<Net, [](const Net& r) { return to_python(r.parallel()); }>("parallel"),
    attribute<Net, [](const Net& r) { return to_python(r.num_parallel_arc_pairs); }>("num_parallel_arc_pairs"),
    attribute<Net, net_arc_indices>("arc_indices"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* network_topology(PyObject* self, PyObject*) {
    return guarded(state_of_instance(self), [&] { return topology_list(record_in<Net>(self).edges); });
}

PyMethodDef network_methods[] = {
    {"topology", network_topology, METH_NOARGS,
     "topology($self)\n--\n\n"
     "Returns the topology-only view `(tail, head)` for `get_adjacency_mapping`.\n"
     "Parallel arcs are preserved; the parallel index is dropped."},
    {nullptr, nullptr, 0, nullptr},
};

// --- MultiCommoditySupplies -------------------------------------------------------------------

PyGetSetDef supplies_getset[] = {
    attribute<MultiCommoditySupplies, [](const MultiCommoditySupplies& r) { return to_python(r.partition); }>(
        "partition"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// --- MultiCommodityData -----------------------------------------------------------------------

using Mcd = MultiCommodityData;

PyObject* mcd_commodity_edges(const Mcd& r) {
    const uint64_t k = r.num_commodities;
    return build_list(r.arcs.size() * k, [&](std::size_t i) {
        const ArcKey& a = r.arcs[i / k];
        return build_tuple(to_python(uint64_t(i % k)), to_python(a.tail), to_python(a.head), to_python(a.index));
    });
}
PyObject* mcd_capacities(const Mcd& r) {
    const uint64_t k = r.num_commodities;
    return build_list(r.arcs.size() * k, [&](std::size_t i) { return to_python(r.arcs[i / k].up); });
}
PyObject* mcd_weight(const Mcd& r) {
    const uint64_t k = r.num_commodities;
    const std::size_t m = r.arcs.size();
    return build_list(
        k, [&](std::size_t c) { return build_list(m, [&](std::size_t a) { return to_python(r.costs[a * k + c]); }); });
}

PyGetSetDef data_getset[] = {
    attribute<Mcd, [](const Mcd& r) { return to_python(r.supply_partition); }>("supply_partition"),
    attribute<Mcd, [](const Mcd& r) { return to_python(r.method); }>("method"),
    attribute<Mcd, mcd_commodity_edges>("commodity_edges"),
    attribute<Mcd, mcd_capacities>("capacities"),
    attribute<Mcd, mcd_weight>("weight"),
    attribute<Mcd, [](const Mcd& r) { return by_arc_position(r.costs, r.arcs.size(), r.num_commodities); }>(
        "weights_by_arc"),
    attribute<Mcd, [](const Mcd& r) { return by_arc_position(r.arc_capacities, r.arcs.size(), r.num_commodities); }>(
        "capacities_by_arc"),
    attribute<Mcd, [](const Mcd& r) { return by_arc_key(r.arcs, r.pair_order, r.arc_capacities, r.num_commodities); }>(
        "commodity_capacities"),
    attribute<Mcd, [](const Mcd& r) { return by_arc_key(r.arcs, r.pair_order, r.costs, r.num_commodities); }>(
        "commodity_weights"),
    attribute<Mcd, [](const Mcd& r) { return to_python(r.num_commodities); }>("num_commodities"),
    attribute<Mcd, [](const Mcd& r) { return to_python(r.randomized_capacities); }>("randomized_capacities"),
    attribute<Mcd, [](const Mcd& r) { return to_python(r.randomized_weights); }>("randomized_weights"),
    attribute<Mcd, [](const Mcd& r) { return to_python(r.cap_zero); }>("cap_zero"),
    attribute<Mcd, [](const Mcd& r) { return to_python(r.cap_zero_param); }>("cap_zero_param"),
    attribute<Mcd, [](const Mcd& r) { return to_python(r.seed); }>("seed"),
    attribute<Mcd, [](const Mcd& r) { return to_python(r.parallel); }>("parallel"),
    attribute<Mcd,
              [](const Mcd& r) { return arc_indices_dict(r.pair_order, [&](uint64_t p) { return ends(r.arcs[p]); }); }>(
        "arc_indices"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// --- ParsedMulticommodityInstance ---------------------------------------------------------------

using Pmi = ParsedMulticommodityInstance;

PyObject* pmi_commodity_edges(const Pmi& r) {
    const std::size_t m = r.arcs.size();
    return build_list(m * r.num_commodities, [&](std::size_t i) {
        const ArcKey& a = r.arcs[i % m];
        return build_tuple(to_python(uint64_t(i / m)), to_python(a.tail), to_python(a.head), to_python(a.index));
    });
}
PyObject* pmi_bundle_capacities(const Pmi& r) {
    const std::size_t m = r.arcs.size();
    const uint64_t k = r.num_commodities;
    return build_list(m * k, [&](std::size_t i) { return to_python(r.arc_capacities[(i % m) * k + i / m]); });
}

PyGetSetDef parsed_getset[] = {
    attribute<Pmi, [](const Pmi& r) { return to_python(r.num_nodes); }>("num_nodes"),
    attribute<Pmi, [](const Pmi& r) { return to_python(r.num_arcs); }>("num_arcs"),
    attribute<Pmi, [](const Pmi& r) { return to_python(r.num_commodities); }>("num_commodities"),
    attribute<Pmi, [](const Pmi& r) { return to_python(r.randomized_capacities); }>("randomized_capacities"),
    attribute<Pmi, [](const Pmi& r) { return to_python(r.randomized_weights); }>("randomized_weights"),
    attribute<Pmi, [](const Pmi& r) { return to_python(r.nodes); }>("nodes"),
    attribute<Pmi,
              [](const Pmi& r) {
                  return build_list(r.arcs.size(), [&](std::size_t i) { return key_tuple(r.arcs[i]); });
              }>("edges"),
    attribute<Pmi, [](const Pmi& r) { return to_python(r.supplies); }>("supplies"),
    attribute<Pmi, [](const Pmi& r) { return to_python(r.commodity_supply_demand_data); }>(
        "commodity_supply_demand_data"),
    attribute<Pmi,
              [](const Pmi& r) {
                  return build_list(r.arcs.size(), [&](std::size_t i) { return to_python(r.arcs[i].up); });
              }>("capacities"),
    attribute<Pmi, [](const Pmi& r) { return by_arc_key(r.arcs, r.pair_order, r.arc_capacities, r.num_commodities); }>(
        "commodity_capacities"),
    attribute<Pmi, [](const Pmi& r) { return by_arc_key(r.arcs, r.pair_order, r.costs, r.num_commodities); }>(
        "commodity_weights"),
    attribute<Pmi, pmi_commodity_edges>("commodity_edges"),
    attribute<Pmi,
              [](const Pmi& r) {
                  return build_list(r.arcs.size(), [&](std::size_t i) { return to_python(r.arcs[i].tail); });
              }>("start_nodes"),
    attribute<Pmi,
              [](const Pmi& r) {
                  return build_list(r.arcs.size(), [&](std::size_t i) { return to_python(r.arcs[i].head); });
              }>("end_nodes"),
    attribute<Pmi, [](const Pmi& r) { return to_python(r.method); }>("method"),
    attribute<Pmi, [](const Pmi& r) { return to_python(r.cap_zero); }>("cap_zero"),
    attribute<Pmi, [](const Pmi& r) { return to_python(r.cap_zero_param); }>("cap_zero_param"),
    attribute<Pmi, [](const Pmi& r) { return to_python(r.seed); }>("seed"),
    attribute<Pmi, [](const Pmi& r) { return to_python(r.parallel); }>("parallel"),
    attribute<Pmi,
              [](const Pmi& r) { return arc_indices_dict(r.pair_order, [&](uint64_t p) { return ends(r.arcs[p]); }); }>(
        "arc_indices"),
    attribute<Pmi, pmi_bundle_capacities>("commodity_bundle_capacities"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* parsed_topology(PyObject* self, PyObject*) {
    return guarded(state_of_instance(self), [&] { return topology_list(record_in<Pmi>(self).arcs); });
}

PyMethodDef parsed_methods[] = {
    {"topology", parsed_topology, METH_NOARGS,
     "topology($self)\n--\n\n"
     "Returns the topology-only view `(tail, head)` for \xc2\xb4get_adjacency_mapping`.\n"
     "Parallel arcs are preserved; the parallel index is dropped."},
    {nullptr, nullptr, 0, nullptr},
};

// --- type objects -------------------------------------------------------------------------------

constexpr unsigned kTypeFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE;

// Defined by the module, so that a method or getter finds the module's state from its class.
template <class Record>
PyTypeObject* make_class(PyObject* module, const char* name, PyGetSetDef* getset, PyMethodDef* methods) {
    PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<Record>)},
        {Py_tp_getset, getset},
        {methods ? Py_tp_methods : 0, methods},
        {0, nullptr},
    };
    PyType_Spec spec = {name, static_cast<int>(sizeof(Object<Record>)), 0, kTypeFlags, slots};
    return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &spec, nullptr));
}

}  // namespace

template <>
PyTypeObject* new_class<Edge>(PyObject* module) {
    return make_class<Edge>(module, "builtins.Edge", edge_getset, nullptr);
}
template <>
PyTypeObject* new_class<NetworkInstance>(PyObject* module) {
    return make_class<NetworkInstance>(module, "builtins.NetworkInstance", network_getset, network_methods);
}
template <>
PyTypeObject* new_class<MultiCommoditySupplies>(PyObject* module) {
    return make_class<MultiCommoditySupplies>(module, "builtins.MultiCommoditySupplies", supplies_getset, nullptr);
}
template <>
PyTypeObject* new_class<MultiCommodityData>(PyObject* module) {
    return make_class<MultiCommodityData>(module, "builtins.MultiCommodityData", data_getset, nullptr);
}
template <>
PyTypeObject* new_class<ParsedMulticommodityInstance>(PyObject* module) {
    return make_class<ParsedMulticommodityInstance>(module, "builtins.ParsedMulticommodityInstance", parsed_getset,
                                                    parsed_methods);
}

template <class Record>
PyObject* wrap(const ModuleState& state, Record&& record) {
    PyTypeObject* type = class_of<Record>(state);
    if (!type) return nullptr;
    return wrap_as(type, std::move(record));
}

template <class Record>
const Record& record_of(PyObject* obj) noexcept {
    return record_in<Record>(obj);
}

template PyObject* wrap<NetworkInstance>(const ModuleState&, NetworkInstance&&);
template PyObject* wrap<MultiCommodityData>(const ModuleState&, MultiCommodityData&&);
template PyObject* wrap<ParsedMulticommodityInstance>(const ModuleState&, ParsedMulticommodityInstance&&);
template const NetworkInstance& record_of<NetworkInstance>(PyObject*) noexcept;
template const MultiCommodityData& record_of<MultiCommodityData>(PyObject*) noexcept;

}  // namespace pelmora::binding
