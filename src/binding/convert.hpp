// The one conversion layer of the module: Python arguments into the records' types
// (from_python, here) and the routines' results into new Python objects (to_python, in
// binding/to_python.hpp, included here so that a handler includes one header).
//
// from_python returns false with a Python exception set. Refusals of the wrong type raise
// TypeError with a "reason" text; the argument binder wraps those in "argument 'name': ...".
// OverflowError and UnicodeEncodeError from the interpreter pass through unchanged.
#pragma once

#include "binding/module_state.hpp"
#include "binding/pyref.hpp"
#include "binding/to_python.hpp"
#include "core/keep_last.hpp"
#include "models/records.hpp"
#include "binding/types.hpp"

#include <algorithm>
#include <cstring>
#include <array>
#include <new>
#include <cstdint>
#include <numeric>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

namespace pelmora::binding {

// ---------------------------------------------------------------------------------------------
// Argument targets that are not plain C++ types.

// A Python str as UTF-8, borrowed from the str object (alive for the call).
struct Text {
    std::string_view utf8;
};

// Read access to the record inside an object of the class that `state`'s module holds for
// Record: an object made by another interpreter's module (of another class object) is refused.
template <class Record>
struct ReadAccess {
    const ModuleState* state = nullptr;
    const Record* record = nullptr;
};

// ---------------------------------------------------------------------------------------------
// Reasons.

// "'<type>' object is not an instance of '<expected>'", or the None form.
inline void set_type_reason(PyObject* obj, const char* expected) {
    if (obj == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
    } else {
        PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of '%s'", Py_TYPE(obj)->tp_name, expected);
    }
}

// tp_name of heap types may carry a module prefix ("builtins.Edge"); reasons show the bare name.
inline void set_type_reason_bare(PyObject* obj, PyTypeObject* expected) {
    const char* name = expected->tp_name;
    if (const char* dot = std::strrchr(name, '.')) name = dot + 1;
    if (obj == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", name);
        return;
    }
    PyRef tname = PyRef::steal(PyType_GetName(Py_TYPE(obj)));
    if (!tname) return;
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", tname.get(), name);
}

// ---------------------------------------------------------------------------------------------
// from_python

template <class T>
struct FromPython;

template <class T>
inline bool from_python(PyObject* obj, T& out) {
    return FromPython<T>::convert(obj, out);
}

template <>
struct FromPython<int64_t> {
    static bool convert(PyObject* obj, int64_t& out) {
        if (PyLong_CheckExact(obj)) {
            long long v = PyLong_AsLongLong(obj);
            if (v == -1 && PyErr_Occurred()) return false;
            out = v;
            return true;
        }
        PyRef index = PyRef::steal(PyNumber_Index(obj));
        if (!index) return false;
        long long v = PyLong_AsLongLong(index.get());
        if (v == -1 && PyErr_Occurred()) return false;
        out = v;
        return true;
    }
};

template <>
struct FromPython<uint64_t> {
    static bool convert(PyObject* obj, uint64_t& out) {
        PyRef index = PyRef::steal(PyNumber_Index(obj));
        if (!index) return false;
        unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
        if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
        out = v;
        return true;
    }
};

template <>
struct FromPython<double> {
    static bool convert(PyObject* obj, double& out) {
        if (PyFloat_CheckExact(obj)) {
            out = PyFloat_AS_DOUBLE(obj);
            return true;
        }
        double v = PyFloat_AsDouble(obj);
        if (v == -1.0 && PyErr_Occurred()) return false;
        out = v;
        return true;
    }
};

// Exactly True or False, or a NumPy boolean scalar; never an int.
template <>
struct FromPython<bool> {
    static bool convert(PyObject* obj, bool& out) {
        if (obj == Py_True || obj == Py_False) {
            out = (obj == Py_True);
            return true;
        }
        if (is_numpy_bool(Py_TYPE(obj))) {
            int truth = PyObject_IsTrue(obj);
            if (truth < 0) return false;
            out = truth != 0;
            return true;
        }
        set_type_reason(obj, "bool");
        return false;
    }

private:
    static bool is_numpy_bool(PyTypeObject* type) {
        PyRef module = PyRef::steal(PyType_GetModuleName(type));
        if (!module) {
            PyErr_Clear();
            return false;
        }
        if (PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0) return false;
        PyRef name = PyRef::steal(PyType_GetName(type));
        if (!name) {
            PyErr_Clear();
            return false;
        }
        return PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
               PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0;
    }
};

template <>
struct FromPython<Text> {
    static bool convert(PyObject* obj, Text& out) {
        if (!PyUnicode_Check(obj)) {
            set_type_reason(obj, "str");
            return false;
        }
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(obj, &size);  // UnicodeEncodeError passes through
        if (!data) return false;
        out.utf8 = std::string_view(data, static_cast<std::size_t>(size));
        return true;
    }
};

// A tuple of exactly N signed integers.
template <std::size_t N>
struct FromPython<std::array<int64_t, N>> {
    static bool convert(PyObject* obj, std::array<int64_t, N>& out) {
        if (!PyTuple_Check(obj)) {
            set_type_reason(obj, "tuple");
            return false;
        }
        Py_ssize_t len = PyTuple_GET_SIZE(obj);
        if (len != static_cast<Py_ssize_t>(N)) {
            PyErr_Format(PyExc_TypeError, "expected tuple of length %zu, but got tuple of length %zd", N, len);
            return false;
        }
        for (std::size_t i = 0; i < N; ++i) {
            if (!from_python(PyTuple_GET_ITEM(obj, static_cast<Py_ssize_t>(i)), out[i])) return false;
        }
        return true;
    }
};

// Items reserved ahead for a sequence whose length is only its own claim.
inline constexpr std::size_t kReserveAhead = std::size_t{1} << 16;

// Calls `each(item)` for every item of a sequence (not a str), after `reserve(n)`. A list, tuple
// or range holds or computes its length, so n is that length (reserve may refuse it with
// bad_alloc, as list() would with MemoryError); any other type's __len__ may lie, so n is at most
// kReserveAhead and the target grows as items come.
template <class Reserve, class Each>
inline bool for_each_sequence_item(PyObject* obj, Reserve&& reserve, Each&& each) {
    if (PyUnicode_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(obj)) {
        set_type_reason(obj, "Sequence");
        return false;
    }
    Py_ssize_t len = PySequence_Size(obj);
    if (len < 0) {
        // The reported length only sizes the reservation.
        PyErr_Clear();
        len = 0;
    }
    std::size_t n = static_cast<std::size_t>(len);
    if (!PyList_CheckExact(obj) && !PyTuple_CheckExact(obj) && !PyRange_Check(obj)) n = std::min(n, kReserveAhead);
    reserve(n);
    // Items are fetched one by one, so a sequence that changes length meanwhile is read safely.
    for (Py_ssize_t i = 0;; ++i) {
        PyRef item = PyRef::steal(PySequence_GetItem(obj, i));
        if (!item) {
            if (PyErr_ExceptionMatches(PyExc_IndexError)) {
                PyErr_Clear();
                return true;
            }
            return false;
        }
        if (!each(item.get())) return false;
    }
}

template <class T>
struct FromPython<std::vector<T>> {
    static bool convert(PyObject* obj, std::vector<T>& out) {
        out.clear();
        return for_each_sequence_item(
            obj,
            [&](std::size_t n) {
                if (n > out.max_size()) throw std::bad_alloc();  // not the length_error reserve throws
                out.reserve(n);
            },
            [&](PyObject* item) {
                T value{};
                if (!from_python(item, value)) return false;
                out.push_back(std::move(value));
                return true;
            });
    }
};

// Iterates a snapshot of a dict's items, in the dict's order.
template <class Each>
inline bool for_each_dict_item(PyObject* obj, Each&& each) {
    if (!PyDict_Check(obj)) {
        set_type_reason(obj, "dict");
        return false;
    }
    // A snapshot of the items keeps conversion code (which may run Python) off the live dict.
    PyRef items = PyRef::steal(PyDict_Items(obj));
    if (!items) return false;
    Py_ssize_t n = PyList_GET_SIZE(items.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* pair = PyList_GET_ITEM(items.get(), i);
        if (!each(PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1))) return false;
    }
    return true;
}

