// libFuzzer target: the companion's native path from a multicommodity file to the mnetgen files,
// as pelmora_tools._native runs it (read_arrays, then write_mnetgen): parse_multi_min with the LOW
// field, arrays_of, then write_mnetgen. The arrays must hold the record's numbers, and the written
// files, read back by the reader below (written from docs/format.md), must hold the arrays.
//
// The first input byte picks a change to the columns before they are written: none, or one the
// boundary must refuse (a column one value long or short, K raised by 2^62 so that unchecked n x K
// and m x K wrap back to the lengths given, node ids out of order, an arc end that is no node). A
// refused change must leave no file behind. Files with K above 1024 are skipped, as in
// fuzz_parse_multi_min: a compressed arc line legitimately stands for K values.
//
// The same arrays, with a certificate (all zeros, or each capacity clamped at 0), go to the
// certificate check as pelmora_tools._native.verify runs it: check_columns, then
// verify_certificate. The first byte's next bits pick a change to those columns (one too long or
// too short among heads, low, up, supplies and the certificate, K raised by 2^62, node ids out of
// order) that check_columns must refuse; an unchanged set's verdict must be that of the reference
// check below (a map of balances per node id, no search).
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "common.hpp"
#include "tools/data_arrays.hpp"
#include "tools/feasible.hpp"
#include "tools/mnetgen_writer.hpp"
#include "io/files.hpp"

