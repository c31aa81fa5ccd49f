// What the family generators share for writing: a file removed unless kept, and numbers in the
// shapes of C's printf ("%d", "%8d") and of a stream of precision 4 ("%.4g").
#pragma once

#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "core/outcome.hpp"
#include "io/buffered_file.hpp"
#include "utils/decimal_text.hpp"
#include "utils/os_error.hpp"

namespace pelmora::tools {

// A file being written: removed when destroyed before keep(), so that a failure, an interruption
// or a refusal found while writing leaves nothing behind.
class DraftFile {
public:
    // `named`: the file's path starts its error messages (where a caller writes several files).
    Outcome<void> open(std::string path, bool named) {
        if (path.find('\0') != std::string::npos) return Error::value(std::string(utils::kNulInPath));
        const int fd = io::open_for_writing(path);
        if (fd < 0) {
            if (errno == EINTR) return Error::interrupted();
            return Error::io((named ? path + ": " : std::string()) + utils::os_error_text(errno));
        }
        label_ = named ? path + ": " : std::string();
        path_ = std::move(path);
        out_ = std::make_unique<io::BufferedFile>(fd);
        return {};
    }
    DraftFile() = default;
    DraftFile(const DraftFile&) = delete;
    DraftFile& operator=(const DraftFile&) = delete;
    ~DraftFile() {
        if (!out_) return;
        out_.reset();
        if (!kept_) ::unlink(path_.c_str());
    }

    io::BufferedFile& out() noexcept { return *out_; }
    bool failed() const noexcept { return out_->failed(); }

    // Hands the file everything; the error when a write failed or a stop was asked for.
    Outcome<void> finish() {
        out_->finish();
        if (!out_->failed()) return {};
        if (out_->error().empty()) return Error::interrupted();
        return Error::io(label_ + out_->error());
    }
    void keep() noexcept { kept_ = true; }

private:
    std::string path_, label_;
    std::unique_ptr<io::BufferedFile> out_;
    bool kept_ = false;
};

// Room for a number of any of the shapes below.
inline constexpr std::size_t kFieldRoom = 32;

// printf's "%<width>d": right-aligned in `width` columns, wider when it must be.
inline char* put_padded(char* p, int64_t v, int width) noexcept {
    char text[kFieldRoom];
    const std::size_t length = std::size_t(utils::write_decimal(text, v) - text);
    if (int(length) < width) {
        std::memset(p, ' ', std::size_t(width) - length);
        p += std::size_t(width) - length;
    }
    std::memcpy(p, text, length);
    return p + length;
}

// A double as a C++ stream of precision 4 prints it (printf's "%.4g").
inline char* put_general4(char* p, double v) noexcept {
    return std::to_chars(p, p + kFieldRoom, v, std::chars_format::general, 4).ptr;
}

// What C's printf("%d") prints for a `long`: its low 32 bits, signed.
inline int64_t as_c_int(int64_t v) noexcept { return int64_t(int32_t(uint32_t(uint64_t(v)))); }

}  // namespace pelmora::tools
