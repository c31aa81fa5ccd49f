// The companion's side of the pelmora module's record interface (binding/record_api.hpp): taking
// it at import, and making the module's objects from plain records. Generators that build a
// network in memory (NETGEN today) hand it to network_object instead of writing and reading a file.
#pragma once

#include "models/network_lines.hpp"
#include "tools/native_support.hpp"

namespace pelmora::tools::native {

// Imports pelmora in the calling interpreter and takes its record interface, refusing one built
// for other records or another contract. -1 with ImportError (or the import's error) set.
int bind_records(State& state);

// A new pelmora.NetworkInstance of the bound module: the instance load_min_instance reads from a
// ".min" file of `lines`. Null with an exception set. Needs the interpreter lock.
PyObject* network_object(const State& state, const models::NetworkLines& lines);

}  // namespace pelmora::tools::native
