// What the functions of pelmora_tools._native share beyond their arguments (native_args.hpp): the
// module state, the int64 column buffer, the records and buffer views. Included by the module's
// binding files only.
#pragma once

#include "binding/pyref.hpp"
#include "binding/unlocked.hpp"
#include "binding/record_api.hpp"
#include "tools/data_arrays.hpp"
#include "tools/mnetgen_writer.hpp"
#include "tools/native_args.hpp"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <new>
#include <span>
#include <string_view>
#include <variant>

namespace pelmora::tools::native {

using binding::PyRef;
using binding::without_gil;

struct State {
    PyTypeObject* column_type = nullptr;
    PyObject* pelmora = nullptr;                  // the module whose state `records` points into
    const binding::RecordApi* records = nullptr;  // valid while `pelmora` is held

    // The module's m_traverse and m_clear (binding/module_def.hpp).
    int traverse(visitproc visit, void* arg) {
        Py_VISIT(column_type);
        Py_VISIT(pelmora);
        return 0;
    }
    void clear() {
        Py_CLEAR(column_type);
        records = nullptr;
        Py_CLEAR(pelmora);
    }
};

inline State& state_of(PyObject* module) { return *static_cast<State*>(PyModule_GetState(module)); }

// --- the column buffer ---------------------------------------------------------------------------

// A list taken over from a record, or zero-filled rows.
using ColumnValues = std::variant<Column, ZeroedValues>;
inline std::span<int64_t> values_of(Column& c) noexcept { return c; }
inline std::span<int64_t> values_of(ZeroedValues& z) noexcept { return z.values(); }

struct ColumnObject {
    PyObject_HEAD
    ColumnValues values;
};

// The feasible mode's functions (feasible_binding.cpp), listed in the module's function table.
PyObject* feasible(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
PyObject* save_feasible(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
PyObject* potentials(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
PyObject* peel(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
PyObject* verify(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

inline PyObject* column(PyTypeObject* type, ColumnValues&& values) {
    PyObject* obj = type->tp_alloc(type, 0);
    if (!obj) return nullptr;
    new (&reinterpret_cast<ColumnObject*>(obj)->values) ColumnValues(std::move(values));
    return obj;
}

// (K, node_ids, tails, heads, low, up, costs, capacities, supplies).
inline PyObject* columns_tuple(const State& state, DataArrays&& d) {
    PyRef tuple = PyRef::steal(PyTuple_New(9));
    if (!tuple) return nullptr;
    PyObject* k = PyLong_FromUnsignedLongLong(d.num_commodities);
    if (!k) return nullptr;
    PyTuple_SET_ITEM(tuple.get(), 0, k);
    Column* parts[] = {&d.node_ids, &d.tails, &d.heads, &d.low, &d.up, &d.costs, &d.capacities};
    for (Py_ssize_t i = 0; i < 8; ++i) {
        PyObject* c =
            column(state.column_type, i < 7 ? ColumnValues(std::move(*parts[i])) : ColumnValues(std::move(d.supplies)));
        if (!c) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), i + 1, c);
    }
    return tuple.release();
}

// --- arguments and errors --------------------------------------------------------------------------

// The record inside `obj` when its exact class is the record's class of the pelmora module bound
// at import.
template <class Record>
const Record* record_arg(const State& state, PyObject* obj, const char* class_name, const char* param) {
    if (!state.records) {  // cleared: only the collector does that, to a module no longer reachable
        PyErr_SetString(PyExc_SystemError, "pelmora_tools._native has already been cleared");
        return nullptr;
    }
    if (const Record* record = binding::record_through<Record>(*state.records, obj)) return record;
    const char* type_name = Py_TYPE(obj)->tp_name;  // heap types may carry a module prefix
    if (const char* dot = std::strrchr(type_name, '.')) type_name = dot + 1;
    PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object is not an instance of '%s'", param, type_name,
                 class_name);
    return nullptr;
}

inline bool native_int64(std::string_view format) noexcept {
    const bool little = std::endian::native == std::endian::little;
    if (format.starts_with('@') || format.starts_with('=') || (little && format.starts_with('<')))
        format.remove_prefix(1);
    return format == "q" || (format == "l" && sizeof(long) == 8);  // "=l" and "<l" are 4 bytes: itemsize tells
}

// A C-contiguous buffer of native int64 values, held for the call. Anything else is refused with
// a ValueError naming the argument, before any work.
class Int64View {
public:
    Int64View() = default;
    Int64View(const Int64View&) = delete;
    Int64View& operator=(const Int64View&) = delete;
    ~Int64View() {
        if (held_) PyBuffer_Release(&view_);
    }
    bool get(PyObject* obj, const char* param) {
        if (PyObject_GetBuffer(obj, &view_, PyBUF_RECORDS_RO) < 0) return false;
        held_ = true;
        const char* format = view_.format ? view_.format : "B";
        if (view_.itemsize != sizeof(int64_t) || !native_int64(format)) {
            PyErr_Format(PyExc_ValueError, "argument '%s' must hold native int64 values, not items of format '%s'",
                         param, format);
            return false;
        }
        if (!PyBuffer_IsContiguous(&view_, 'C')) {
            PyErr_Format(PyExc_ValueError, "argument '%s' must be C-contiguous", param);
            return false;
        }
        return true;
    }
    std::span<const int64_t> values() const noexcept {
        return {static_cast<const int64_t*>(view_.buf), std::size_t(view_.len) / sizeof(int64_t)};
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// A data set's columns as the writers take them: K, then node_ids, tails, heads, up, costs,
// capacities and supplies, each a native int64 buffer held while this lives.
class DataColumnArgs {
public:
    bool get(PyObject* const* args, MnetgenColumns& out) {
        out.num_commodities = PyLong_AsUnsignedLongLong(args[0]);
        if (PyErr_Occurred()) return false;
        static constexpr const char* kNames[] = {"node_ids", "tails", "heads", "up", "costs", "capacities", "supplies"};
        std::span<const int64_t>* targets[] = {&out.node_ids, &out.tails,      &out.heads,   &out.up,
                                               &out.costs,    &out.capacities, &out.supplies};
        for (int i = 0; i < 7; ++i) {
            if (!views_[i].get(args[i + 1], kNames[i])) return false;
            *targets[i] = views_[i].values();
        }
        return true;
    }

private:
    Int64View views_[7];
};

// A writer's failure: OSError with the errno and name of a file that could not be created, else
// as raise() maps it.
inline PyObject* raise_write_error(const Error& error, const OpenFailure& failure) {
    if (failure.errnum != 0 && error.kind == Error::Kind::Io) {
        errno = failure.errnum;
        return PyErr_SetFromErrnoWithFilename(PyExc_OSError, failure.path.c_str());
    }
    return raise(error, PyExc_OSError);
}

// write_model(path, format, bundle, K, node_ids, tails, heads, up, costs, capacities, supplies, low)
// (model_binding.cpp).
PyObject* write_model(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace pelmora::tools::native
