#include "tools/mnetgen_binding.hpp"

#include "tools/mnetgen_reader.hpp"
#include "tools/native_support.hpp"

namespace pelmora::tools {

using namespace native;

PyObject* read_mnetgen_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        std::string_view prefix;
        if (!arity("read_mnetgen", nargs, 1, 1) || !text_arg(args[0], "prefix", prefix)) return nullptr;
        Outcome<MnetgenData> read = without_gil([&] { return read_mnetgen(prefix); });
        if (!read) return raise(read.error(), PyExc_OSError);
        MnetgenData& d = read.value();
        const State& state = state_of(module);
        PyRef tuple = PyRef::steal(PyTuple_New(12));
        if (!tuple) return nullptr;
        PyObject* k = PyLong_FromUnsignedLongLong(d.num_commodities);
        if (!k) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), 0, k);
        ColumnValues parts[] = {std::move(d.node_ids), std::move(d.tails),      std::move(d.heads),   std::move(d.up),
                                std::move(d.costs),    std::move(d.capacities), std::move(d.supplies)};
        for (Py_ssize_t i = 0; i < 7; ++i) {
            PyObject* c = column(state.column_type, std::move(parts[i]));
            if (!c) return nullptr;
            PyTuple_SET_ITEM(tuple.get(), i + 1, c);
        }
        const bool flags[] = {d.real_up, d.real_costs, d.real_capacities, d.real_supplies};
        for (Py_ssize_t i = 0; i < 4; ++i) PyTuple_SET_ITEM(tuple.get(), i + 8, PyBool_FromLong(flags[i]));
        return tuple.release();
    });
}

}  // namespace pelmora::tools
