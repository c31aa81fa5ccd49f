// What every function of pelmora_tools._native shares: its positional arguments checked, its
// Error raised as the matching Python exception, C++ failures kept from the interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <string_view>

#include "core/outcome.hpp"

namespace pelmora::tools {

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

}  // namespace pelmora::tools
