// The multi-commodity file writer (export_to_dimacs).
#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>
#include <span>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#include "utils/files.hpp"
#include "utils/float_text.hpp"
#include "utils/line_reader.hpp"

namespace pelmora::utils {

namespace {

using models::MultiCommodityData;
using models::NetworkInstance;

// Longest decimal text of a 64-bit integer, sign included.
constexpr std::size_t kMaxIntText = 20;

struct DigitPairs {
    char text[200];
    constexpr DigitPairs() : text() {
        for (int i = 0; i < 100; ++i) {
            text[2 * i] = char('0' + i / 10);
            text[2 * i + 1] = char('0' + i % 10);
        }
    }
};
constexpr DigitPairs kDigitPairs{};

constexpr uint64_t kPowersOf10[20] = {1ull, 10ull, 100ull, 1000ull, 10000ull, 100000ull, 1000000ull, 10000000ull,
                                      100000000ull, 1000000000ull, 10000000000ull, 100000000000ull,
                                      1000000000000ull, 10000000000000ull, 100000000000000ull,
                                      1000000000000000ull, 10000000000000000ull, 100000000000000000ull,
                                      1000000000000000000ull, 10000000000000000000ull};

// Number of decimal digits of v, without a data-dependent loop: log10 estimated from the bit
// length (1233 / 4096 ~ log10(2)), corrected by one comparison. (v | 1 has as many digits as v
// and is never 0.)
inline unsigned decimal_length(uint64_t v) noexcept {
    v |= 1;
    unsigned bits = 64 - unsigned(__builtin_clzll(v));
    unsigned estimate = (bits * 1233) >> 12;
    return estimate + (v >= kPowersOf10[estimate]);
}

// Decimal text of v at out, two digits per step from the end; returns the end of the text.
inline char* write_decimal(char* out, uint64_t v) noexcept {
    char* end = out + decimal_length(v);
    char* p = end;
    while (v >= 100) {
        unsigned pair = unsigned(v % 100);
        v /= 100;
        p -= 2;
        std::memcpy(p, kDigitPairs.text + 2 * pair, 2);
    }
    if (v >= 10) {
        p -= 2;
        std::memcpy(p, kDigitPairs.text + 2 * v, 2);
    } else {
        *--p = char('0' + v);
    }
    return end;
}

inline char* write_decimal(char* out, int64_t v) noexcept {
    if (v < 0) {
        *out++ = '-';
        return write_decimal(out, uint64_t(0) - uint64_t(v));
    }
    return write_decimal(out, uint64_t(v));
}

// Output through one 8192-byte buffer, handed to the file whenever it fills. The first failure
// sticks: later writes are dropped and the caller reports it.
class BufferedFile {
public:
    static constexpr std::size_t kCapacity = 8192;

    explicit BufferedFile(int fd) : fd_(fd) {}
    BufferedFile(const BufferedFile&) = delete;
    BufferedFile& operator=(const BufferedFile&) = delete;
    ~BufferedFile() { ::close(fd_); }

    bool failed() const noexcept { return !error_.empty(); }
    const std::string& error() const noexcept { return error_; }

    void put(char c) {
        if (used_ == kCapacity) flush();
        buffer_[used_++] = c;
    }
    void put(std::string_view text) {
        if (text.size() > kCapacity - used_) {
            flush();
            if (text.size() >= kCapacity) {
                write_all(text.data(), text.size());
                return;
            }
        }
        std::memcpy(buffer_ + used_, text.data(), text.size());
        used_ += text.size();
    }
    template <class Int>
    void put_int(Int value) {
        if (kCapacity - used_ < kMaxIntText) flush();
        used_ = std::size_t(write_decimal(buffer_ + used_, value) - buffer_);
    }
    // The values joined by single spaces.
    void put_joined(const int64_t* values, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) {
            if (kCapacity - used_ < kMaxIntText + 1) flush();
            char* out = buffer_ + used_;
            if (i) *out++ = ' ';
            used_ = std::size_t(write_decimal(out, values[i]) - buffer_);
        }
    }

    void flush() {
        if (used_ != 0) write_all(buffer_, used_);
        used_ = 0;
    }

private:
    void write_all(const char* data, std::size_t n) {
        while (n != 0 && error_.empty()) {
            ssize_t done = ::write(fd_, data, n);
            if (done < 0) {
                if (errno == EINTR) continue;
                error_ = os_error_text(errno);
            } else if (done == 0) {
                error_ = "failed to write whole buffer";
            } else {
                data += done;
                n -= std::size_t(done);
            }
        }
    }

