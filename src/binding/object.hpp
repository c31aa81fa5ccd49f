// The memory layout of an object of the record classes: the record lies right after the object
// header. Only this module reads it; the companion extension is handed records through the record
// interface (binding/record_api.hpp), which checks the object's exact class first.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace pelmora::binding {

template <class Record>
struct Object {
    PyObject_HEAD
    Record record;
};

// The record of an object whose exact type is a class of Record.
template <class Record>
const Record& record_in(PyObject* self) noexcept {
    return reinterpret_cast<Object<Record>*>(self)->record;
}

}  // namespace pelmora::binding
