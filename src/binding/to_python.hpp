// Results into new Python objects (to_python and the list, tuple and dict builders): every
// result is made of new objects; null with an exception set on failure.
#pragma once

#include "binding/pyref.hpp"
#include "models/records.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace pelmora::binding {
inline PyObject* to_python(int64_t v) { return PyLong_FromLongLong(v); }
inline PyObject* to_python(uint64_t v) { return PyLong_FromUnsignedLongLong(v); }
inline PyObject* to_python(double v) { return PyFloat_FromDouble(v); }
inline PyObject* to_python(bool v) { return Py_NewRef(v ? Py_True : Py_False); }

// A new list of n items made by make(i) (each a new reference or null).
template <class Make>
inline PyObject* build_list(std::size_t n, Make&& make) {
    // Longer than any list can be (a view of 2**63 commodities): too large for memory.
    if (n > static_cast<std::size_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* item = make(i);
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

template <class... Items>
inline PyObject* build_tuple(Items... items) {
    PyObject* parts[] = {items...};
    constexpr std::size_t n = sizeof...(Items);
    for (PyObject* p : parts) {
        if (!p) {
            for (PyObject* q : parts) Py_XDECREF(q);
            return nullptr;
        }
    }
    PyObject* tuple = PyTuple_New(n);
    if (!tuple) {
        for (PyObject* q : parts) Py_DECREF(q);
        return nullptr;
    }
    bool holds_container = false;
    for (std::size_t i = 0; i < n; ++i) {
        PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), parts[i]);
        holds_container = holds_container || (PyObject_IS_GC(parts[i]) && PyObject_GC_IsTracked(parts[i]));
    }
    // A tuple of ints can never be part of a reference cycle. The collector untracks such tuples
    // itself, but only when it next runs, after scanning every one of them: a view of a million
    // arc tuples made the first collection after the read cost as much as the read. Untracking
    // them here (what the collector would do) leaves it nothing to scan.
    if (!holds_container) PyObject_GC_UnTrack(tuple);
    return tuple;
}

template <std::size_t N>
inline PyObject* to_python(const std::array<int64_t, N>& a) {
    if constexpr (N == 2) return build_tuple(to_python(a[0]), to_python(a[1]));
    else return build_tuple(to_python(a[0]), to_python(a[1]), to_python(a[2]));
}
template <class T>
inline PyObject* to_python(std::span<const T> values) {
    // Rows often repeat a value (a capacity or cost shared by every commodity, the even shares of a
    // split): a run of equal values shares one int object instead of allocating one per item.
    PyObject* last = nullptr;
    return build_list(values.size(), [&](std::size_t i) -> PyObject* {
        if (last && values[i] == values[i - 1]) return Py_NewRef(last);
        return last = to_python(values[i]);
    });
}
template <class T>
inline PyObject* to_python(const std::vector<T>& values) {
    return to_python(std::span<const T>(values));
}

// A new dict filled in the given (ascending) key order: insert(dict) adds the entries.
template <class Fill>
inline PyObject* build_dict(Fill&& fill) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    auto put = [&](PyObject* key, PyObject* value) {
        PyRef k = PyRef::steal(key);
        PyRef v = PyRef::steal(value);
        if (!k || !v) return false;
        return PyDict_SetItem(dict.get(), k.get(), v.get()) == 0;
    };
    if (!fill(put)) return nullptr;
    return dict.release();
}

inline PyObject* to_python(const models::SupplyMap& map) {
    return build_dict([&](auto& put) {
        for (std::size_t i = 0; i < map.size(); ++i)
            if (!put(to_python(map.nodes[i]), to_python(map.totals[i]))) return false;
        return true;
    });
}

template <class T>
inline PyObject* to_python(const models::RaggedMap<T>& map) {
    return build_dict([&](auto& put) {
        for (std::size_t i = 0; i < map.size(); ++i)
            if (!put(to_python(map.keys[i]), to_python(map.row(i)))) return false;
        return true;
    });
}

}  // namespace pelmora::binding
