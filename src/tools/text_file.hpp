// A text file written whole or reported: created, handed to a BufferedFile, finished and checked.
#pragma once

#include <cerrno>
#include <memory>
#include <string>

#include "core/outcome.hpp"
#include "io/buffered_file.hpp"
#include "utils/os_error.hpp"

namespace pelmora::tools {

// The file that could not be created, with the errno of the attempt (0 when every file opened).
struct OpenFailure {
    int errnum = 0;
    std::string path;
};

// Creates `path` and writes it through body(file). An Io error names a failed write; when the
// file could not be created, `failure` says which and why. The buffers are a fixed few (the
// BufferedFile's ring), whatever the file's size.
template <class Body>
Outcome<void> write_text_file(const std::string& path, OpenFailure& failure, Body&& body) {
    const int fd = io::open_for_writing(path);
    if (fd < 0) {
        if (errno == EINTR) return Error::interrupted();
        failure = {errno, path};
        return Error::io(utils::os_error_text(failure.errnum));
    }
    auto out = std::make_unique<io::BufferedFile>(fd);
    body(*out);
    out->finish();
    if (out->failed()) return Error::io(out->error());
    return {};
}

}  // namespace pelmora::tools