// The common case of a dict whose keys and values are all exact ints in the 64-bit range, read in
// place: converting them runs no Python code, so the dict cannot change under the walk (its lock
// is held where the interpreter has one) and no snapshot of the items is needed. False, with
// nothing raised, for anything else (a dict subclass, another type, a value out of range, more
// items than reserved): the caller then takes the general path with its exact errors.
inline bool read_plain_int_items(PyObject* obj, std::vector<std::pair<int64_t, int64_t>>& entries) {
    if (!PyDict_CheckExact(obj)) return false;
    bool plain = true;
    Py_BEGIN_CRITICAL_SECTION(obj);
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(obj, &pos, &key, &value)) {
        // never allocates while the lock is held
        if (!PyLong_CheckExact(key) || !PyLong_CheckExact(value) || entries.size() == entries.capacity()) {
            plain = false;
            break;
        }
        int key_overflow = 0, value_overflow = 0;
        const long long k = PyLong_AsLongLongAndOverflow(key, &key_overflow);
        const long long v = PyLong_AsLongLongAndOverflow(value, &value_overflow);
        if (key_overflow || value_overflow) {
            plain = false;
            break;
        }
        entries.emplace_back(k, v);
    }
    Py_END_CRITICAL_SECTION();
    return plain;
}

template <>
struct FromPython<models::SupplyMap> {
    static bool convert(PyObject* obj, models::SupplyMap& out) {
        std::vector<std::pair<int64_t, int64_t>> entries;
        if (PyDict_Check(obj)) entries.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(obj)));
        if (!read_plain_int_items(obj, entries)) {
            entries.clear();
            bool ok = for_each_dict_item(obj, [&](PyObject* k, PyObject* v) {
                std::pair<int64_t, int64_t> e;
                if (!from_python(k, e.first) || !from_python(v, e.second)) return false;
                entries.push_back(e);
                return true;
            });
            if (!ok) return false;
        }
        if (!std::is_sorted(entries.begin(), entries.end(),
                            [](const auto& a, const auto& b) { return a.first <= b.first; }))
            sort_keep_last(entries, [](const auto& e) { return e.first; });
        out.nodes.resize(entries.size());
        out.totals.resize(entries.size());
        for (std::size_t i = 0; i < entries.size(); ++i) {
            out.nodes[i] = entries[i].first;
            out.totals[i] = entries[i].second;
        }
        return true;
    }
};

