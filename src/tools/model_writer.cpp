#include "tools/model_writer.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "tools/node_numbers.hpp"
#include "io/buffered_file.hpp"
#include "utils/decimal_text.hpp"
#include "utils/os_error.hpp"

namespace pelmora::tools {

namespace {

using io::BufferedFile;
using utils::write_decimal;
using utils::write_decimal_wide;

// Room asked for each line: a name (letter, digits, "lo"/"up"), a keyword and up to two
// (row, value) pairs, or one term of a row, with the formatters' slack after it.
constexpr std::size_t kName = 1 + utils::kMaxIntText + 2;
constexpr std::size_t kLine = 16 + 3 * (kName + 2 + utils::kMaxIntText) + BufferedFile::kSlack;
// Terms per line of an LP row, so that lines stay short for readers that limit them.
constexpr unsigned kTermsPerLine = 8;

enum class Bundle { Equal, Range, Split };

struct Model {
    const MnetgenColumns& c;
    std::span<const int64_t> low;
    bool bundle;
    std::size_t n = 0, m = 0;
    uint64_t k = 0;
    std::vector<int64_t> ends;  // node numbers 1..n: tails, then heads

    int64_t tail(std::size_t a) const noexcept { return ends[a] - 1; }
    int64_t head(std::size_t a) const noexcept { return ends[m + a] - 1; }
    bool loop(std::size_t a) const noexcept { return ends[a] == ends[m + a]; }
    uint64_t bundle_row(std::size_t a) const noexcept { return n * k + a; }
    Bundle kind(std::size_t a) const noexcept {
        return low[a] == c.up[a] ? Bundle::Equal : low[a] < c.up[a] ? Bundle::Range : Bundle::Split;
    }
    // A column with no entry in any row: a loop's flow (its two balance entries cancel) unbundled.
    bool empty_column(std::size_t a) const noexcept { return !bundle && loop(a); }
};

// std::copy rather than memcpy: an empty view may hold a null pointer, which memcpy must not get.
char* put(char* p, std::string_view text) noexcept { return std::copy(text.begin(), text.end(), p); }

char* name(char* p, char letter, uint64_t number) noexcept {
    *p++ = letter;
    return write_decimal_wide(p, int64_t(number));
}

// Stops a long loop once the file has failed or a stop was asked (the buffer's flush polls).
bool stopping(BufferedFile& out, uint64_t i) noexcept { return (i & 4095) == 0 && out.failed(); }

// --- free MPS ------------------------------------------------------------------------------------

// The (row, value) entries of one column, two to a line, each row named in place.
class ColumnLines {
public:
    explicit ColumnLines(BufferedFile& out) : out_(out) {}
    void start(uint64_t column) noexcept { head_size_ = std::size_t(name(head_, 'c', column) - head_); }
    void objective(int64_t value) { value_at(put(lead(), "Obj"), value); }
    void entry(uint64_t row, int64_t value, std::string_view suffix = {}) {
        value_at(put(name(lead(), 'r', row), suffix), value);
    }
    void finish() noexcept {
        if (half_) end();
        half_ = false;
    }

private:
    // Where the next row's name goes: after the column's name on a new line, or after the first pair.
    char* lead() {
        if (!half_) {
            p_ = put(out_.line_room(kLine), "    ");
            std::memcpy(p_, head_, sizeof head_);
            p_ += head_size_;
        }
        *p_++ = ' ';
        return p_;
    }
    void value_at(char* p, int64_t value) {
        *p++ = ' ';
        p_ = write_decimal_wide(p, value);
        if (half_) end();
        half_ = !half_;
    }
    void end() noexcept {
        *p_++ = '\n';
        out_.end_line(p_);
    }
    BufferedFile& out_;
    char head_[kName + BufferedFile::kSlack];
    std::size_t head_size_ = 0;
    char* p_ = nullptr;
    bool half_ = false;
};

void mps_line(BufferedFile& out, std::string_view lead, char letter, uint64_t number, std::string_view suffix,
              std::string_view tail = {}) {
    char* p = put(out.line_room(kLine), lead);
    p = put(name(p, letter, number), suffix);
    p = put(p, tail);
    *p++ = '\n';
    out.end_line(p);
}

void mps_value_line(BufferedFile& out, std::string_view lead, char letter, uint64_t number, std::string_view suffix,
                    int64_t value) {
    char* p = put(out.line_room(kLine), lead);
    p = put(name(p, letter, number), suffix);
    *p++ = ' ';
    p = write_decimal_wide(p, value);
    *p++ = '\n';
    out.end_line(p);
}

void mps_columns(BufferedFile& out, const Model& d) {
    ColumnLines lines(out);
    for (std::size_t a = 0; a < d.m && !stopping(out, a); ++a) {
        for (uint64_t k = 0; k < d.k; ++k) {
            const uint64_t j = a * d.k + k;
            lines.start(j);
            const int64_t cost = d.c.costs[j];
            if (cost != 0 || d.empty_column(a)) lines.objective(cost);
            if (!d.loop(a)) {
                lines.entry(k * d.n + uint64_t(d.tail(a)), 1);
                lines.entry(k * d.n + uint64_t(d.head(a)), -1);
            }
            if (d.bundle) {
                lines.entry(d.bundle_row(a), 1);
                if (d.kind(a) == Bundle::Split) lines.entry(d.bundle_row(a), 1, "up");
            }
            lines.finish();
        }
    }
}

void write_mps(BufferedFile& out, const Model& d) {
    out.put("NAME\nROWS\n N  Obj\n");
    for (uint64_t i = 0; i < d.n * d.k && !stopping(out, i); ++i) mps_line(out, " E  ", 'r', i, {});
    if (d.bundle) {
        for (std::size_t a = 0; a < d.m && !stopping(out, a); ++a)
            mps_line(out, d.kind(a) == Bundle::Equal ? " E  " : " G  ", 'r', d.bundle_row(a), {});
        for (std::size_t a = 0; a < d.m && !stopping(out, a); ++a)
            if (d.kind(a) == Bundle::Split) mps_line(out, " L  ", 'r', d.bundle_row(a), "up");
    }
    out.put("COLUMNS\n");
    mps_columns(out, d);
    out.put("RHS\n");
    for (uint64_t k = 0; k < d.k && !out.failed(); ++k)
        for (std::size_t i = 0; i < d.n; ++i)
            if (const int64_t s = d.c.supplies[i * d.k + k]; s != 0)
                mps_value_line(out, "    RHS ", 'r', k * d.n + i, {}, s);
    if (d.bundle) {
        bool ranged = false;
        for (std::size_t a = 0; a < d.m && !stopping(out, a); ++a) {
            if (d.low[a] != 0) mps_value_line(out, "    RHS ", 'r', d.bundle_row(a), {}, d.low[a]);
            if (d.kind(a) == Bundle::Split && d.c.up[a] != 0)
                mps_value_line(out, "    RHS ", 'r', d.bundle_row(a), "up", d.c.up[a]);
            ranged = ranged || d.kind(a) == Bundle::Range;
        }
        if (ranged) out.put("RANGES\n");
        for (std::size_t a = 0; a < d.m && ranged && !stopping(out, a); ++a) {
            if (d.kind(a) != Bundle::Range) continue;
            // A G row's range R allows [rhs, rhs + |R|]; up - low may pass INT64_MAX, not UINT64_MAX.
            char* p = put(out.line_room(kLine), "    RNG ");
            p = put(name(p, 'r', d.bundle_row(a)), " ");
            p = write_decimal(p, uint64_t(d.c.up[a]) - uint64_t(d.low[a]));
            *p++ = '\n';
            out.end_line(p);
        }
    }
    out.put("BOUNDS\n");
    for (uint64_t j = 0; j < d.m * d.k && !stopping(out, j); ++j) {
        const int64_t cap = d.c.capacities[j];
        mps_value_line(out, " UP BND ", 'c', j, {}, cap);
        // A negative UP bound over the default lower bound 0 makes readers free the column from
        // below; the lower bound set after it keeps the column's [0, cap], empty as in the model.
        if (cap < 0) mps_line(out, " LO BND ", 'c', j, {}, " 0");
    }
    out.put("ENDATA\n");
}

// --- CPLEX LP ------------------------------------------------------------------------------------

// LP expressions, a few terms to a line. The cursor lives in the caller's local variable and
// passes through these functions: kept in a member, it would be stored and loaded again around
// every byte written through it (a char store may alias any object), which costs a third of the
// time of writing a term.
class Terms {
public:
    explicit Terms(BufferedFile& out) : out_(out) {}
    // Starts the expression with its name (a row's, or the objective's).
    char* begin(char* p, std::string_view lead, char letter, uint64_t number, std::string_view suffix) {
        p = put(out_.room_at(p, kRoom), lead);
        if (letter != 0) p = put(put(name(p, letter, number), suffix), ":");
        count_ = 0;
        return p;
    }
    char* add(char* p, int64_t coefficient, uint64_t column, bool unit) {
        if (count_ != 0 && count_ % kTermsPerLine == 0) p = put(out_.room_at(p, kRoom), "\n ");
        *p++ = ' ';
        *p++ = coefficient < 0 ? '-' : '+';
        if (!unit) {
            const uint64_t magnitude = coefficient < 0 ? uint64_t(0) - uint64_t(coefficient) : uint64_t(coefficient);
            p = magnitude <= uint64_t(INT64_MAX) ? write_decimal_wide(p, int64_t(magnitude))
                                                 : write_decimal(p, magnitude);
            *p++ = ' ';
        }
        ++count_;
        return name(p, 'c', column);
    }
    // Ends the expression, after " 0 c0" when it has no term (the format has no empty
    // expressions; the zero term leaves it as it is), with a relation and right-hand side if any.
    char* end(char* p, std::string_view relation = {}, int64_t rhs = 0) {
        if (count_ == 0) p = put(p, " 0 c0");
        if (!relation.empty()) p = write_decimal_wide(put(p, relation), rhs);
        *p++ = '\n';
        return p;
    }

private:
    // A line's name, its terms and its relation, each term at most a sign, a coefficient and a name.
    static constexpr std::size_t kRoom = 2 * kLine + kTermsPerLine * (4 + utils::kMaxIntText + kName);
    BufferedFile& out_;
    unsigned count_ = 0;
};

// The arcs that are not loops grouped by one of their ends: first[i]..first[i + 1] index `arcs`
// for node i. The rows then read their arcs in order, never the arcs' ends at random.
struct Incidence {
    std::vector<std::size_t> first, arcs;
};

Incidence incidence(const Model& d, bool by_tail) {
    Incidence in{std::vector<std::size_t>(d.n + 1, 0), {}};
    auto end_of = [&](std::size_t a) { return std::size_t(by_tail ? d.tail(a) : d.head(a)); };
    for (std::size_t a = 0; a < d.m; ++a)
        if (!d.loop(a)) ++in.first[end_of(a) + 1];
    for (std::size_t i = 0; i < d.n; ++i) in.first[i + 1] += in.first[i];
    in.arcs.resize(in.first[d.n]);
    std::vector<std::size_t> next(in.first.begin(), in.first.end() - 1);
    for (std::size_t a = 0; a < d.m; ++a)
        if (!d.loop(a)) in.arcs[next[end_of(a)]++] = a;
    return in;
}

char* lp_balance_rows(BufferedFile& out, char* p, const Model& d) {
    const Incidence leaving = incidence(d, true), entering = incidence(d, false);
    const std::size_t* leaving_arcs = leaving.arcs.data();
    const std::size_t* entering_arcs = entering.arcs.data();
    const int64_t* supplies = d.c.supplies.data();
    const std::size_t n = d.n;
    const uint64_t commodities = d.k;
    Terms terms(out);
    for (uint64_t k = 0; k < commodities && !out.failed(); ++k) {
        for (std::size_t i = 0; i < n && !stopping(out, i); ++i) {
            p = terms.begin(p, " ", 'r', k * n + i, {});
            for (std::size_t e = leaving.first[i], last = leaving.first[i + 1]; e < last; ++e)
                p = terms.add(p, 1, leaving_arcs[e] * commodities + k, true);
            for (std::size_t e = entering.first[i], last = entering.first[i + 1]; e < last; ++e)
                p = terms.add(p, -1, entering_arcs[e] * commodities + k, true);
            p = terms.end(p, " = ", supplies[i * commodities + k]);
        }
    }
    return p;
}

char* lp_bundle_rows(BufferedFile& out, char* p, const Model& d) {
    Terms terms(out);
    const uint64_t commodities = d.k;
    for (std::size_t a = 0; a < d.m && !stopping(out, a); ++a) {
        const bool equal = d.kind(a) == Bundle::Equal;
        for (int part = 0; part < (equal ? 1 : 2); ++part) {
            p = terms.begin(p, " ", 'r', d.bundle_row(a), equal ? "" : part == 0 ? "lo" : "up");
            for (uint64_t k = 0; k < commodities; ++k) p = terms.add(p, 1, a * commodities + k, true);
            if (equal) p = terms.end(p, " = ", d.low[a]);
            else if (part == 0) p = terms.end(p, " >= ", d.low[a]);
            else p = terms.end(p, " <= ", d.c.up[a]);
        }
    }
    return p;
}

void write_lp(BufferedFile& out, const Model& d) {
    out.put("\\ Multicommodity min-cost flow\nMinimize\n");
    Terms objective(out);
    char* p = objective.begin(out.line_room(0), " obj:", 0, 0, {});
    const int64_t* costs = d.c.costs.data();
    const uint64_t commodities = d.k;
    for (std::size_t a = 0; a < d.m && !stopping(out, a); ++a) {
        for (uint64_t k = 0; k < commodities; ++k) {
            // A column in no row is named here, at cost 0 if need be, so that the reader knows it.
            const int64_t cost = costs[a * commodities + k];
            if (cost != 0 || d.empty_column(a)) p = objective.add(p, cost, a * commodities + k, false);
        }
    }
    p = objective.end(p);  // " 0 c0" if empty: GLPK reads no empty objective
    p = put(out.room_at(p, kLine), "Subject To\n");
    p = lp_balance_rows(out, p, d);
    if (d.bundle) p = lp_bundle_rows(out, p, d);
    p = put(out.room_at(p, kLine), "Bounds\n");
    const int64_t* caps = d.c.capacities.data();
    for (uint64_t j = 0, columns = d.m * commodities; j < columns && !stopping(out, j); ++j) {
        const int64_t cap = caps[j];
        p = put(out.room_at(p, kLine), cap < 0 ? " 0 <= " : " ");
        p = put(name(p, 'c', j), " <= ");
        p = write_decimal_wide(p, cap);
        *p++ = '\n';
    }
    p = put(out.room_at(p, kLine), "End\n");
    out.end_line(p);
}

}  // namespace

Outcome<void> write_model_file(std::string_view path, ModelFormat format, const MnetgenColumns& columns,
                               std::span<const int64_t> low, bool bundle, OpenFailure& failure) {
    if (Outcome<void> checked = check_columns(columns); !checked) return checked;
    if (low.size() != columns.tails.size())
        return Error::value("low holds " + std::to_string(low.size()) + " values, expected " +
                            std::to_string(columns.tails.size()) + " (one per arc, as tails)");
    if (path.find('\0') != std::string_view::npos) return Error::value(std::string(utils::kNulInPath));
    Outcome<std::vector<int64_t>> ends = number_ends(columns.node_ids, columns.tails, columns.heads);
    if (!ends) return ends.error();
    Model model{columns,
                low,
                bundle,
                columns.node_ids.size(),
                columns.tails.size(),
                columns.num_commodities,
                std::move(ends).value()};
    return write_text_file(std::string(path), failure, [&](BufferedFile& out) {
        if (format == ModelFormat::Mps) write_mps(out, model);
        else write_lp(out, model);
    });
}

}  // namespace pelmora::tools
