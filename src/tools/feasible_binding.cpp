// The feasible mode's functions of pelmora_tools._native: generate (the result kept in a capsule
// until it is saved), save, and the certificate check.
#include "binding/unlocked.hpp"
#include "tools/feasible.hpp"
#include "tools/native_support.hpp"
#include "io/files.hpp"
#include "tools/shape.hpp"

#include <memory>

namespace pelmora::tools::native {

namespace {

constexpr const char* kCapsule = "pelmora_tools._native.FeasibleResult";

void free_result(PyObject* capsule) { delete static_cast<FeasibleResult*>(PyCapsule_GetPointer(capsule, kCapsule)); }

bool flag_arg(PyObject* obj, bool& out) {
    const int v = PyObject_IsTrue(obj);
    out = v == 1;
    return v >= 0;
}

bool double_arg(PyObject* obj, double& out) {
    out = PyFloat_AsDouble(obj);
    return !(out == -1.0 && PyErr_Occurred());
}

}  // namespace

// feasible(instance, flow, K, method, seed, concentration, randomize_caps, cap_a, cap_b,
// randomize_costs, cost_a, cost_b, close, tightness)
PyObject* feasible(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        if (!arity("feasible", nargs, 14, 14)) return nullptr;
        const auto* instance =
            record_arg<models::NetworkInstance>(state_of(module), args[0], "NetworkInstance", "instance");
        if (!instance) return nullptr;
        Int64View flow;
        if (!flow.get(args[1], "flow")) return nullptr;
        const Outcome<DataShape> shape =
            checked_shape(0, instance->edges.size(), 1, {{"flow", flow.values().size(), Per::Arc}});
        if (!shape) return raise(shape.error(), PyExc_ValueError);
        FeasibleOptions o;
        logic::generator::GenerationOptions& g = o.generation;
        g.num_commodities = PyLong_AsUnsignedLongLong(args[2]);
        g.method = PyLong_AsLongLong(args[3]);
        g.seed = PyLong_AsUnsignedLongLong(args[4]);
        if (PyErr_Occurred()) return nullptr;
        if (!double_arg(args[5], g.concentration_param) || !flag_arg(args[6], g.randomize_caps) ||
            !double_arg(args[7], g.cap_a) || !double_arg(args[8], g.cap_b) || !flag_arg(args[9], g.randomize_costs) ||
            !double_arg(args[10], g.cost_a) || !double_arg(args[11], g.cost_b) || !double_arg(args[12], o.close) ||
            !double_arg(args[13], o.tightness))
            return nullptr;
        Outcome<FeasibleResult> made = without_gil([&] { return generate_feasible(*instance, flow.values(), o); });
        if (!made) return raise(made.error(), PyExc_RuntimeError);
        auto result = std::make_unique<FeasibleResult>(std::move(made).value());
        // The arrays take over the costs and capacities; saving lends them back (save_feasible).
        Outcome<DataArrays> arrays = without_gil([&] { return arrays_of(result->network, std::move(result->data)); });
        if (!arrays) return raise(arrays.error(), PyExc_RuntimeError);
        const State& state = state_of(module);
        PyRef columns = PyRef::steal(columns_tuple(state, std::move(arrays).value()));
        if (!columns) return nullptr;
        PyRef certificate = PyRef::steal(column(state.column_type, std::move(result->certificate)));
        if (!certificate) return nullptr;
        PyRef cost = PyRef::steal(PyLong_FromString(result->cost.c_str(), nullptr, 10));
        if (!cost) return nullptr;
        const unsigned long long closed = result->closed, requested = result->requested;
        PyRef capsule = PyRef::steal(PyCapsule_New(result.get(), kCapsule, free_result));
        if (!capsule) return nullptr;
        result.release();
        return Py_BuildValue("(OOOOKK)", capsule.get(), columns.get(), certificate.get(), cost.get(), closed,
                             requested);
    });
}

// save_feasible(capsule, path, costs, capacities): the module's multicommodity writer on the kept
// record, with the costs and capacities the arrays took over lent back for the write.
PyObject* save_feasible(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        std::string_view path;
        if (!arity("save_feasible", nargs, 4, 4) || !text_arg(args[1], "path", path)) return nullptr;
        auto* result = static_cast<FeasibleResult*>(PyCapsule_GetPointer(args[0], kCapsule));
        if (!result) return nullptr;
        Int64View costs, capacities;
        if (!costs.get(args[2], "costs") || !capacities.get(args[3], "capacities")) return nullptr;
        const Outcome<DataShape> shape = checked_shape(0, result->network.edges.size(), result->data.num_commodities,
                                                       {{"costs", costs.values().size(), Per::ArcValues},
                                                        {"capacities", capacities.values().size(), Per::ArcValues}});
        if (!shape) return raise(shape.error(), PyExc_ValueError);
        Outcome<void> done = without_gil([&]() -> Outcome<void> {
            models::MultiCommodityData& data = result->data;
            data.costs.assign(costs.values().begin(), costs.values().end());
            data.arc_capacities.assign(capacities.values().begin(), capacities.values().end());
            Outcome<void> written = io::export_to_dimacs(path, result->network, data);
            data.costs = Column();
            data.arc_capacities = Column();
            return written;
        });
        if (!done) return raise(done.error(), PyExc_OSError);
        Py_RETURN_NONE;
    });
}

