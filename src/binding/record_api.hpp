// The private interface through which the companion extension (pelmora_tools._native) reaches the
// records inside this module's objects, in the manner of datetime's PyDateTime_CAPI: each module
// object carries a capsule, set in its exec step and kept out of __all__, that points to a table
// in that module object's state. The table's functions check classes against that module object's
// own classes, so an interpreter's companion sees the classes of the pelmora module it imported,
// whatever names the module's attributes are later bound to.
//
// The companion checks the capsule's name, the interface version and the record layout when it is
// imported, and refuses with ImportError when they disagree with what it was built against.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "models/records.hpp"

namespace pelmora::binding {

inline constexpr const char kCapiAttribute[] = "__pelmora_capi__";
// Double-underscored like Cython's __pyx_capi__: the module's own names stay exactly its public ones.
inline constexpr const char kCapiName[] = "pelmora.__pelmora_capi__";

// Raised whenever a member of RecordApi changes or a function's contract does.
inline constexpr uint32_t kCapiVersion = 1;
// Raised whenever a record of records.hpp (or a type it holds) changes its members: the companion
// reads the records' fields directly.
inline constexpr uint32_t kRecordLayoutVersion = 1;

// The records the classes hold, in the order of RecordApi::sizes and record_of's `which`.
enum class RecordClass : uint32_t { Edge, NetworkInstance, MultiCommoditySupplies, MultiCommodityData, Parsed };
inline constexpr uint32_t kRecordClasses = 5;

template <class Record>
inline constexpr RecordClass record_class_of = RecordClass(kRecordClasses);  // no class holds it
template <>
inline constexpr RecordClass record_class_of<models::Edge> = RecordClass::Edge;
template <>
inline constexpr RecordClass record_class_of<models::NetworkInstance> = RecordClass::NetworkInstance;
template <>
inline constexpr RecordClass record_class_of<models::MultiCommoditySupplies> = RecordClass::MultiCommoditySupplies;
template <>
inline constexpr RecordClass record_class_of<models::MultiCommodityData> = RecordClass::MultiCommodityData;
template <>
inline constexpr RecordClass record_class_of<models::ParsedMulticommodityInstance> = RecordClass::Parsed;

// The sizes of the records as this build lays them out: a second check beside the layout version,
// for a change that forgot to raise it.
inline constexpr uint32_t kRecordSizes[kRecordClasses] = {
    sizeof(models::Edge), sizeof(models::NetworkInstance), sizeof(models::MultiCommoditySupplies),
    sizeof(models::MultiCommodityData), sizeof(models::ParsedMulticommodityInstance)};

struct RecordApi {
    uint32_t version;        // kCapiVersion of the module's build
    uint32_t record_layout;  // kRecordLayoutVersion of the module's build
    uint32_t sizes[kRecordClasses];
    // The record inside `obj` when its exact class is this module object's class of `which`, else
    // null (no exception set; also once the module has been cleared). Needs the interpreter lock.
    const void* (*record_of)(const RecordApi* api, PyObject* obj, RecordClass which) noexcept;
    const void* context;  // the module object's state, for record_of
};

// The record inside `obj` when its exact class is the module's class of Record, else null.
template <class Record>
const Record* record_through(const RecordApi& api, PyObject* obj) noexcept {
    static_assert(uint32_t(record_class_of<Record>) < kRecordClasses, "no class holds this record");
    return static_cast<const Record*>(api.record_of(&api, obj, record_class_of<Record>));
}

}  // namespace pelmora::binding
