#include "tools/families_binding.hpp"

#include "binding/pyref.hpp"
#include "binding/unlocked.hpp"
#include "tools/families.hpp"
#include "tools/native_args.hpp"

namespace pelmora::tools {

namespace {

// Each item of a sequence of `count` numbers through `take`, which gets its index and value.
template <class Take>
bool numbers_arg(PyObject* obj, const char* param, Py_ssize_t count, bool integers, Take take) {
    binding::PyRef items = binding::PyRef::steal(PySequence_Fast(obj, "parameters must be a sequence"));
    if (!items) return false;
    if (PySequence_Fast_GET_SIZE(items.get()) != count) {
        PyErr_Format(PyExc_ValueError, "%s must hold %zd numbers, got %zd", param, count,
                     PySequence_Fast_GET_SIZE(items.get()));
        return false;
    }
    PyObject** values = PySequence_Fast_ITEMS(items.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (integers ? !PyLong_Check(values[i]) : !PyFloat_Check(values[i])) {
            PyErr_Format(PyExc_TypeError, "%s[%zd] must be %s, not %s", param, i, integers ? "int" : "float",
                         Py_TYPE(values[i])->tp_name);
            return false;
        }
        if (integers) {
            const long long v = PyLong_AsLongLong(values[i]);
            if (v == -1 && PyErr_Occurred()) return false;
            take(i, int64_t(v));
        } else {
            take(i, PyFloat_AS_DOUBLE(values[i]));
        }
    }
    return true;
}

PyObject* summary(Outcome<FamilySummary> done) {
    if (!done) return raise(done.error(), PyExc_OSError);
    return Py_BuildValue("(LL)", static_cast<long long>(done.value().nodes), static_cast<long long>(done.value().arcs));
}

}  // namespace

PyObject* gridgen_function(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        GridgenParams p;
        int64_t* ints[] = {&p.two_way,
                           &p.seed,
                           &p.nodes,
                           &p.width,
                           &p.sources,
                           &p.sinks,
                           &p.degree,
                           &p.supply,
                           &p.cost_distribution,
                           &p.capacity_distribution};
        float* floats[] = {&p.cost[0], &p.cost[1], &p.capacity[0], &p.capacity[1]};
        std::string_view path;
        if (!arity("gridgen", nargs, 3, 3) ||
            !numbers_arg(args[0], "ints", 10, true, [&](Py_ssize_t i, auto v) { *ints[i] = int64_t(v); }) ||
            !numbers_arg(args[1], "floats", 4, false, [&](Py_ssize_t i, auto v) { *floats[i] = float(v); }) ||
            !text_arg(args[2], "path", path))
            return nullptr;
        return summary(binding::without_gil([&] { return write_gridgen(path, p); }));
    });
}

PyObject* goto_function(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        GotoParams p;
        int64_t* ints[] = {&p.nodes, &p.arcs, &p.max_cap, &p.max_cost, &p.seed};
        std::string_view path;
        if (!arity("goto", nargs, 2, 2) ||
            !numbers_arg(args[0], "ints", 5, true, [&](Py_ssize_t i, auto v) { *ints[i] = int64_t(v); }) ||
            !text_arg(args[1], "path", path))
            return nullptr;
        return summary(binding::without_gil([&] { return write_goto(path, p); }));
    });
}

PyObject* mnetgen_function(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        MnetgenParams p;
        int64_t* ints[] = {&p.seed,        &p.problem,    &p.nodes,     &p.arcs,      &p.sources,  &p.sinks,
                           &p.commodities, &p.tsources,   &p.tsinks,    &p.chain,     &p.min_cost, &p.max_cost,
                           &p.min_supply,  &p.max_supply, &p.min_bound, &p.max_bound, &p.min_cap,  &p.max_cap};
        double* floats[] = {&p.hicost, &p.bounded, &p.capacitated};
        std::string_view prefix;
        if (!arity("mnetgen", nargs, 3, 3) ||
            !numbers_arg(args[0], "ints", 18, true, [&](Py_ssize_t i, auto v) { *ints[i] = int64_t(v); }) ||
            !numbers_arg(args[1], "floats", 3, false, [&](Py_ssize_t i, auto v) { *floats[i] = double(v); }) ||
            !text_arg(args[2], "prefix", prefix))
            return nullptr;
        return summary(binding::without_gil([&] { return write_mnetgen_problem(prefix, p); }));
    });
}

}  // namespace pelmora::tools
