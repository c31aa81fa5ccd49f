#include "binding/module_state.hpp"

namespace pelmora::binding {

std::nullptr_t cleared_module_error() {
    PyErr_SetString(PyExc_SystemError, "the pelmora module has already been cleared");
    return nullptr;
}

int ModuleState::traverse(visitproc visit, void* arg) {
    for (PyTypeObject* cls : classes) Py_VISIT(cls);
    Py_VISIT(panic_exception);
    return 0;
}

void ModuleState::clear() {
    for (PyTypeObject*& cls : classes) Py_CLEAR(cls);
    Py_CLEAR(panic_exception);
}

}  // namespace pelmora::binding