    int fd_;
    std::size_t used_ = 0;
    std::string error_;
    char buffer_[kCapacity];
};

std::string misfit(const std::string& why) { return "data set does not fit the network: " + why; }

// The writer reads capacities_by_arc[a] and weights_by_arc[a] for every arc position a of the
// network, and the first value of each where a group is compressed. Checked before the file is
// touched, so that a mismatched pair of records never leaves a half-written or truncated file.
Outcome<void> check_fits(const NetworkInstance& instance, const MultiCommodityData& data, bool caps_expanded,
                         bool costs_expanded) {
    const uint64_t k = data.num_commodities;
    const uint64_t data_arcs = data.arcs.size();
    uint64_t values;
    if (__builtin_mul_overflow(data_arcs, k, &values) || data.arc_capacities.size() != values ||
        data.costs.size() != values)
        return Error::value(misfit("its per-arc capacity and cost lists do not hold K values per arc"));
    const models::ListMap& partition = data.supply_partition;
    bool partition_ok = partition.offsets.size() == partition.keys.size() + 1 && partition.offsets.front() == 0 &&
                        partition.offsets.back() == partition.values.size();
    for (std::size_t i = 1; partition_ok && i < partition.offsets.size(); ++i)
        partition_ok = partition.offsets[i - 1] <= partition.offsets[i];
    if (!partition_ok) return Error::value(misfit("its supply partition is malformed"));
    const uint64_t m = instance.edges.size();
    if (m > data_arcs)
        return Error::value(misfit("it holds capacities and costs for " + std::to_string(data_arcs) +
                                   " arcs, the network has " + std::to_string(m)));
    if (m != 0 && k == 0 && !(caps_expanded && costs_expanded))
        return Error::value(misfit(std::string("with 0 commodities the compressed ") +
                                   (caps_expanded ? "cost" : "capacity") + " group has no value to write"));
    return {};
}

}  // namespace

Outcome<void> export_to_dimacs(std::string_view path, const NetworkInstance& instance,
                               const MultiCommodityData& data) {
    const bool caps_expanded = data.randomized_capacities || data.cap_zero;
    const bool costs_expanded = data.randomized_weights;
    if (Outcome<void> fits = check_fits(instance, data, caps_expanded, costs_expanded); !fits) return fits;

    if (path.find('\0') != std::string_view::npos) return Error::io(std::string(kNulInPath));
    std::string c_path(path);
    int fd;
    do {
        fd = ::open(c_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return Error::io(os_error_text(errno));
    auto out = std::make_unique<BufferedFile>(fd);

    const uint64_t k = data.num_commodities;
    const uint64_t seed = (data.method == 1 && !data.randomized_capacities && !data.randomized_weights) ? 0 : data.seed;
    char float_text[kMaxFloatText];

    out->put("c Multicommodity flow generated by pelmora\n");
    out->put("p min ");
    out->put_int(instance.num_nodes);
    out->put(' ');
    out->put_int(instance.num_arcs);
    out->put(' ');
    out->put_int(k);
    out->put(data.randomized_capacities ? " 1 " : " 0 ");
    out->put(data.randomized_weights ? "1 " : "0 ");
    out->put_int(data.method);
    out->put(data.cap_zero ? " 1 " : " 0 ");
    out->put(format_float(data.cap_zero_param, float_text));
    out->put(' ');
    out->put_int(seed);
    out->put('\n');

    const models::ListMap& partition = data.supply_partition;
    for (std::size_t i = 0; i < partition.size() && !out->failed(); ++i) {
        std::span<const int64_t> row = partition.row(i);
        uint64_t total = 0;  // wraps like the release-mode sum of the original tool
        for (int64_t v : row) total += uint64_t(v);
        out->put("n ");
        out->put_int(partition.keys[i]);
        out->put(' ');
        out->put_int(int64_t(total));
        out->put(' ');
        out->put_joined(row.data(), row.size());
        out->put('\n');
    }

    const std::size_t cap_count = caps_expanded ? k : 1;
    const std::size_t cost_count = costs_expanded ? k : 1;
    const std::size_t m = instance.edges.size();
    for (std::size_t a = 0; a < m; ++a) {
        const models::Edge& e = instance.edges[a];
        out->put("a ");
        out->put_int(e.tail);
        out->put(' ');
        out->put_int(e.head);
        out->put(' ');
        out->put_int(e.low);
        out->put(' ');
        out->put_int(e.up);
        out->put(' ');
        out->put_joined(data.arc_capacities.data() + a * k, cap_count);
        out->put(' ');
        out->put_joined(data.costs.data() + a * k, cost_count);
        out->put('\n');
        if ((a & 1023) == 0 && out->failed()) break;
    }
    out->flush();
    if (out->failed()) return Error::io(out->error());
    return {};
}

}  // namespace pelmora::utils
