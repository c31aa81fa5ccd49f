// What one module object owns: its five classes, its PanicException and the record interface that
// points at them. Each interpreter that imports the module runs the exec step on its own module
// object, so every interpreter has its own class objects and none outlives the interpreter that
// made it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "binding/record_api.hpp"
#include "models/records.hpp"

#include <array>
#include <cstddef>

namespace pelmora::binding {

struct ModuleState {
    std::array<PyTypeObject*, 5> classes{};  // indexed by class_index<Record>
    PyObject* panic_exception = nullptr;
    RecordApi record_api{};  // the companion's way in (binding/capi.hpp)
    // The classes refer back to the module (their defining module), so module and classes form a
    // cycle that only the collector can break: both directions must be visible to it.
    int traverse(visitproc visit, void* arg);
    void clear();
};

template <class Record>
inline constexpr std::size_t class_index = 5;  // not a record of the module: no class
template <>
inline constexpr std::size_t class_index<models::Edge> = 0;
template <>
inline constexpr std::size_t class_index<models::NetworkInstance> = 1;
template <>
inline constexpr std::size_t class_index<models::MultiCommoditySupplies> = 2;
template <>
inline constexpr std::size_t class_index<models::MultiCommodityData> = 3;
template <>
inline constexpr std::size_t class_index<models::ParsedMulticommodityInstance> = 4;

// Raises the error of a module whose state the collector has already cleared. Returns null.
std::nullptr_t cleared_module_error();

// The class of Record in this module state (borrowed); null with an exception set once the module
// has been cleared, which only the collector does, to a module no longer reachable.
template <class Record>
inline PyTypeObject* class_of(const ModuleState& state) noexcept {
    static_assert(class_index<Record> < 5, "no class holds this record");
    PyTypeObject* cls = state.classes[class_index<Record>];
    return cls ? cls : cleared_module_error();
}

// The state of a module function's module (its `self`). The interpreter allocates it before the
// exec step and calls no function of the module, nor m_traverse, m_clear or m_free, before that.
inline ModuleState& module_state(PyObject* module) noexcept {
    return *static_cast<ModuleState*>(PyModule_GetState(module));
}

// The state of the module that defined an object's class. The classes cannot be subclassed, so
// the object's own type is the defining class.
inline const ModuleState& state_of_instance(PyObject* obj) noexcept {
    return *static_cast<const ModuleState*>(PyType_GetModuleState(Py_TYPE(obj)));
}

}  // namespace pelmora::binding
