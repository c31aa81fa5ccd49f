// The text every failed system call is shown with.
#pragma once

#include <string>
#include <string_view>

namespace pelmora::utils {

// "<strerror text> (os error N)".
std::string os_error_text(int errnum);

// A path is handed to the system as a C string, which cannot hold a NUL.
inline constexpr std::string_view kNulInPath = "file name contained an unexpected NUL byte";

}  // namespace pelmora::utils
