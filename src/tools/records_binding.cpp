#include "tools/records_binding.hpp"

#include <algorithm>
#include <iterator>

namespace pelmora::tools::native {

// Reading another layout's records would read memory that is not theirs, and calling a table of
// another contract would call what is not there: both are refused.
int bind_records(State& state) {
    PyRef pelmora = PyRef::steal(PyImport_ImportModule("pelmora"));
    if (!pelmora) return -1;
    constexpr const char* kRebuild = "install pelmora and pelmora_tools from one build";
    PyObject* found = nullptr;
    if (PyObject_GetOptionalAttrString(pelmora.get(), binding::kCapiAttribute, &found) < 0) return -1;
    PyRef capsule = PyRef::steal(found);
    if (!capsule || !PyCapsule_IsValid(capsule.get(), binding::kCapiName)) {
        PyErr_Format(PyExc_ImportError, "pelmora_tools._native: the pelmora module has no record interface %s; %s",
                     binding::kCapiName, kRebuild);
        return -1;
    }
    const auto* api = static_cast<const binding::RecordApi*>(PyCapsule_GetPointer(capsule.get(), binding::kCapiName));
    if (!api) return -1;
    const bool same_sizes = std::equal(std::begin(binding::kRecordSizes), std::end(binding::kRecordSizes), api->sizes);
    if (api->version != binding::kCapiVersion || api->record_layout != binding::kRecordLayoutVersion || !same_sizes) {
        PyErr_Format(PyExc_ImportError,
                     "pelmora_tools._native was built for record interface %u, record layout %u of pelmora; the "
                     "pelmora module has interface %u, layout %u%s; %s",
                     unsigned(binding::kCapiVersion), unsigned(binding::kRecordLayoutVersion), unsigned(api->version),
                     unsigned(api->record_layout), same_sizes ? "" : " (record sizes differ)", kRebuild);
        return -1;
    }
    state.records = api;
    state.pelmora = pelmora.release();
    return 0;
}

PyObject* network_object(const State& state, const models::NetworkLines& lines) {
    if (!state.records) {  // cleared: only the collector does that, to a module no longer reachable
        PyErr_SetString(PyExc_SystemError, "pelmora_tools._native has already been cleared");
        return nullptr;
    }
    return state.records->network_from_lines(state.records, &lines);
}

}  // namespace pelmora::tools::native
