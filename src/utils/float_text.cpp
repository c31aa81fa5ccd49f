#include "utils/float_text.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

namespace pelmora::utils {

std::string_view format_float(double value, char (&buffer)[kMaxFloatText]) noexcept {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";

    // The shortest round-trip digits come from the scientific form: "d[.ddd]e±x". Positional
    // shortest output from to_chars would spell large integers out exactly (99999999999999991611392
    // for 1e23) instead of padding the shortest digits with zeros.
    char sci[64];
    char* end = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific).ptr;
    const char* p = sci;
    char* out = buffer;
    if (*p == '-') *out++ = *p++;
    char digits[32];
    std::size_t n = 0;
    for (; p != end && *p != 'e'; ++p)
        if (*p != '.') digits[n++] = *p;
    // p is at the "e", which a sign and the exponent's digits follow.
    bool negative_exponent = p[1] == '-';
    int exponent = 0;
    for (const char* q = p + 2; q != end; ++q) exponent = exponent * 10 + (*q - '0');
    if (negative_exponent) exponent = -exponent;

    if (exponent < 0) {
        *out++ = '0';
        *out++ = '.';
        for (int i = 0; i < -exponent - 1; ++i) *out++ = '0';
        std::memcpy(out, digits, n);
        out += n;
    } else if (std::size_t(exponent) + 1 >= n) {
        std::memcpy(out, digits, n);
        out += n;
        for (std::size_t i = n; i < std::size_t(exponent) + 1; ++i) *out++ = '0';
    } else {
        std::size_t whole = std::size_t(exponent) + 1;
        std::memcpy(out, digits, whole);
        out += whole;
        *out++ = '.';
        std::memcpy(out, digits + whole, n - whole);
        out += n - whole;
    }
    return {buffer, std::size_t(out - buffer)};
}

}  // namespace pelmora::utils
