// What the module definitions of pelmora and of the companion's pelmora_tools._native share:
// multi-phase initialisation with one exec step, a module object per interpreter (each interpreter
// with its own GIL supported), no need for the GIL where the build has none, and a state whose
// m_traverse, m_clear and m_free are its own visit and clear. A module's own work (its functions,
// its classes, what its exec step adds) stays in the module's file.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace pelmora::binding {

// A fast-call function, with or without keywords, as a PyMethodDef's ml_meth.
template <class Function>
PyCFunction method_pointer(Function* fn) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

// State is the module's state, a plain struct the interpreter allocates zeroed before the exec step,
// with `int traverse(visitproc visit, void* arg)` and `void clear()`: the state's references must be
// visible to the collector, since the module's classes refer back to the module.
template <class State>
struct StateHooks {
    static State& of(PyObject* module) noexcept { return *static_cast<State*>(PyModule_GetState(module)); }
    static int traverse(PyObject* module, visitproc visit, void* arg) { return of(module).traverse(visit, arg); }
    static int clear(PyObject* module) {
        of(module).clear();
        return 0;
    }
    static void free(void* module) { clear(static_cast<PyObject*>(module)); }
};

template <int (*Exec)(PyObject*)>
inline PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(Exec)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

// The PyInit_ function's result for a module `name` with its state, exec step and function table
// (null-terminated, or null). The definition lives as long as the process, as the interpreter needs.
template <class State, int (*Exec)(PyObject*)>
PyObject* init_module(const char* name, PyMethodDef* methods) {
    using Hooks = StateHooks<State>;
    static PyModuleDef definition = {
        PyModuleDef_HEAD_INIT, name,         "",          Py_ssize_t(sizeof(State)), methods, module_slots<Exec>,
        Hooks::traverse,       Hooks::clear, Hooks::free,
    };
    return PyModuleDef_Init(&definition);
}

}  // namespace pelmora::binding
