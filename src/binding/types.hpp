// The Python classes of the records (definitions in types.cpp).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "binding/module_state.hpp"
#include "models/records.hpp"

namespace pelmora::binding {

// A new class of the record, defined by `module` (a new reference, or null with an exception set).
// Specialised for Edge, NetworkInstance, MultiCommoditySupplies, MultiCommodityData and
// ParsedMulticommodityInstance.
template <class Record>
PyTypeObject* new_class(PyObject* module);

// A new object of the record's class in `state` that owns the record.
template <class Record>
PyObject* wrap(const ModuleState& state, Record&& record);

// The record inside an object whose exact type is the record's class.
template <class Record>
const Record& record_of(PyObject* obj) noexcept;

}  // namespace pelmora::binding
