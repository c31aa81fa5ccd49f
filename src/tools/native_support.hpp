// What the functions of pelmora_tools._native share: the module state, the int64 column buffer,
// errors, argument checks and buffer views. Included by the module's translation units only.
#pragma once

#include "binding/pyref.hpp"
#include "binding/unlocked.hpp"
#include "models/object.hpp"
#include "tools/data_arrays.hpp"

#include <cstring>
#include <exception>
#include <new>
#include <span>
#include <string_view>

namespace pelmora::tools::native {

using binding::PyRef;
using binding::without_gil;

struct State {
    PyTypeObject* column_type = nullptr;
};

inline State& state_of(PyObject* module) { return *static_cast<State*>(PyModule_GetState(module)); }

// --- the column buffer ---------------------------------------------------------------------------

struct ColumnObject {
    PyObject_HEAD
    Column values;
};

// Functions defined beside the module's own, listed in its function table.
PyObject* feasible(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
PyObject* save_feasible(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
PyObject* verify(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
PyObject* potentials(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
PyObject* peel(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

inline PyObject* column(PyTypeObject* type, Column&& values) {
    PyObject* obj = type->tp_alloc(type, 0);
    if (!obj) return nullptr;
    new (&reinterpret_cast<ColumnObject*>(obj)->values) Column(std::move(values));
    return obj;
}

// (K, node_ids, tails, heads, low, up, costs, capacities, supplies).
inline PyObject* columns_tuple(const State& state, DataArrays&& d) {
    PyRef tuple = PyRef::steal(PyTuple_New(9));
    if (!tuple) return nullptr;
    PyObject* k = PyLong_FromUnsignedLongLong(d.num_commodities);
    if (!k) return nullptr;
    PyTuple_SET_ITEM(tuple.get(), 0, k);
    Column* parts[] = {&d.node_ids, &d.tails, &d.heads, &d.low, &d.up, &d.costs, &d.capacities, &d.supplies};
    for (Py_ssize_t i = 0; i < 8; ++i) {
        PyObject* c = column(state.column_type, std::move(*parts[i]));
        if (!c) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), i + 1, c);
    }
    return tuple.release();
}

// --- arguments and errors --------------------------------------------------------------------------

inline PyObject* raise(const Error& error, PyObject* io_class) {
    switch (error.kind) {
        case Error::Kind::Interrupted:
            if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
            return nullptr;
        case Error::Kind::Value: PyErr_SetString(PyExc_ValueError, error.message.c_str()); return nullptr;
        case Error::Kind::Io: PyErr_SetString(io_class, error.message.c_str()); return nullptr;
        case Error::Kind::Panic: break;
    }
    PyErr_SetString(PyExc_RuntimeError, error.message.c_str());
    return nullptr;
}

// C++ failures never reach the interpreter: memory as MemoryError, anything else RuntimeError.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
        return nullptr;
    }
}

inline bool arity(const char* name, Py_ssize_t nargs, Py_ssize_t least, Py_ssize_t most) {
    if (nargs >= least && nargs <= most) return true;
    PyErr_Format(PyExc_TypeError, "%s() takes %zd to %zd positional arguments but %zd were given", name, least, most,
                 nargs);
    return false;
}

// The record inside `obj` when its exact class is pelmora.<class_name> of this interpreter.
template <class Record>
const Record* record_arg(PyObject* obj, const char* class_name, const char* param) {
    PyRef module = PyRef::steal(PyImport_ImportModule("pelmora"));
    if (!module) return nullptr;
    PyRef cls = PyRef::steal(PyObject_GetAttrString(module.get(), class_name));
    if (!cls) return nullptr;
    if (reinterpret_cast<PyObject*>(Py_TYPE(obj)) != cls.get()) {
        const char* type_name = Py_TYPE(obj)->tp_name;  // heap types may carry a module prefix
        if (const char* dot = std::strrchr(type_name, '.')) type_name = dot + 1;
        PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object is not an instance of '%s'", param, type_name,
                     class_name);
        return nullptr;
    }
    return &models::record_in<Record>(obj);
}

inline bool text_arg(PyObject* obj, const char* param, std::string_view& out) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_Check(obj) ? PyUnicode_AsUTF8AndSize(obj, &size) : nullptr;
    if (!data) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_TypeError, "argument '%s' must be str", param);
        return false;
    }
    out = std::string_view(data, std::size_t(size));
    return true;
}

// A C-contiguous buffer of int64 values, held for the call.
class Int64View {
public:
    Int64View() = default;
    Int64View(const Int64View&) = delete;
    Int64View& operator=(const Int64View&) = delete;
    ~Int64View() {
        if (held_) PyBuffer_Release(&view_);
    }
    bool get(PyObject* obj, const char* param) {
        if (PyObject_GetBuffer(obj, &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) return false;
        held_ = true;
        const std::string_view format = view_.format ? view_.format : "B";
        if (view_.itemsize != 8 || (format != "l" && format != "q" && format != "=q" && format != "<q")) {
            PyErr_Format(PyExc_TypeError, "argument '%s' must hold int64 values", param);
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

}  // namespace pelmora::tools::native
