// The loop both DIMACS readers share: every line whose first token is a single letter other than
// "c" is a record, handed to the reader's handler with the cursor on its second token; every
// other line is ignored. Also the messages that name a line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "core/outcome.hpp"
#include "io/line_reader.hpp"
#include "utils/numbers.hpp"
#include "io/tokens.hpp"

namespace pelmora::io {

// "line N: <text>".
Error line_error(uint64_t line_number, std::string_view text);

// The error for a token that failed with `status`: the integer message, or, for a line that ends
// before the token, e.g. "line 7: arc line is missing the cost (token 5)" (tokens count from 0 at
// the line's letter).
Error token_error(utils::ParseStatus status, uint64_t line_number, std::string_view line_kind, std::string_view what,
                  std::size_t token);

inline constexpr std::string_view kLineOutOfMemory = "not enough memory left to read this line";

// Calls on_record(letter, tokens) -> Outcome<void> for every record line of the open `reader` in
// file order; the first failure ends the read. An allocation that fails while a line is handled
// ends it with that line's error rather than leaving the process short of memory.
// Before each line, in_place(reader) -> bool may read it and the lines after it straight from
// the reader's buffer (LineReader::unread) and say so; the lines it leaves go to on_record.
template <class OnRecord, class InPlace>
Outcome<void> read_open_records(LineReader& reader, OnRecord&& on_record, InPlace&& in_place) {
    // Lines handed out by next() are counted before they are handled; lines read in place after.
    bool counted = false;
    try {
        Line line;
        for (;;) {
            counted = false;
            if (in_place(reader)) continue;
            LineReader::Next next = reader.next(line);
            if (next != LineReader::Next::line) [[unlikely]] {
                if (next == LineReader::Next::end) return {};
                if (next == LineReader::Next::interrupted) return Error::interrupted();
                return Error::io(reader.error());
            }
            counted = true;
            Tokens tokens(line);
            std::string_view first;
            if (!tokens.next(first) || first[0] == 'c' || first.size() != 1) continue;
            if (Outcome<void> done = on_record(first[0], tokens); !done) [[unlikely]]
                return done;
        }
    } catch (const std::bad_alloc&) {
        return line_error(reader.line_number() + (counted ? 0 : 1), kLineOutOfMemory);
    }
}

template <class OnRecord>
Outcome<void> read_open_records(LineReader& reader, OnRecord&& on_record) {
    return read_open_records(reader, std::forward<OnRecord>(on_record), [](LineReader&) { return false; });
}

// As read_open_records, opening `path` in `reader` first.
template <class OnRecord>
Outcome<void> read_records(LineReader& reader, std::string_view path, OnRecord&& on_record) {
    if (!reader.open(path)) return Error::io(reader.error());
    return read_open_records(reader, std::forward<OnRecord>(on_record));
}

}  // namespace pelmora::io
