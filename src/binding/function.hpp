// How every module function binds, converts and calls: one parameter list per function, the
// interpreter's own wording for binding errors, the "argument 'name': ..." wrapping of conversion
// TypeErrors, and the mapping of routine errors and C++ failures to Python exceptions.
#pragma once

#include "binding/convert.hpp"
#include "binding/module_state.hpp"
#include "core/outcome.hpp"

#include <cstddef>
#include <exception>
#include <new>
#include <span>

namespace pelmora::binding {

struct Signature {
    const char* name;                     // the function's __name__
    std::span<const char* const> params;  // parameter names in order
    std::size_t required;                 // the first `required` parameters have no default
};

constexpr std::size_t kMaxParams = 16;

// Binds vectorcall arguments to the parameters. `bound[i]` is a borrowed reference, or null for an
// omitted optional parameter. Raises TypeError as CPython does for a Python function.
bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** bound);

// Re-raises a pending TypeError as "argument '<name>': <message>", keeping its __cause__; any other
// pending exception is left unchanged.
void wrap_argument_error(const char* name);

// A new PanicException class, one per module object (a new reference, or null).
PyObject* new_panic_exception();

// The class a broken precondition raises: the module's PanicException.
PyObject* panic_class(const ModuleState& state) noexcept;

// Raises `error`: Io as `io_class`, Value as ValueError, Panic as the module's PanicException;
// Interrupted keeps the exception a signal handler raised. Returns null.
PyObject* raise_error(const ModuleState& state, const Error& error, PyObject* io_class);

// Converts bound[i] into out[i] for every parameter, in order; omitted optional parameters keep
// the value already in their target (the default).
template <class... Targets>
bool convert_arguments(const Signature& sig, PyObject* const* bound, Targets&... targets) {
    std::size_t i = 0;
    auto one = [&](auto& target) {
        std::size_t at = i++;
        if (!bound[at] || from_python(bound[at], target)) return true;
        wrap_argument_error(sig.params[at]);
        return false;
    };
    return (one(targets) && ...);
}

// Runs the body of a function or getter: a C++ allocation failure becomes MemoryError and any
// other escaping C++ exception becomes PanicException, so none reaches the interpreter.
template <class Body>
PyObject* guarded(const ModuleState& state, Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(panic_class(state), e.what());
        return nullptr;
    } catch (...) {
        PyErr_SetString(panic_class(state), "unexpected failure in native code");
        return nullptr;
    }
}

// Converts a routine's outcome: its value by `convert`, its error by raise_error.
template <class T, class Convert>
PyObject* finish(const ModuleState& state, Outcome<T>&& outcome, PyObject* io_class, Convert&& convert) {
    if (!outcome.ok()) return raise_error(state, outcome.error(), io_class);
    return convert(std::move(outcome).value());
}

}  // namespace pelmora::binding