namespace {

using pelmora::models::ParsedMulticommodityInstance;
using pelmora::tools::DataArrays;
using pelmora::tools::MnetgenColumns;

constexpr const char* kSuffixes[] = {".nod", ".arc", ".sup", ".mut", ".map"};

void remove_files(const std::string& prefix) {
    for (const char* s : kSuffixes) ::unlink((prefix + s).c_str());
}

// One directory per process for the written files, removed at exit.
class WorkDir {
public:
    WorkDir() {
        char dir[] = "/tmp/fuzz_tools.XXXXXX";
        if (!mkdtemp(dir)) fuzz::fail("mkdtemp");
        dir_ = dir;
    }
    ~WorkDir() {
        remove_files(prefix());
        ::rmdir(dir_.c_str());
    }
    std::string prefix() const { return dir_ + "/x"; }

private:
    std::string dir_;
};

const std::string& prefix() {
    static const WorkDir dir;
    static const std::string p = dir.prefix();
    return p;
}

void remove_files() { remove_files(prefix()); }

bool exists(const char* suffix) { return ::access((prefix() + suffix).c_str(), F_OK) == 0; }

// The lines of a written file as rows of integers; each line tab-separated decimal numbers.
std::vector<std::vector<int64_t>> rows(const char* suffix, std::size_t fields) {
    std::ifstream in(prefix() + suffix);
    FUZZ_CHECK(in.good(), suffix);
    std::vector<std::vector<int64_t>> out;
    std::string line;
    while (std::getline(in, line)) {
        std::vector<int64_t> row;
        std::stringstream cells(line);
        std::string cell;
        while (std::getline(cells, cell, '\t')) {
            char* end = nullptr;
            errno = 0;
            row.push_back(std::strtoll(cell.c_str(), &end, 10));
            FUZZ_CHECK(!cell.empty() && *end == '\0' && errno == 0, std::string(suffix) + ": " + line);
        }
        FUZZ_CHECK(row.size() == fields, std::string(suffix) + ": " + line);
        out.push_back(std::move(row));
    }
    return out;
}

bool open_to_any(const MnetgenColumns& c, std::size_t a) {
    for (uint64_t j = 0; j < c.num_commodities; ++j)
        if (c.capacities[a * c.num_commodities + j] > 0) return true;
    return false;
}

// The files against the columns they were written from.
void check_files(const MnetgenColumns& c, bool with_map) {
    const uint64_t k = c.num_commodities;
    const std::size_t n = c.node_ids.size(), m = c.tails.size();
    const auto nod = rows(".nod", 1);
    std::vector<std::size_t> bundled;
    for (std::size_t a = 0; a < m; ++a)
        if (open_to_any(c, a)) bundled.push_back(a);
    FUZZ_CHECK(nod.size() == 4 && nod[0][0] == int64_t(k) && nod[1][0] == int64_t(n) && nod[2][0] == int64_t(m) &&
                   nod[3][0] == int64_t(bundled.size()),
               ".nod counts");
    const auto mut = rows(".mut", 2);
    FUZZ_CHECK(mut.size() == bundled.size(), ".mut lines");
    std::map<int64_t, std::size_t> arc_of_pointer;
    for (std::size_t p = 0; p < mut.size(); ++p) {
        FUZZ_CHECK(mut[p][0] == int64_t(p) + 1 && mut[p][1] == c.up[bundled[p]], ".mut line");
        arc_of_pointer[mut[p][0]] = bundled[p];
    }
    // Arc lines: one per arc and commodity open to it, in arc then commodity order.
    std::size_t line = 0;
    const auto arc = rows(".arc", 7);
    for (std::size_t a = 0; a < m; ++a) {
        for (uint64_t j = 0; j < k; ++j) {
            if (c.capacities[a * k + j] <= 0) continue;
            FUZZ_CHECK(line < arc.size(), ".arc too short");
            const auto& r = arc[line++];
            FUZZ_CHECK(r[0] == int64_t(a) + 1 && r[3] == int64_t(j) + 1, ".arc name or commodity");
            FUZZ_CHECK(r[1] >= 1 && r[1] <= int64_t(n) && r[2] >= 1 && r[2] <= int64_t(n), ".arc node number");
            FUZZ_CHECK(c.node_ids[r[1] - 1] == c.tails[a] && c.node_ids[r[2] - 1] == c.heads[a], ".arc ends");
            FUZZ_CHECK(r[4] == c.costs[a * k + j] && r[5] == c.capacities[a * k + j], ".arc cost or capacity");
            FUZZ_CHECK(arc_of_pointer.count(r[6]) && arc_of_pointer[r[6]] == a, ".arc mutual pointer");
        }
    }
    FUZZ_CHECK(line == arc.size(), ".arc too long");
    std::size_t s = 0;
    const auto sup = rows(".sup", 3);
    for (std::size_t i = 0; i < n; ++i)
        for (uint64_t j = 0; j < k; ++j) {
            if (c.supplies[i * k + j] == 0) continue;
            const std::vector<int64_t> want = {int64_t(i) + 1, int64_t(j) + 1, c.supplies[i * k + j]};
            FUZZ_CHECK(s < sup.size() && sup[s] == want, ".sup line");
            ++s;
        }
    FUZZ_CHECK(s == sup.size(), ".sup too long");
    FUZZ_CHECK(exists(".map") == with_map, ".map written or not as asked");
    if (!with_map) return;
    const auto map = rows(".map", 2);
    FUZZ_CHECK(map.size() == n, ".map lines");
    for (std::size_t i = 0; i < n; ++i) FUZZ_CHECK(map[i][0] == int64_t(i) + 1 && map[i][1] == c.node_ids[i], ".map");
}

// The arrays against the record they were made from.
void check_arrays(const DataArrays& d, const ParsedMulticommodityInstance& p,
                  const pelmora::models::CommodityValues& lows) {
    const uint64_t k = p.num_commodities;
    std::vector<int64_t> ids(p.nodes.begin(), p.nodes.end());
    std::sort(ids.begin(), ids.end());
    FUZZ_CHECK(d.num_commodities == k && std::equal(ids.begin(), ids.end(), d.node_ids.begin(), d.node_ids.end()),
               "node ids");
    const std::size_t m = p.arcs.size();
    FUZZ_CHECK(d.tails.size() == m && d.heads.size() == m && d.up.size() == m && d.low.size() == m, "arc columns");
    for (std::size_t a = 0; a < m; ++a)
        FUZZ_CHECK(d.tails[a] == p.arcs[a].tail && d.heads[a] == p.arcs[a].head && d.up[a] == p.arcs[a].up &&
                       d.low[a] == lows[a],
                   "arc " + std::to_string(a));
    FUZZ_CHECK(d.costs == p.costs && d.capacities == p.arc_capacities, "costs or capacities");
    const auto supplies = d.supplies.values();
    FUZZ_CHECK(supplies.size() == ids.size() * k, "supplies size");
    const auto& partition = p.commodity_supply_demand_data;
    for (std::size_t i = 0; i < ids.size(); ++i) {
        const std::size_t row = partition.find(ids[i]);
        for (uint64_t j = 0; j < k; ++j) {
            const int64_t want = row < partition.size() && j < partition.row(row).size() ? partition.row(row)[j] : 0;
            FUZZ_CHECK(supplies[i * k + j] == want, "supply of node " + std::to_string(ids[i]));
        }
    }
}

// An id that is not among the ascending ids.
int64_t absent_id(std::span<const int64_t> ids) {
    if (ids.back() < INT64_MAX) return ids.back() + 1;
    if (ids.front() > INT64_MIN) return ids.front() - 1;
    for (std::size_t i = 1; i < ids.size(); ++i)
        if (uint64_t(ids[i]) - uint64_t(ids[i - 1]) > 1) return ids[i - 1] + 1;
    fuzz::fail("no gap among the node ids");
}

// Whether the certificate is a feasible flow, checked the plain way. Columns of the right sizes.
bool reference_feasible(const pelmora::tools::CertificateColumns& c) {
    const uint64_t k = c.num_commodities;
    std::map<int64_t, std::vector<__int128>> balance;
    for (int64_t id : c.node_ids) balance[id].assign(k, 0);
    for (std::size_t a = 0; a < c.tails.size(); ++a) {
        if (!balance.count(c.tails[a]) || !balance.count(c.heads[a])) return false;
        __int128 total = 0;
        for (uint64_t j = 0; j < k; ++j) {
            const int64_t x = c.certificate[a * k + j];
            if (x < 0 || x > c.capacities[a * k + j]) return false;
            total += x;
            balance[c.tails[a]][j] += x;
            balance[c.heads[a]][j] -= x;
        }
        if (total < c.low[a] || total > c.up[a]) return false;
    }
    for (std::size_t i = 0; i < c.node_ids.size(); ++i)
        for (uint64_t j = 0; j < k; ++j)
            if (balance[c.node_ids[i]][j] != c.supplies[i * k + j]) return false;
    return true;
}

// The certificate check on the arrays, one column changed as `change` says.
void check_verify(const DataArrays& d, uint8_t change, bool clamped) {
    pelmora::tools::CertificateColumns c{d.num_commodities, d.node_ids,          d.tails, d.heads, d.low, d.up,
                                         d.capacities,      d.supplies.values(), {}};
    std::vector<int64_t> certificate(d.capacities.size(), 0), changed;
    if (clamped)
        for (std::size_t i = 0; i < certificate.size(); ++i) certificate[i] = std::max<int64_t>(d.capacities[i], 0);
    c.certificate = certificate;
    auto grown = [&](std::span<const int64_t>& column, bool longer) {
        changed.assign(column.begin(), column.end());
        longer || changed.empty() ? changed.push_back(0) : changed.pop_back();
        column = changed;
    };
    const std::size_t n = c.node_ids.size(), m = c.tails.size();
    bool refused = true;
    switch (change) {
        case 1: grown(c.heads, true); break;
        case 2: grown(c.low, false); break;
        case 3: grown(c.up, true); break;
        case 4: grown(c.supplies, false); break;
        case 5: grown(c.certificate, false); break;
        case 6:
            c.num_commodities += uint64_t(1) << 62;
            refused = n + m > 0;
            break;
        case 7:
            refused = n >= 2;
            if (refused) {
                changed.assign(c.node_ids.begin(), c.node_ids.end());
                std::swap(changed[0], changed[1]);
                c.node_ids = changed;
            }
            break;
        default: refused = false;
    }
    auto fits = pelmora::tools::check_columns(c);
    if (refused) {
        FUZZ_CHECK(!fits.ok() && fits.error().kind == pelmora::Error::Kind::Value, "bad certificate columns taken");
        return;
    }
    FUZZ_CHECK(fits.ok(), fits.error().message);
    auto verdict = pelmora::tools::verify_certificate(c);
    FUZZ_CHECK(verdict.ok(), "the certificate check failed without an interrupt");
    const std::string& failure = verdict.value();
    FUZZ_CHECK(failure.empty() == reference_feasible(c), "verdict differs from the reference: " + failure);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static fuzz::MemFile file("tools");
    if (size == 0) return 0;
    const uint8_t first = data[0], change = first % 8;
    ++data, --size;
    if (fuzz::reference_read({reinterpret_cast<const char*>(data), size}, true).huge_k) return 0;
    file.write(data, size);
    pelmora::models::CommodityValues lows;
    auto parsed = pelmora::io::parse_multi_min(file.path(), &lows);
    if (!parsed) {
        FUZZ_CHECK(!parsed.error().message.empty());
        return 0;
    }
    const ParsedMulticommodityInstance record = parsed.value();
    auto made = pelmora::tools::arrays_of(std::move(parsed).value(), pelmora::models::CommodityValues(lows));
    FUZZ_CHECK(made.ok(), made.error().message);
    const DataArrays& d = made.value();
    check_arrays(d, record, lows);
    check_verify(d, uint8_t(first / 8 % 8), first >= 128);

    MnetgenColumns c{d.num_commodities, d.node_ids, d.tails, d.heads, d.up, d.costs, d.capacities, d.supplies.values()};
    const std::size_t n = c.node_ids.size(), m = c.tails.size();
    std::vector<int64_t> changed;  // a changed copy of one column
    auto replace = [&](std::span<const int64_t>& column, auto&& edit) {
        changed.assign(column.begin(), column.end());
        edit(changed);
        column = changed;
    };
    bool refused = true;
    switch (change) {
        case 1: replace(c.heads, [](auto& v) { v.push_back(1); }); break;
        case 2: replace(c.costs, [](auto& v) { v.empty() ? v.push_back(0) : v.pop_back(); }); break;
        case 3: replace(c.supplies, [](auto& v) { v.push_back(0); }); break;
        case 4:
            c.num_commodities += uint64_t(1) << 62;
            refused = n + m > 0;
            break;
        case 5:
            refused = n >= 2;
            if (refused) replace(c.node_ids, [](auto& v) { std::swap(v[0], v[1]); });
            break;
        case 6:
            refused = m >= 1;
            if (refused) replace(c.tails, [&](auto& v) { v[0] = absent_id(c.node_ids); });
            break;
        default: refused = false;
    }
    remove_files();
    pelmora::tools::OpenFailure failure;
    const bool with_map = change != 7;
    auto written = pelmora::tools::write_mnetgen(prefix(), c, with_map, failure);
    if (refused) {
        FUZZ_CHECK(!written.ok() && written.error().kind == pelmora::Error::Kind::Value, "a bad column was written");
        for (const char* s : kSuffixes) FUZZ_CHECK(!exists(s), "a refused write left a file");
        return 0;
    }
    FUZZ_CHECK(written.ok(), written.error().message);
    check_files(c, with_map);
    return 0;
}
