#include "io/record_lines.hpp"

namespace pelmora::io {

Error line_error(uint64_t line_number, std::string_view text) {
    std::string out = "line " + std::to_string(line_number) + ": ";
    out += text;
    return Error::io(std::move(out));
}

Error token_error(utils::ParseStatus status, uint64_t line_number, std::string_view line_kind, std::string_view what,
                  std::size_t token) {
    if (status != utils::ParseStatus::missing) return Error::io(std::string(utils::parse_message(status)));
    std::string text(line_kind);
    text += " line is missing the ";
    text += what;
    text += " (token " + std::to_string(token) + ")";
    return line_error(line_number, text);
}

}  // namespace pelmora::io
