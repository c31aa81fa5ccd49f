// The Python classes of the records (definitions in types.cpp).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "models/records.hpp"

namespace pelmora::models {

// The class of a record: created once per process on first use; null with an exception set if
// that creation fails. Specialised for Edge, NetworkInstance, MultiCommoditySupplies,
// MultiCommodityData and ParsedMulticommodityInstance.
template <class Record>
PyTypeObject* type_object();

// A new object of the record's class that owns the record.
template <class Record>
PyObject* wrap(Record&& record);

// The record inside an object whose exact type is type_object<Record>().
template <class Record>
const Record& record_of(PyObject* obj) noexcept;

}  // namespace pelmora::models
