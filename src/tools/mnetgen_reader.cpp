#include "tools/mnetgen_reader.hpp"

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "tools/mnetgen_lines.hpp"
#include "tools/shape.hpp"

namespace pelmora::tools {

namespace {

using namespace mnetgen;

// "node 9 is not among the 8 nodes of x.nod".
std::string range_text(int64_t v, const char* what, uint64_t count, const std::string& whose) {
    return what + (" " + std::to_string(v)) + " is not among the " + std::to_string(count) + " " + whose;
}

struct Counts {
    uint64_t commodities = 0, nodes = 0, arcs = 0, mutuals = 0;
    bool mutuals_given = false;
    uint64_t mutuals_line = 0;
};

Outcome<Counts> read_counts(Source& nod) {
    uint64_t values[4];
    uint64_t lines[4] = {};
    std::size_t got = 0;
    std::optional<Error> error;
    if ((error = nod.open())) return *error;
    static const char* const kNames[] = {"the number of commodities", "the number of nodes", "the number of arcs",
                                         "the number of mutual capacities"};
    uint64_t line_number = 0;
    while (nod.next(error)) {
        ++line_number;
        Tokens tokens(nod.line());
        std::string_view t;
        while (tokens.next(t)) {
            if (got == 4) return nod.at("holds more than four numbers");
            const ParseStatus status = utils::parse_u64(t, values[got]);
            if (status != ParseStatus::ok)
                return nod.at(std::string(kNames[got]) + " \"" + std::string(t) + "\" is not a count (" +
                              std::string(utils::parse_message(status)) + ")");
            lines[got++] = line_number;
        }
    }
    if (error) return *error;
    if (got < 3) return Error::value(nod.path() + ": holds " + std::to_string(got) + " numbers, expected 3 or 4");
    return Counts{values[0], values[1], values[2], got == 4 ? values[3] : 0, got == 4, lines[3]};
}

// Mutual capacities by pointer (1..P, index 0 unused), as written or +inf for -1.
struct Mutuals {
    std::vector<int64_t> values;
    bool real = false;
};

Outcome<Mutuals> read_mutuals(Source& mut, Counts& counts, const std::string& nod) {
    std::optional<Error> error;
    if ((error = mut.open())) return *error;
    struct Entry {
        int64_t pointer;
        Number capacity;
        uint64_t line;
    };
    std::vector<Entry> lines;
    static const char* const kNames[] = {"pointer", "capacity"};
    while (mut.next(error)) {
        Number f[2];
        bool blank;
        if (auto bad = mut.fields(f, kNames, 0b01, blank)) return *bad;
        if (blank) continue;
        if (f[1].is_real ? f[1].real < 0 : f[1].integer < -1)
            return mut.at("mutual capacity below 0 (-1 is the only negative one, for no capacity)");
        if (counts.mutuals_given && (f[0].integer < 1 || uint64_t(f[0].integer) > counts.mutuals))
            return mut.at(range_text(f[0].integer, "pointer", counts.mutuals, "mutual capacities of " + nod));
        lines.push_back({f[0].integer, f[1], mut.line_number()});
    }
    if (error) return *error;
    if (counts.mutuals_given && lines.size() != counts.mutuals)
        return Error::value(nod + " line " + std::to_string(counts.mutuals_line) + ": says " +
                            std::to_string(counts.mutuals) + " mutual capacities, " + mut.path() + " holds " +
                            std::to_string(lines.size()));
    counts.mutuals = lines.size();
    Mutuals out;
    out.values.assign(lines.size() + 1, 0);
    std::vector<bool> seen(lines.size() + 1);
    Values values(out.values);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const int64_t p = lines[i].pointer;
        if (p < 1 || uint64_t(p) > lines.size())
            return mut.at_line(lines[i].line, "pointer " + std::to_string(p) + " is not among 1.." +
                                                  std::to_string(lines.size()) + ", the lines of the file");
        if (seen[p]) return mut.at_line(lines[i].line, "pointer " + std::to_string(p) + " has a second line");
        seen[p] = true;
        const Number& v = lines[i].capacity;
        if (!v.is_real && v.integer == -1) values.put_unbounded(std::size_t(p));
        else values.put(std::size_t(p), v);
    }
    out.real = values.real();
    return out;
}

Error no_memory(const Counts& counts, uint64_t rows, const char* what, const std::string& nod) {
    return Error::value(nod + ": " + std::to_string(counts.commodities) + " commodities are more than the available " +
                        "memory can hold for " + std::to_string(rows) + " " + what);
}

struct Arcs {
    Column tails, heads;
    std::vector<int64_t> pointers;
    ZeroedValues costs, capacities;
    bool real_costs = false, real_capacities = false;
};

Outcome<Arcs> read_arcs(Source& arc, const Counts& counts, const std::string& nod) {
    std::optional<Error> error;
    if ((error = arc.open())) return *error;
    const uint64_t k = counts.commodities;
    // Rows for at most as many arcs as the file has room for records, or as .nod names.
    uint64_t rows = counts.arcs;
    if (arc.size() != LineReader::kUnknownSize) rows = std::min(rows, arc.size() / kShortestRecord + 1);
    const std::optional<DataShape> shape = data_shape(0, std::size_t(std::min<uint64_t>(rows, SIZE_MAX)), k);
    Arcs out;
    std::optional<ZeroedValues> costs, capacities;
    std::optional<Seen> seen;
    if (shape) {
        costs = ZeroedValues::make(shape->arc_values);
        capacities = costs ? ZeroedValues::make(shape->arc_values) : std::nullopt;
        seen = capacities ? Seen::make(shape->arc_values) : std::nullopt;
    }
    if (!seen) return no_memory(counts, rows, "arcs", nod);
    Values cost_values(costs->values()), capacity_values(capacities->values());
    ArcNames names(counts.arcs, arc.size());
    std::vector<int64_t> owner(counts.mutuals + 1, 0);  // the arc name each mutual capacity bounds
    static const char* const kNames[] = {"arc name", "tail", "head", "commodity", "cost", "capacity", "pointer"};
    // The records of one arc usually follow each other and repeat its name, tail and head byte for
    // byte: a line that starts with the last record's bytes up to its commodity is read from there,
    // for the last record's arc.
    char repeated[64];
    std::size_t repeated_size = 0;
    int64_t name = 0, tail = 0, head = 0;
    uint64_t a = 0;
    while (arc.next(error)) {
        Number f[7];
        bool blank;
        const Line& line = arc.line();
        const bool again = repeated_size != 0 && line.ascii && line.size > repeated_size &&
                           same_prefix(line.data, repeated, repeated_size);
        if (again) {
            if (auto bad = arc.ascii_fields(f, kNames, 0b1001111, blank, 3, repeated_size)) return *bad;
        } else {
            if (auto bad = arc.fields(f, kNames, 0b1001111, blank)) return *bad;
            if (blank) continue;
            repeated_size = line.ascii ? arc.field_offset(3) : 0;
            if (repeated_size > sizeof repeated) repeated_size = 0;
            std::memcpy(repeated, line.data, repeated_size);
            name = f[0].integer, tail = f[1].integer, head = f[2].integer;
            if (name < 1 || uint64_t(name) > counts.arcs)
                return arc.at(range_text(name, "arc name", counts.arcs, "arcs of " + nod));
            for (int64_t end : {tail, head})
                if (end < 1 || uint64_t(end) > counts.nodes)
                    return arc.at(range_text(end, "node", counts.nodes, "nodes of " + nod));
        }
        const int64_t j = f[3].integer, pointer = f[6].integer;
        if (j != -1 && (j < 1 || uint64_t(j) > k))
            return arc.at(range_text(j, "commodity", k, "commodities of " + nod + " (or -1 for all)"));
        if (f[5].is_real ? f[5].real < 0 : f[5].integer < -1)
            return arc.at("capacity below 0 (-1 is the only negative one, for no individual bound)");
        if (pointer < 0 || uint64_t(pointer) > counts.mutuals)
            return arc.at("mutual pointer " + std::to_string(pointer) + " has no line in the .mut file (it holds " +
                          std::to_string(counts.mutuals) + ")");
        const uint64_t next = out.tails.size();
        const uint64_t found = again ? a + 1 : names.find_or_add(name, next);
        if (found == 0) {
            if (next == rows) return arc.at("more arc names than the file has room for");
            if (pointer != 0) {
                if (owner[std::size_t(pointer)] != 0)
                    return arc.at("mutual pointer " + std::to_string(pointer) + " already bounds arc name " +
                                  std::to_string(owner[std::size_t(pointer)]) +
                                  " (a data set holds one mutual capacity per arc)");
                owner[std::size_t(pointer)] = name;
            }
            a = next;
            out.tails.push_back(tail);
            out.heads.push_back(head);
            out.pointers.push_back(pointer);
        } else {
            a = found - 1;
            if (out.tails[a] != tail || out.heads[a] != head)
                return arc.at("arc name " + std::to_string(name) + " joins " + std::to_string(out.tails[a]) + " -> " +
                              std::to_string(out.heads[a]) + " on an earlier line, " + std::to_string(tail) + " -> " +
                              std::to_string(head) + " here");
            if (out.pointers[a] != pointer)
                return arc.at("arc name " + std::to_string(name) + " has mutual pointer " +
                              std::to_string(out.pointers[a]) + " on an earlier line, " + std::to_string(pointer) +
                              " here");
        }
        const uint64_t first = j == -1 ? 0 : uint64_t(j - 1), stop = j == -1 ? k : uint64_t(j);
        for (uint64_t c = first; c < stop; ++c) {
            const std::size_t at = std::size_t(a * k + c);
            if (!seen->mark(at))
                return arc.at("arc name " + std::to_string(name) + " has a second record for commodity " +
                              std::to_string(c + 1));
            cost_values.put(at, f[4]);
            if (!f[5].is_real && f[5].integer == -1) capacity_values.put_unbounded(at);
            else capacity_values.put(at, f[5]);
        }
    }
    if (error) return *error;
    costs->keep_first(std::size_t(out.tails.size() * k));
    capacities->keep_first(std::size_t(out.tails.size() * k));
    out.costs = std::move(*costs);
    out.capacities = std::move(*capacities);
    out.real_costs = cost_values.real();
    out.real_capacities = capacity_values.real();
    return out;
}

struct SupplyLine {
    int64_t node, commodity;
    Number amount;
    uint64_t line;
};

Outcome<std::vector<SupplyLine>> read_supplies(Source& sup, const Counts& counts, const std::string& nod) {
    std::optional<Error> error;
    if ((error = sup.open())) return *error;
    std::vector<SupplyLine> out;
    static const char* const kNames[] = {"node", "commodity", "amount"};
    while (sup.next(error)) {
        Number f[3];
        bool blank;
        if (auto bad = sup.fields(f, kNames, 0b011, blank)) return *bad;
        if (blank) continue;
        if (f[0].integer < 1 || uint64_t(f[0].integer) > counts.nodes)
            return sup.at(range_text(f[0].integer, "node", counts.nodes, "nodes of " + nod));
        if (f[1].integer < 1 || uint64_t(f[1].integer) > counts.commodities)
            return sup.at(range_text(f[1].integer, "commodity", counts.commodities, "commodities of " + nod));
        out.push_back({f[0].integer, f[1].integer - 1, f[2], sup.line_number()});
    }
    if (error) return *error;
    return out;
}

// The nodes the files name, ascending: marked in a bitmap over 1..n when that is no larger than
// the files, else sorted.
Column named_nodes(const Arcs& arcs, const std::vector<SupplyLine>& supplies, uint64_t n, uint64_t bytes) {
    Column ids;
    if (n / 8 <= bytes + 4096) {
        std::vector<uint64_t> bits(std::size_t(n / 64 + 1), 0);
        auto mark = [&](int64_t v) { bits[std::size_t(v) / 64] |= uint64_t(1) << (v % 64); };
        for (int64_t v : arcs.tails) mark(v);
        for (int64_t v : arcs.heads) mark(v);
        for (const SupplyLine& s : supplies) mark(s.node);
        for (std::size_t w = 0; w < bits.size(); ++w)
            for (uint64_t b = bits[w]; b; b &= b - 1) ids.push_back(int64_t(w * 64 + std::size_t(std::countr_zero(b))));
        return ids;
    }
    ids.reserve(2 * arcs.tails.size() + supplies.size());
    ids.insert(ids.end(), arcs.tails.begin(), arcs.tails.end());
    ids.insert(ids.end(), arcs.heads.begin(), arcs.heads.end());
    for (const SupplyLine& s : supplies) ids.push_back(s.node);
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    return ids;
}

uint64_t known(uint64_t size) { return size == LineReader::kUnknownSize ? 0 : size; }

// Each node's K amounts in the rows of `node_ids`; a second line for one node and commodity is
// refused.
Outcome<ZeroedValues> supply_rows(const Column& node_ids, const std::vector<SupplyLine>& lines, const Counts& counts,
                                  const Source& sup, const std::string& nod, bool& real) {
    const uint64_t k = counts.commodities;
    const std::optional<DataShape> shape = data_shape(node_ids.size(), 0, k);
    std::optional<ZeroedValues> rows = shape ? ZeroedValues::make(shape->node_values) : std::nullopt;
    std::optional<Seen> seen = rows ? Seen::make(shape->node_values) : std::nullopt;
    if (!seen) return no_memory(counts, node_ids.size(), "nodes", nod);
    Values amounts(rows->values());
    for (const SupplyLine& s : lines) {
        const auto row = std::size_t(std::lower_bound(node_ids.begin(), node_ids.end(), s.node) - node_ids.begin());
        const std::size_t at = row * k + std::size_t(s.commodity);
        if (!seen->mark(at))
            return sup.at_line(s.line, "node " + std::to_string(s.node) + " has a second line for commodity " +
                                           std::to_string(s.commodity + 1));
        amounts.put(at, s.amount);
    }
    real = amounts.real();
    return std::move(*rows);
}

}  // namespace

