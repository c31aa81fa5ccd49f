// The generators' refusal of parameters whose network would not fit in memory, asked before any
// work so that the refusal comes in one line instead of a failed allocation midway.
#pragma once

#include <cstdint>
#include <string>

#include "core/outcome.hpp"
#include "utils/headroom.hpp"

namespace pelmora::tools {

// A value error "<what> need about N MiB, more than the M MiB of memory available" when `need`
// bytes pass what this process can still be given.
inline Outcome<void> check_memory(long double need, const std::string& what) {
    const uint64_t have = utils::allocatable_bytes();
    if (need > (long double)have)
        return Error::value(what + " need about " + std::to_string(uint64_t(need / (1 << 20))) +
                            " MiB, more than the " + std::to_string(have >> 20) + " MiB of memory available");
    return {};
}

}  // namespace pelmora::tools
