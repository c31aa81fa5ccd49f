// Float display for the multi-commodity file: the shortest decimal text that reads back as the
// same 64-bit float, written out in positional notation (never with an exponent); "NaN", "inf",
// "-inf"; a value without fractional part has no decimal point ("-0" for negative zero).
#pragma once

#include <cstddef>
#include <string_view>

namespace pelmora::utils {

// Enough for the longest positional text: a sign, "0." and 323 zeros before the digits of the
// smallest subnormal, or the 309 digits of the largest finite value.
inline constexpr std::size_t kMaxFloatText = 400;

std::string_view format_float(double value, char (&buffer)[kMaxFloatText]) noexcept;

}  // namespace pelmora::utils
