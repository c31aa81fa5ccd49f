#include "tools/netgen_binding.hpp"

#include "binding/pyref.hpp"
#include "binding/unlocked.hpp"
#include "tools/native_args.hpp"
#include "tools/netgen.hpp"
#include "tools/records_binding.hpp"

namespace pelmora::tools {

namespace {

// The 15 integers of a tuple or list, in NETGEN's order.
bool params_arg(PyObject* obj, NetgenParams& out) {
    binding::PyRef items = binding::PyRef::steal(PySequence_Fast(obj, "argument 'params' must be a sequence"));
    if (!items) return false;
    if (PySequence_Fast_GET_SIZE(items.get()) != kNetgenParamCount) {
        PyErr_Format(PyExc_ValueError, "params must hold %d integers, got %zd", kNetgenParamCount,
                     PySequence_Fast_GET_SIZE(items.get()));
        return false;
    }
    int64_t* fields[kNetgenParamCount] = {&out.seed,   &out.problem,  &out.nodes,       &out.sources, &out.sinks,
                                          &out.arcs,   &out.min_cost, &out.max_cost,    &out.supply,  &out.tsources,
                                          &out.tsinks, &out.hicost,   &out.capacitated, &out.min_cap, &out.max_cap};
    PyObject** values = PySequence_Fast_ITEMS(items.get());
    for (int i = 0; i < kNetgenParamCount; ++i) {
        if (!PyLong_Check(values[i])) {
            PyErr_Format(PyExc_TypeError, "params[%d] must be int, not %s", i, Py_TYPE(values[i])->tp_name);
            return false;
        }
        *fields[i] = PyLong_AsLongLong(values[i]);
        if (PyErr_Occurred()) return false;
    }
    return true;
}

}  // namespace

PyObject* netgen_function(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        NetgenParams params;
        std::string_view path;
        if (!arity("netgen", nargs, 3, 3) || !params_arg(args[0], params) || !text_arg(args[1], "path", path))
            return nullptr;
        const int min_form = PyObject_IsTrue(args[2]);
        if (min_form < 0) return nullptr;
        Outcome<NetgenSummary> done = binding::without_gil([&] { return write_netgen(path, params, min_form != 0); });
        if (!done) return raise(done.error(), PyExc_OSError);
        const NetgenSummary& s = done.value();
        return Py_BuildValue("(sLL)", form_name(s.form), static_cast<long long>(s.nodes),
                             static_cast<long long>(s.arcs));
    });
}

PyObject* netgen_network_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        NetgenParams params;
        if (!arity("netgen_network", nargs, 1, 1) || !params_arg(args[0], params)) return nullptr;
        Outcome<models::NetworkLines> lines = binding::without_gil([&]() -> Outcome<models::NetworkLines> {
            Outcome<NetgenNetwork> made = generate_netgen(params);
            if (!made) return made.error();
            return min_cost_lines(std::move(made).value());
        });
        if (!lines) return raise(lines.error(), PyExc_RuntimeError);
        return native::network_object(native::state_of(module), lines.value());
    });
}

}  // namespace pelmora::tools
