// pelmora_tools._native.write_model: the LP files' binding (tools/model_writer.hpp).
#include "tools/model_writer.hpp"
#include "tools/native_support.hpp"

namespace pelmora::tools::native {

PyObject* write_model(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        std::string_view path, format_name;
        if (!arity("write_model", nargs, 12, 12) || !text_arg(args[0], "path", path) ||
            !text_arg(args[1], "format", format_name))
            return nullptr;
        if (format_name != "mps" && format_name != "lp") {
            PyErr_SetString(PyExc_ValueError, "format must be 'mps' or 'lp'");
            return nullptr;
        }
        const ModelFormat format = format_name == "mps" ? ModelFormat::Mps : ModelFormat::Lp;
        const int bundle = PyObject_IsTrue(args[2]);
        if (bundle < 0) return nullptr;
        MnetgenColumns columns;
        DataColumnArgs views;
        Int64View low;
        if (!views.get(args + 3, columns) || !low.get(args[11], "low")) return nullptr;
        OpenFailure failure;
        Outcome<void> done =
            without_gil([&] { return write_model_file(path, format, columns, low.values(), bundle != 0, failure); });
        if (done) Py_RETURN_NONE;
        return raise_write_error(done.error(), failure);
    });
}

}  // namespace pelmora::tools::native
