#include "binding/module_state.hpp"

namespace pelmora::binding {

std::nullptr_t cleared_module_error() {
    PyErr_SetString(PyExc_SystemError, "the pelmora module has already been cleared");
    return nullptr;
}

// The classes refer back to the module (their defining module), so module and classes form a
// cycle that only the collector can break: both directions must be visible to it.
int traverse_state(PyObject* module, visitproc visit, void* arg) {
    ModuleState& state = module_state(module);
    for (PyTypeObject* cls : state.classes) Py_VISIT(cls);
    Py_VISIT(state.panic_exception);
    return 0;
}

int clear_state(PyObject* module) {
    ModuleState& state = module_state(module);
    for (PyTypeObject*& cls : state.classes) Py_CLEAR(cls);
    Py_CLEAR(state.panic_exception);
    return 0;
}

void free_state(void* module) { clear_state(static_cast<PyObject*>(module)); }

}  // namespace pelmora::binding
