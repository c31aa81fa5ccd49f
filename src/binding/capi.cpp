#include "binding/capi.hpp"

#include "binding/pyref.hpp"
#include "binding/object.hpp"

#include <algorithm>
#include <iterator>

namespace pelmora::binding {

namespace {

template <class Record>
constexpr bool same_numbering = class_index<Record> == std::size_t(record_class_of<Record>);
static_assert(same_numbering<models::Edge> && same_numbering<models::NetworkInstance> &&
              same_numbering<models::MultiCommoditySupplies> && same_numbering<models::MultiCommodityData> &&
              same_numbering<models::ParsedMulticommodityInstance>);

template <class Record>
const void* record_if(const ModuleState& state, PyObject* obj) noexcept {
    PyTypeObject* cls = state.classes[class_index<Record>];
    return cls && Py_TYPE(obj) == cls ? &record_in<Record>(obj) : nullptr;
}

const void* record_of(const RecordApi* api, PyObject* obj, RecordClass which) noexcept {
    const auto& state = *static_cast<const ModuleState*>(api->context);
    switch (which) {
        case RecordClass::Edge: return record_if<models::Edge>(state, obj);
        case RecordClass::NetworkInstance: return record_if<models::NetworkInstance>(state, obj);
        case RecordClass::MultiCommoditySupplies: return record_if<models::MultiCommoditySupplies>(state, obj);
        case RecordClass::MultiCommodityData: return record_if<models::MultiCommodityData>(state, obj);
        case RecordClass::Parsed: return record_if<models::ParsedMulticommodityInstance>(state, obj);
    }
    return nullptr;
}

}  // namespace

int add_record_api(PyObject* module, ModuleState& state) {
    RecordApi& api = state.record_api;
    api.version = kCapiVersion;
    api.record_layout = kRecordLayoutVersion;
    std::copy(std::begin(kRecordSizes), std::end(kRecordSizes), api.sizes);
    api.record_of = &record_of;
    api.context = &state;
    // The capsule points into the module's state, which lives as long as the module object: a
    // holder of the pointer keeps the module object alive, as the companion does.
    PyRef capsule = PyRef::steal(PyCapsule_New(&api, kCapiName, nullptr));
    if (!capsule) return -1;
    return PyObject_SetAttrString(module, kCapiAttribute, capsule.get());
}

}  // namespace pelmora::binding
