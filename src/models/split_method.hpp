// How a split shares each node's supply or demand among the commodities. The numbers are the
// module's `method` argument and the method field of a multicommodity file's problem line; a new
// method takes the next number (and a row in pelmora_tools/methods.py).
#pragma once

#include <cstdint>
#include <optional>

namespace pelmora::models {

enum class SplitMethod : int64_t {
    spread = 0,         // K - 1 seeded uniform cut points in each total
    uniform = 1,        // K equal shares, the remainders dealt round the commodities; no draws
    beta_binomial = 2,  // seeded beta-binomial cuts
};

// The method numbered `number`, or nothing where no method has that number.
constexpr std::optional<SplitMethod> split_method_from(int64_t number) noexcept {
    switch (number) {
        case int64_t(SplitMethod::spread): return SplitMethod::spread;
        case int64_t(SplitMethod::uniform): return SplitMethod::uniform;
        case int64_t(SplitMethod::beta_binomial): return SplitMethod::beta_binomial;
        default: return std::nullopt;
    }
}

constexpr int64_t number_of(SplitMethod method) noexcept { return static_cast<int64_t>(method); }

}  // namespace pelmora::models
