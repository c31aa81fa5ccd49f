#include "utils/numbers.hpp"

#include <cmath>
#include <cstdlib>
#include <limits>
#include <locale.h>
#include <string>

namespace pelmora::utils {

std::string_view parse_message(ParseStatus status) noexcept {
    switch (status) {
        case ParseStatus::empty: return "cannot parse integer from empty string";
        case ParseStatus::invalid_digit: return "invalid digit found in string";
        case ParseStatus::too_large: return "number too large to fit in target type";
        case ParseStatus::too_small: return "number too small to fit in target type";
        case ParseStatus::ok:
        case ParseStatus::missing: break;
    }
    return "";
}

std::string_view float_parse_message(ParseStatus status) noexcept {
    return status == ParseStatus::empty ? "cannot parse float from empty string" : "invalid float literal";
}

namespace {

bool equals_ignoring_case(std::string_view text, std::string_view lower) noexcept {
    if (text.size() != lower.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
        if (c != lower[i]) return false;
    }
    return true;
}

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

locale_t c_locale() noexcept {
    // strtod follows the process locale's decimal point; the file format always uses ".".
    static const locale_t locale = newlocale(LC_ALL_MASK, "C", locale_t(nullptr));
    return locale;
}

}  // namespace

ParseStatus parse_f64(std::string_view token, double& out) noexcept {
    if (token.empty()) return ParseStatus::empty;
    std::size_t i = 0;
    bool negative = false;
    if (token[0] == '+' || token[0] == '-') {
        negative = token[0] == '-';
        i = 1;
    }
    std::string_view rest = token.substr(i);
    if (equals_ignoring_case(rest, "inf") || equals_ignoring_case(rest, "infinity")) {
        out = negative ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
        return ParseStatus::ok;
    }
    if (equals_ignoring_case(rest, "nan")) {
        out = std::copysign(std::numeric_limits<double>::quiet_NaN(), negative ? -1.0 : 1.0);
        return ParseStatus::ok;
    }
    std::size_t digits = 0;
    while (i < token.size() && is_digit(token[i])) ++i, ++digits;
    if (i < token.size() && token[i] == '.') {
        ++i;
        while (i < token.size() && is_digit(token[i])) ++i, ++digits;
    }
    if (digits == 0) return ParseStatus::invalid_digit;
    if (i < token.size() && (token[i] == 'e' || token[i] == 'E')) {
        ++i;
        if (i < token.size() && (token[i] == '+' || token[i] == '-')) ++i;
        std::size_t exponent_digits = 0;
        while (i < token.size() && is_digit(token[i])) ++i, ++exponent_digits;
        if (exponent_digits == 0) return ParseStatus::invalid_digit;
    }
    if (i != token.size()) return ParseStatus::invalid_digit;
    // The text is now known to be plain decimal, which glibc's strtod rounds correctly, saturating
    // to an infinity or a zero outside the range like the format asks.
    std::string text(token);
    out = strtod_l(text.c_str(), nullptr, c_locale());
    return ParseStatus::ok;
}

}  // namespace pelmora::utils