// potentials(n, tails, heads, capacity, costs, flow): a Column of n potentials.
PyObject* potentials(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        if (!arity("potentials", nargs, 6, 6)) return nullptr;
        const uint64_t n = PyLong_AsUnsignedLongLong(args[0]);
        if (PyErr_Occurred()) return nullptr;
        FlowColumns f;
        static constexpr const char* kNames[] = {"tails", "heads", "capacity", "costs", "flow"};
        std::span<const int64_t>* targets[] = {&f.tails, &f.heads, &f.capacity, &f.costs, &f.flow};
        Int64View views[5];
        for (int i = 0; i < 5; ++i) {
            if (!views[i].get(args[i + 1], kNames[i])) return nullptr;
            *targets[i] = views[i].values();
        }
        const Outcome<DataShape> shape = checked_shape(n, f.tails.size(), 1,
                                                       {{"heads", f.heads.size(), Per::Arc},
                                                        {"capacity", f.capacity.size(), Per::Arc},
                                                        {"costs", f.costs.size(), Per::Arc},
                                                        {"flow", f.flow.size(), Per::Arc}});
        if (!shape) return raise(shape.error(), PyExc_ValueError);
        Outcome<std::vector<int64_t>> made = without_gil([&] { return residual_potentials(n, f); });
        if (!made) return raise(made.error(), PyExc_RuntimeError);
        return column(state_of(module).column_type, Column(made.value().begin(), made.value().end()));
    });
}

// peel(n, tails, heads, supplies): (flow, supplies) Columns, flow -1 on arcs left on cycles.
PyObject* peel(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        if (!arity("peel", nargs, 4, 4)) return nullptr;
        const uint64_t n = PyLong_AsUnsignedLongLong(args[0]);
        if (PyErr_Occurred()) return nullptr;
        Int64View tails, heads, supplies;
        if (!tails.get(args[1], "tails") || !heads.get(args[2], "heads") || !supplies.get(args[3], "supplies"))
            return nullptr;
        const Outcome<DataShape> shape = checked_shape(
            n, tails.values().size(), 1,
            {{"heads", heads.values().size(), Per::Arc}, {"supplies", supplies.values().size(), Per::Node}});
        if (!shape) return raise(shape.error(), PyExc_ValueError);
        Outcome<Peeled> made =
            without_gil([&] { return peel_forest(n, tails.values(), heads.values(), supplies.values()); });
        if (!made) return raise(made.error(), PyExc_RuntimeError);
        const State& state = state_of(module);
        PyRef flow = PyRef::steal(column(state.column_type, std::move(made.value().flow)));
        if (!flow) return nullptr;
        PyRef rest = PyRef::steal(column(state.column_type, std::move(made.value().supplies)));
        if (!rest) return nullptr;
        return PyTuple_Pack(2, flow.get(), rest.get());
    });
}

// verify(K, node_ids, tails, heads, low, up, capacities, supplies, certificate): "" or what fails.
PyObject* verify(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        if (!arity("verify", nargs, 9, 9)) return nullptr;
        CertificateColumns c;
        c.num_commodities = PyLong_AsUnsignedLongLong(args[0]);
        if (PyErr_Occurred()) return nullptr;
        static constexpr const char* kNames[] = {"node_ids", "tails",      "heads",    "low",
                                                 "up",       "capacities", "supplies", "certificate"};
        std::span<const int64_t>* targets[] = {&c.node_ids, &c.tails,      &c.heads,    &c.low,
                                               &c.up,       &c.capacities, &c.supplies, &c.certificate};
        Int64View views[8];
        for (int i = 0; i < 8; ++i) {
            if (!views[i].get(args[i + 1], kNames[i])) return nullptr;
            *targets[i] = views[i].values();
        }
        if (Outcome<void> fits = check_columns(c); !fits) return raise(fits.error(), PyExc_ValueError);
        std::string failure;
        Outcome<void> done = without_gil([&]() -> Outcome<void> {
            failure = verify_certificate(c);
            if (failure == "interrupted") return Error::interrupted();
            return {};
        });
        if (!done) return raise(done.error(), PyExc_RuntimeError);
        return PyUnicode_FromStringAndSize(failure.data(), Py_ssize_t(failure.size()));
    });
}

}  // namespace pelmora::tools::native
