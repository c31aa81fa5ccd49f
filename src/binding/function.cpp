#include "binding/function.hpp"

#include <string>
#include <vector>

namespace pelmora::binding {

namespace {

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'", as CPython lists missing arguments.
std::string quoted_list(const std::vector<const char*>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() == 2) out += " and ";
            else if (i + 1 == names.size()) out += ", and ";
            else out += ", ";
        }
        out += '\'';
        out += names[i];
        out += '\'';
    }
    return out;
}

}  // namespace

bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** bound) {
    const std::size_t nparams = sig.params.size();
    std::size_t npos = static_cast<std::size_t>(nargs);
    for (std::size_t i = 0; i < nparams; ++i) bound[i] = i < npos ? args[i] : nullptr;

    if (kwnames) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            std::size_t at = nparams;
            for (std::size_t i = 0; i < nparams; ++i) {
                if (PyUnicode_CompareWithASCIIString(key, sig.params[i]) == 0) {
                    at = i;
                    break;
                }
            }
            if (at == nparams) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", sig.name, key);
                return false;
            }
            if (bound[at]) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%S'", sig.name, key);
                return false;
            }
            bound[at] = args[nargs + k];
        }
    }

    if (npos > nparams) {
        if (sig.required < nparams) {
            PyErr_Format(PyExc_TypeError, "%s() takes from %zu to %zu positional arguments but %zd were given",
                         sig.name, sig.required, nparams, nargs);
        } else {
            PyErr_Format(PyExc_TypeError, "%s() takes %zu positional argument%s but %zd %s given", sig.name, nparams,
                         nparams == 1 ? "" : "s", nargs, nargs == 1 ? "was" : "were");
        }
        return false;
    }

    std::vector<const char*> missing;
    for (std::size_t i = 0; i < sig.required; ++i)
        if (!bound[i]) missing.push_back(sig.params[i]);
    if (!missing.empty()) {
        std::string names = quoted_list(missing);
        PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", sig.name, missing.size(),
                     missing.size() == 1 ? "" : "s", names.c_str());
        return false;
    }
    return true;
}

void wrap_argument_error(const char* name) {
    PyObject* raised = PyErr_GetRaisedException();
    if (!raised) return;
    if (Py_TYPE(raised) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        PyErr_SetRaisedException(raised);
        return;
    }
    PyRef old = PyRef::steal(raised);
    PyRef text = PyRef::steal(PyObject_Str(old.get()));
    if (!text) return;
    PyRef message = PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
    if (!message) return;
    PyRef wrapped = PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!wrapped) return;
    PyException_SetCause(wrapped.get(), PyException_GetCause(old.get()));
    PyErr_SetRaisedException(wrapped.release());
}

PyObject* new_panic_exception() {
    return PyErr_NewExceptionWithDoc(
        "pyo3_runtime.PanicException",
        "The exception raised when native code in pelmora stops on a broken precondition.\n\n"
        "It derives from BaseException, so `except Exception` does not catch it.",
        PyExc_BaseException, nullptr);
}

PyObject* panic_class(const ModuleState& state) noexcept {
    // Null only once the collector has cleared the module (see class_of).
    return state.panic_exception ? state.panic_exception : PyExc_SystemError;
}

PyObject* raise_error(const ModuleState& state, const Error& error, PyObject* io_class) {
    PyObject* cls = io_class;
    switch (error.kind) {
        case Error::Kind::Interrupted:
            // The handler's exception is already pending (without_gil put it back).
            if (PyErr_Occurred()) return nullptr;
            cls = PyExc_RuntimeError;
            break;
        case Error::Kind::Io: break;
        case Error::Kind::Value: cls = PyExc_ValueError; break;
        case Error::Kind::Panic: cls = panic_class(state); break;
    }
    PyRef text = PyRef::steal(
        PyUnicode_DecodeUTF8(error.message.data(), static_cast<Py_ssize_t>(error.message.size()), "replace"));
    if (!text) return nullptr;
    // One argument only: an OSError made this way has errno, strerror and filename None.
    PyRef exc = PyRef::steal(PyObject_CallOneArg(cls, text.get()));
    if (!exc) return nullptr;
    PyErr_SetRaisedException(exc.release());
    return nullptr;
}

}  // namespace pelmora::binding