template <>
struct FromPython<models::ListMap> {
    static bool convert(PyObject* obj, models::ListMap& out) {
        std::vector<std::pair<int64_t, std::vector<int64_t>>> entries;
        if (PyDict_Check(obj)) entries.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(obj)));
        bool ok = for_each_dict_item(obj, [&](PyObject* k, PyObject* v) {
            std::pair<int64_t, std::vector<int64_t>> e;
            if (!from_python(k, e.first) || !from_python(v, e.second)) return false;
            entries.push_back(std::move(e));
            return true;
        });
        if (!ok) return false;
        sort_keep_last(entries, [](const auto& e) { return e.first; });
        out = models::ListMap{};
        out.keys.reserve(entries.size());
        out.offsets.reserve(entries.size() + 1);
        std::size_t total = 0;
        for (const auto& e : entries) total += e.second.size();
        out.values.reserve(total);
        for (const auto& e : entries) out.push_row(e.first, e.second);
        return true;
    }
};

template <class Record>
struct FromPython<ReadAccess<Record>> {
    static bool convert(PyObject* obj, ReadAccess<Record>& out) {
        PyTypeObject* type = class_of<Record>(*out.state);
        if (!type) return false;
        if (Py_TYPE(obj) != type) {
            set_type_reason_bare(obj, type);
            return false;
        }
        out.record = &record_of<Record>(obj);
        return true;
    }
};

}  // namespace pelmora::binding
