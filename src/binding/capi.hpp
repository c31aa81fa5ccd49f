// Sets up the record interface of binding/record_api.hpp on a module object.
#pragma once

#include "binding/module_state.hpp"

namespace pelmora::binding {

// Fills the state's RecordApi and sets the capsule that points to it as the module's
// kCapiAttribute (not in __all__). Call once the state's classes exist. -1 with an
// exception set on failure.
int add_record_api(PyObject* module, ModuleState& state);

}  // namespace pelmora::binding