Outcome<MnetgenData> read_mnetgen(std::string_view prefix) {
    if (prefix.find('\0') != std::string_view::npos) return Error::value(std::string(utils::kNulInPath));
    const std::string base(prefix);
    Source nod(base + ".nod"), mut(base + ".mut"), arc(base + ".arc"), sup(base + ".sup");
    Outcome<Counts> counts = read_counts(nod);
    if (!counts) return counts.error();
    Outcome<Mutuals> mutuals = read_mutuals(mut, counts.value(), nod.path());
    if (!mutuals) return mutuals.error();
    Outcome<Arcs> arcs = read_arcs(arc, counts.value(), nod.path());
    if (!arcs) return arcs.error();
    Outcome<std::vector<SupplyLine>> supplies = read_supplies(sup, counts.value(), nod.path());
    if (!supplies) return supplies.error();
    Arcs& a = arcs.value();

    MnetgenData out;
    out.num_commodities = counts.value().commodities;
    out.node_ids = named_nodes(a, supplies.value(), counts.value().nodes,
                               known(arc.size()) + known(sup.size()) + known(mut.size()));
    Outcome<ZeroedValues> rows =
        supply_rows(out.node_ids, supplies.value(), counts.value(), sup, nod.path(), out.real_supplies);
    if (!rows) return rows.error();
    out.supplies = std::move(rows).value();

    out.up.resize(a.tails.size());
    Values up(out.up);
    const Mutuals& m = mutuals.value();
    for (std::size_t i = 0; i < a.tails.size(); ++i) {
        const int64_t v = m.values[std::size_t(a.pointers[i])];
        if (a.pointers[i] == 0) up.put_unbounded(i);
        else up.put(i, m.real ? Number{0, std::bit_cast<double>(v), true} : Number{v, 0, false});
    }
    out.real_up = up.real();
    out.tails = std::move(a.tails);
    out.heads = std::move(a.heads);
    out.costs = std::move(a.costs);
    out.capacities = std::move(a.capacities);
    out.real_costs = a.real_costs;
    out.real_capacities = a.real_capacities;
    return out;
}

}  // namespace pelmora::tools
