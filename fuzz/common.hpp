// Shared by the fuzz targets: an in-memory file with a path (memfd), the reference reader
// (reference_reader.hpp), and the checks of the records' invariants. A failed check aborts, which
// libFuzzer reports as a crash with the input saved.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

#include "core/outcome.hpp"
#include "models/records.hpp"
#include "reference_reader.hpp"

namespace fuzz {

[[noreturn]] inline void fail(const char* what, const std::string& detail = {}) {
    std::fprintf(stderr, "fuzz check failed: %s%s%s\n", what, detail.empty() ? "" : ": ", detail.c_str());
    std::fflush(stderr);
    std::abort();
}

#define FUZZ_CHECK(cond, ...)                                        \
    do {                                                             \
        if (!(cond)) ::fuzz::fail(#cond __VA_OPT__(, ) __VA_ARGS__); \
    } while (0)

// A file that lives in memory and is reachable by path (/proc/self/fd/N), created once per
// process and rewritten for every input. Opening the path gives a fresh offset each time, and
// creating it for writing truncates the same memory file.
class MemFile {
public:
    explicit MemFile(const char* name) {
        fd_ = memfd_create(name, 0);
        if (fd_ < 0) fail("memfd_create");
        path_ = "/proc/self/fd/" + std::to_string(fd_);
    }
    ~MemFile() { ::close(fd_); }
    MemFile(const MemFile&) = delete;
    MemFile& operator=(const MemFile&) = delete;

    const std::string& path() const { return path_; }

    void write(const uint8_t* data, std::size_t size) {
        if (ftruncate(fd_, 0) != 0) fail("ftruncate");
        std::size_t done = 0;
        while (done < size) {
            ssize_t n = pwrite(fd_, data + done, size - done, off_t(done));
            if (n <= 0) fail("pwrite");
            done += std::size_t(n);
        }
    }

    std::string read_all() const {
        std::string out;
        char buf[8192];
        off_t at = 0;
        for (;;) {
            ssize_t n = pread(fd_, buf, sizeof buf, at);
            if (n < 0) fail("pread");
            if (n == 0) break;
            out.append(buf, std::size_t(n));
            at += n;
        }
        return out;
    }

private:
    int fd_ = -1;
    std::string path_;
};

// ---------------------------------------------------------------------------------------------
// Checks shared by the targets.

// Error texts a reader may give for an in-memory file: the integer and float messages, invalid
// UTF-8, and the implementer's message for a short line ("line N: ... is missing ...").
inline bool is_reader_message(const std::string& m) {
    static const char* const fixed[] = {kInvalidDigit,
                                        kTooLarge,
                                        kTooSmall,
                                        kInvalidUtf8,
                                        kInvalidFloat,
                                        "cannot parse integer from empty string",
                                        "cannot parse float from empty string"};
    for (const char* f : fixed)
        if (m == f) return true;
    return m.rfind("line ", 0) == 0;
}

inline std::string describe(int64_t a, int64_t b) { return std::to_string(a) + " vs " + std::to_string(b); }

// The order of arc positions by (tail, head, position), as arc_indices lists them.
template <class Arcs, class Tail, class Head>
pelmora::models::PairOrder pair_order_of(const Arcs& arcs, Tail tail, Head head) {
    pelmora::models::PairOrder order(arcs.size());
    for (std::size_t p = 0; p < order.size(); ++p) order[p] = p;
    std::stable_sort(order.begin(), order.end(), [&](uint64_t x, uint64_t y) {
        return std::pair(tail(arcs[x]), head(arcs[x])) < std::pair(tail(arcs[y]), head(arcs[y]));
    });
    return order;
}

template <class Arcs, class Tail, class Head>
uint64_t parallel_pairs_of(const Arcs& arcs, Tail tail, Head head) {
    std::map<std::pair<int64_t, int64_t>, int> count;
    for (const auto& a : arcs) ++count[{tail(a), head(a)}];
    uint64_t n = 0;
    for (const auto& [pair, c] : count) n += c >= 2;
    return n;
}

inline void check_supply_map(const pelmora::models::SupplyMap& got, const std::map<int64_t, int64_t>& want) {
    FUZZ_CHECK(got.nodes.size() == got.totals.size());
    FUZZ_CHECK(got.size() == want.size(), describe(int64_t(got.size()), int64_t(want.size())));
    std::size_t i = 0;
    for (const auto& [node, total] : want) {
        FUZZ_CHECK(got.nodes[i] == node && got.totals[i] == total, "supply entry " + std::to_string(i));
        ++i;
    }
}

inline void check_list_map(const pelmora::models::ListMap& got, const std::map<int64_t, std::vector<int64_t>>& want) {
    FUZZ_CHECK(got.offsets.size() == got.keys.size() + 1 && got.offsets[0] == 0);
    FUZZ_CHECK(got.offsets.back() == got.values.size());
    FUZZ_CHECK(got.size() == want.size(), describe(int64_t(got.size()), int64_t(want.size())));
    std::size_t i = 0;
    for (const auto& [key, values] : want) {
        FUZZ_CHECK(got.keys[i] == key, "list map key " + std::to_string(i));
        auto row = got.row(i);
        FUZZ_CHECK(std::equal(row.begin(), row.end(), values.begin(), values.end()),
                   "list map row " + std::to_string(i));
        ++i;
    }
}

// The reader's outcome against the reference's: the same result (by `compare`), the same error
// message, a short-line error in the implementer's words ("line N: ..."), or, where the format
// leaves it open, anything but a crash.
template <class Result, class Compare>
void check_outcome(pelmora::Outcome<Result>& got, const RefFile& want, Compare compare) {
    if (!got.ok()) FUZZ_CHECK(got.error().kind == pelmora::Error::Kind::Io && !got.error().message.empty());
    switch (want.expect) {
        case Expect::ok:
            FUZZ_CHECK(got.ok(), "reader failed where the reference succeeded: " + got.error().message);
            compare(got.value(), want);
            break;
        case Expect::error:
            FUZZ_CHECK(!got.ok(), "reader succeeded, expected: " + want.message);
            FUZZ_CHECK(got.error().message == want.message, got.error().message + " | expected " + want.message);
            break;
        case Expect::short_line:
            FUZZ_CHECK(!got.ok(), "reader accepted a short line");
            FUZZ_CHECK(got.error().message.rfind("line ", 0) == 0, got.error().message);
            break;
        case Expect::free: break;
    }
}

inline bool same_double(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    return std::memcmp(&a, &b, sizeof a) == 0;
}

}  // namespace fuzz
