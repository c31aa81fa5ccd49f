#include "utils/os_error.hpp"

#include <cstring>

namespace pelmora::utils {

std::string os_error_text(int errnum) {
    char buffer[256];
    // The GNU strerror_r may return a static string instead of filling the buffer.
    const char* text = strerror_r(errnum, buffer, sizeof buffer);
    std::string out(text);
    out += " (os error ";
    out += std::to_string(errnum);
    out += ')';
    return out;
}

}  // namespace pelmora::utils
