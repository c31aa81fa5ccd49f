// libFuzzer target: the four-file reader (tools/mnetgen_reader.hpp) on arbitrary files. The input
// is cut at NUL bytes into the texts of ".nod", ".arc", ".sup" and ".mut", in that order; the files
// of missing parts are not created. A refusal must be one line naming one of the four files; a
// data set read must hold consistent columns: ascending node ids that every arc end and supply
// line is among, n x K and m x K values, integers or doubles as the flags say (no NaN, capacities
// and mutual capacities at least 0). Inputs whose ".nod" declares more than 1024 commodities are
// skipped, as in fuzz_parse_multi_min: commodity -1 legitimately stands for K values.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <unistd.h>

#include "common.hpp"
#include "tools/mnetgen_reader.hpp"

namespace {

constexpr const char* kSuffixes[] = {".nod", ".arc", ".sup", ".mut"};

class WorkDir {
public:
    WorkDir() {
        char dir[] = "/tmp/fuzz_mnetgen.XXXXXX";
        if (!mkdtemp(dir)) fuzz::fail("mkdtemp");
        dir_ = dir;
    }
    ~WorkDir() {
        clear();
        ::rmdir(dir_.c_str());
    }
    std::string prefix() const { return dir_ + "/x"; }
    void clear() const {
        for (const char* s : kSuffixes) ::unlink((prefix() + s).c_str());
    }

private:
    std::string dir_;
};

const WorkDir& work() {
    static const WorkDir dir;
    return dir;
}

// The commodities ".nod" declares, when its first token is a plain count.
uint64_t declared_commodities(std::string_view nod) {
    std::istringstream in{std::string(nod)};
    uint64_t k = 0;
    return (in >> k) ? k : 0;
}

void check_values(std::span<const int64_t> values, bool real, bool bound, const char* name) {
    for (int64_t v : values) {
        if (!real) continue;
        const double d = std::bit_cast<double>(v);
        FUZZ_CHECK(!std::isnan(d), name);
        FUZZ_CHECK(!bound || d >= 0, name);
        FUZZ_CHECK(bound || std::isfinite(d), name);
    }
    if (!real && bound)
        for (int64_t v : values) FUZZ_CHECK(v >= 0, name);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::vector<std::string_view> parts;
    for (std::size_t start = 0; parts.size() < 4;) {
        const std::size_t nul = input.find('\0', start);
        parts.push_back(input.substr(start, nul == std::string_view::npos ? std::string_view::npos : nul - start));
        if (nul == std::string_view::npos) break;
        start = nul + 1;
    }
    if (declared_commodities(parts[0]) > 1024) return 0;
    const WorkDir& dir = work();
    dir.clear();
    for (std::size_t i = 0; i < parts.size(); ++i) {
        std::ofstream out(dir.prefix() + kSuffixes[i], std::ios::binary);
        out.write(parts[i].data(), std::streamsize(parts[i].size()));
        FUZZ_CHECK(out.good(), "write");
    }
    pelmora::Outcome<pelmora::tools::MnetgenData> read = pelmora::tools::read_mnetgen(dir.prefix());
    if (!read) {
        const std::string& message = read.error().message;
        FUZZ_CHECK(message.find('\n') == std::string::npos, message);
        FUZZ_CHECK(message.rfind(dir.prefix() + ".", 0) == 0, message);
        return 0;
    }
    const pelmora::tools::MnetgenData& d = read.value();
    const std::size_t k = d.num_commodities, n = d.node_ids.size(), m = d.tails.size();
    FUZZ_CHECK(std::adjacent_find(d.node_ids.begin(), d.node_ids.end(), std::greater_equal<int64_t>()) ==
               d.node_ids.end());
    FUZZ_CHECK(d.heads.size() == m && d.up.size() == m);
    FUZZ_CHECK(d.costs.values().size() == m * k && d.capacities.values().size() == m * k);
    FUZZ_CHECK(d.supplies.values().size() == n * k);
    for (std::size_t a = 0; a < m; ++a)
        for (int64_t end : {d.tails[a], d.heads[a]})
            FUZZ_CHECK(std::binary_search(d.node_ids.begin(), d.node_ids.end(), end), "arc end not a node");
    check_values(d.costs.values(), d.real_costs, false, "costs");
    check_values(d.capacities.values(), d.real_capacities, true, "capacities");
    check_values(d.up, d.real_up, true, "up");
    check_values(d.supplies.values(), d.real_supplies, false, "supplies");
    return 0;
}
