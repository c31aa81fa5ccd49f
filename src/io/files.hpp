// The file routines: the single-commodity reader, the multi-commodity writer and reader.
// Each returns its result or an Error (Kind::Io for every reading or writing failure, with the
// display text the module raises unchanged; Kind::Value for a data set that does not fit its
// network, refused by the writer before the file is touched).
#pragma once

#include <string_view>

#include "core/outcome.hpp"
#include "models/records.hpp"

namespace pelmora::io {

// `path` is the UTF-8 text of the Python str (it may hold NUL characters, which are refused).
Outcome<models::NetworkInstance> parse_min(std::string_view path);
Outcome<void> export_to_dimacs(std::string_view path, const models::NetworkInstance& instance,
                               const models::MultiCommodityData& multi_data);
// With `lows`, each arc's LOW field must be an integer and is appended there in file order.
Outcome<models::ParsedMulticommodityInstance> parse_multi_min(std::string_view path,
                                                              models::CommodityValues* lows = nullptr);

}  // namespace pelmora::io
