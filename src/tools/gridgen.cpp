// GRIDGEN (Lee and Orlin): a grid of n1 x n2 nodes, one- or two-way arcs between neighbours, a
// super node joined to every source and sink, and random arcs up to the requested degree, drawn
// as the classic C program draws them. Its arithmetic is kept where it shows in the lines: the
// 32-bit product of its random stream, single-precision draws and bounds, the cost distribution's
// function drawing the capacities too (with the capacity parameters), the grid rounded from the
// node count and width.
#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <string>
#include <vector>

#include "core/interrupt.hpp"
#include "tools/families.hpp"
#include "tools/family_output.hpp"
#include "tools/memory_check.hpp"

namespace pelmora::tools {

namespace {

constexpr int64_t kIntMax = 2147483647;
// Bounds that keep every drawn cost, capacity and imbalance (and twice the largest grid cost) in
// the C program's `int`: a uniform draw stays within its bounds, an exponential one below 22 lambda.
constexpr float kMaxBound = float(1 << 30), kMaxLambda = float(1 << 25);

// The stream: x <- 16807 x mod (2^31 - 1) as the original computes it, the product wrapping in 32
// bits and the remainder's sign dropped; a draw is x * 4.6566128752459e-10 rounded to a float.
class GridgenRandom {
public:
    explicit GridgenRandom(int64_t seed) : state_(int32_t(seed)) {}
    float next() noexcept {
        const int32_t product = int32_t(uint32_t(16807) * uint32_t(state_));
        state_ = product % 2147483647;
        if (state_ < 0) state_ = -state_;
        return float(double(state_) * 4.6566128752459e-10);
    }
    // A state of 0 never changes again (every draw is 0).
    bool stuck() const noexcept { return state_ == 0; }

private:
    int32_t state_;
};

// C's conversion of a double to `int` as x86 does it: out of range (or not a number) gives INT_MIN.
int32_t c_int(double v) noexcept { return v > -2147483649.0 && v < 2147483648.0 ? int32_t(v) : int32_t(INT32_MIN); }

struct GridArc {
    int32_t from, to, cost, capacity;
};

struct Grid {
    int64_t n1, n2;
};

// The original's grid: the width is the longer side when its square reaches the node count.
Grid grid_of(const GridgenParams& p) noexcept {
    const int64_t n = p.width;
    const int64_t other = c_int(double(float(p.nodes) / float(n)) + 0.5);
    return n * n >= p.nodes ? Grid{n, other} : Grid{other, n};
}

int64_t grid_arcs(const GridgenParams& p, Grid g) noexcept {
    return (p.two_way != 0 ? 2 : 1) * ((g.n1 - 1) * g.n2 + (g.n2 - 1) * g.n1) + p.sources + p.sinks;
}

int64_t arc_count(const GridgenParams& p, Grid g) noexcept {
    return std::max((g.n1 * g.n2 + 1) * p.degree, grid_arcs(p, g));
}

Error never_ends(const char* what) {
    return Error::value(std::string(what) +
                        ": GRIDGEN never finishes with these parameters (its random stream "
                        "repeats without finding a free node)");
}

class Gridgen {
public:
    explicit Gridgen(const GridgenParams& p)
        : p_(p), grid_(grid_of(p)), nodes_(grid_.n1 * grid_.n2 + 1), random_(p.seed) {}

    Outcome<void> run() {
        arcs_.reserve(std::size_t(arc_count(p_, grid_)));
        basic_grid();
        if (Outcome<void> done = select_ends(); !done) return done;
        for (const End& e : sources_) arcs_.push_back({e.node, int32_t(nodes_), 0, 0});
        for (const End& e : sinks_) arcs_.push_back({int32_t(nodes_), e.node, 0, 0});
        if (Outcome<void> done = more_arcs(); !done) return done;
        assign(&GridArc::cost, p_.cost, true);
        assign(&GridArc::capacity, p_.capacity, false);
        assign_imbalances();
        return {};
    }

    void write(io::BufferedFile& out) const;

private:
    struct End {
        int32_t node;
        int64_t supply;
    };

    int32_t uniform(const float (&bounds)[2]) noexcept {
        const float r = random_.next();
        return c_int(double((bounds[1] - bounds[0]) * r + bounds[0]) + 0.5);
    }
    int32_t exponential(float lambda) noexcept {
        const float r = random_.next();
        return c_int(double(-lambda) * std::log(double(r)) + 0.5);
    }
    // The cost distribution's function, whichever is drawn (the original's choice for both).
    int32_t draw(const float (&params)[2]) noexcept {
        return p_.cost_distribution == kGridgenUniform ? uniform(params) : exponential(params[0]);
    }

    void basic_grid() {
        const int32_t n1 = int32_t(grid_.n1), last = int32_t(nodes_);
        auto arc = [&](int32_t from, int32_t to) { arcs_.push_back({from, to, 0, 0}); };
        if (p_.two_way != 0) {
            for (int32_t i = 1; i < last; i += n1)
                for (int32_t j = i; j < i + n1 - 1; ++j) arc(j, j + 1), arc(j + 1, j);
            for (int32_t i = 1; i <= n1; ++i)
                for (int32_t j = i + n1; j < last; j += n1) arc(j, j - n1), arc(j - n1, j);
            return;
        }
        // Rows alternate in direction; every column runs down (the original's two branches agree).
        int32_t direction = 1;
        for (int32_t i = 1; i < last; i += n1, direction = -direction)
            for (int32_t j = direction == 1 ? i : i + 1, k = j + n1 - 1; j < k; ++j) arc(j, j + direction);
        for (int32_t i = 1; i <= n1; ++i)
            for (int32_t j = i + n1; j < last; j += n1) arc(j - n1, j);
    }

    // Sources then sinks, distinct grid nodes drawn until each list is full.
    Outcome<void> select_ends() {
        const float range[2] = {0.9f, float(double(nodes_) - 0.99)};
        std::vector<bool> taken(std::size_t(nodes_), false);
        for (std::vector<End>* list : {&sources_, &sinks_}) {
            const int64_t want = list == &sources_ ? p_.sources : p_.sinks;
            list->reserve(std::size_t(want));
            uint64_t misses = 0;
            while (int64_t(list->size()) < want) {
                const int32_t node = uniform(range);
                if (!taken[std::size_t(node)]) {
                    taken[std::size_t(node)] = true;
                    list->push_back({node, 0});
                    misses = 0;
                } else if (Outcome<void> go = keep_drawing(++misses, "sources and sinks"); !go) {
                    return go;
                }
            }
        }
        return {};
    }

    // Between draws that find nothing new: a stream stuck at 0, or one that has run past its
    // period (under 2^31 states) without a hit, never finds one.
    Outcome<void> keep_drawing(uint64_t misses, const char* what) const {
        if ((misses & 0xfffff) != 0) return {};
        if (interrupted()) return Error::interrupted();
        if (random_.stuck() || misses > (uint64_t(1) << 32)) return never_ends(what);
        return {};
    }

    Outcome<void> more_arcs() {
        const float range[2] = {0.9f, float(double(nodes_) - 0.99)};
        const std::size_t total = std::size_t(arc_count(p_, grid_));
        uint64_t misses = 0;
        while (arcs_.size() < total) {
            const int32_t from = uniform(range), to = uniform(range);
            if (from != to) {
                arcs_.push_back({from, to, 0, 0});
                misses = 0;
                if ((arcs_.size() & 0xffff) == 0 && interrupted()) return Error::interrupted();
            } else if (Outcome<void> go = keep_drawing(++misses, "degree"); !go) {
                return go;
            }
        }
        return {};
    }

    // Grid arcs drawn, then the super node's arcs (twice the highest grid cost; the supply as
    // capacity), then the random arcs drawn.
    void assign(int32_t GridArc::*field, const float (&params)[2], bool costs) {
        const std::size_t ends = std::size_t(p_.sources + p_.sinks), grid = std::size_t(grid_arcs(p_, grid_)) - ends;
        int32_t highest = 0;
        for (std::size_t i = 0; i < grid; ++i) {
            arcs_[i].*field = draw(params);
            highest = std::max(highest, arcs_[i].*field);
        }
        const int32_t super = costs ? int32_t(uint32_t(highest) * 2) : int32_t(p_.supply);
        for (std::size_t i = grid; i < grid + ends; ++i) arcs_[i].*field = super;
        for (std::size_t i = grid + ends; i < arcs_.size(); ++i) arcs_[i].*field = draw(params);
    }

    // Each list's first node takes what the others leave, drawn again until that is positive.
    void assign_imbalances() {
        const float supply_avg = float(2.0 * double(p_.supply) / double(p_.sources));
        do {
            int64_t total = p_.supply;
            for (std::size_t i = 1; i < sources_.size(); ++i) {
                sources_[i].supply = c_int(double(random_.next() * supply_avg) + 0.5);
                total -= sources_[i].supply;
            }
            sources_[0].supply = total;
        } while (sources_[0].supply <= 0);
        const float demand_avg = float(-2.0 * double(p_.supply) / double(p_.sinks));
        int64_t total;
        do {
            total = p_.supply;
            for (std::size_t i = 1; i < sinks_.size(); ++i) {
                sinks_[i].supply = c_int(double(random_.next() * demand_avg) - 0.5);
                total += sinks_[i].supply;
            }
        } while (total <= 0);
        sinks_[0].supply = -total;
    }

    const GridgenParams& p_;
    Grid grid_;
    int64_t nodes_;
    GridgenRandom random_;
    std::vector<GridArc> arcs_;
    std::vector<End> sources_, sinks_;
};

// "<prefix> v1 v2 ...\n"
char* put_line(char* p, std::string_view prefix, std::initializer_list<int64_t> values) {
    p = std::copy(prefix.begin(), prefix.end(), p);
    for (int64_t v : values) {
        *p++ = ' ';
        p = utils::write_decimal_wide(p, v);
    }
    *p++ = '\n';
    return p;
}

void Gridgen::write(io::BufferedFile& out) const {
    constexpr std::size_t kLine = 2 + 5 * (utils::kMaxIntText + 1) + io::BufferedFile::kSlack;
    out.put("c GRIDGEN network (Lee and Orlin), as the classic C program generates it\n");
    std::string line =
        "c parameters: two_way seed nodes width sources sinks degree supply cost_distribution "
        "cost_parameters capacity_distribution capacity_parameters\nc parameter line:";
    auto number = [&](double v) {
        char text[kFieldRoom];
        line += ' ';
        line.append(text, std::to_chars(text, text + sizeof text, v).ptr);
    };
    for (int64_t v :
         {p_.two_way, p_.seed, p_.nodes, p_.width, p_.sources, p_.sinks, p_.degree, p_.supply, p_.cost_distribution})
        number(double(v));
    for (int i = 0; i < (p_.cost_distribution == kGridgenUniform ? 2 : 1); ++i) number(double(p_.cost[i]));
    number(double(p_.capacity_distribution));
    for (int i = 0; i < (p_.capacity_distribution == kGridgenUniform ? 2 : 1); ++i) number(double(p_.capacity[i]));
    line += "\nc grid " + std::to_string(grid_.n1) + " x " + std::to_string(grid_.n2) + " and a super node\n";
    out.put(line);
    out.end_line(put_line(out.line_room(kLine), "p min", {nodes_, int64_t(arcs_.size())}));
    for (const std::vector<End>* list : {&sources_, &sinks_})
        for (const End& e : *list) out.end_line(put_line(out.line_room(kLine), "n", {e.node, e.supply}));
    for (std::size_t i = 0; i < arcs_.size(); ++i) {
        const GridArc& a = arcs_[i];
        out.end_line(put_line(out.line_room(kLine), "a", {a.from, a.to, 0, a.capacity, a.cost}));
        if ((i & 4095) == 0 && out.failed()) return;
    }
}

std::string got(int64_t v) { return ", got " + std::to_string(v); }

Outcome<void> check_bounds(const char* name, const float (&params)[2], bool uniform) {
    if (!std::isfinite(params[0]) || !std::isfinite(params[1]))
        return Error::value(std::string(name) + " parameters must be finite numbers");
    if (uniform ? std::max(std::fabs(params[0]), std::fabs(params[1])) > kMaxBound : std::fabs(params[0]) > kMaxLambda)
        return Error::value(std::string(name) +
                            (uniform ? " bounds must be within +-2^30 (draws are the C program's `int`)"
                                     : " lambda must be within +-2^25 (draws are the C program's `int`)"));
    return {};
}

}  // namespace

Outcome<void> check_gridgen(const GridgenParams& p) {
    auto fault = [](std::string text) -> Outcome<void> { return Error::value(std::move(text)); };
    if (p.seed == 0 || p.seed < -kIntMax || p.seed > kIntMax)
        return fault("seed must be a nonzero integer within +-(2^31 - 1)" + got(p.seed));
    if (p.nodes < 1 || p.nodes > kIntMax) return fault("nodes must be from 1 to 2^31 - 1" + got(p.nodes));
    if (p.width < 1 || p.width > 46340)
        return fault("width must be from 1 to 46340 (its square an int)" + got(p.width));
    if (p.sources < 1) return fault("sources must be at least 1" + got(p.sources));
    if (p.sinks < 1) return fault("sinks must be at least 1" + got(p.sinks));
    const Grid g = grid_of(p);
    if (g.n1 * g.n2 > kIntMax - 1)
        return fault("nodes: the grid of " + std::to_string(g.n1 * g.n2) + " nodes is too large");
    if (p.sources + p.sinks > g.n1 * g.n2)
        return fault("sources + sinks must not exceed the grid's " + std::to_string(g.n1 * g.n2) + " nodes (" +
                     std::to_string(g.n1) + " x " + std::to_string(g.n2) + "), got " + std::to_string(p.sources) +
                     " + " + std::to_string(p.sinks));
    if (p.degree < 0) return fault("degree must be at least 0" + got(p.degree));
    if (p.degree > kIntMax / (g.n1 * g.n2 + 1) || arc_count(p, g) > kIntMax)
        return fault("degree: " + std::to_string(g.n1 * g.n2 + 1) + " nodes x " + std::to_string(p.degree) +
                     " exceed the C program's 2^31 - 1 arcs");
    if (p.supply < 1 || p.supply > (int64_t(1) << 30)) return fault("supply must be from 1 to 2^30" + got(p.supply));
    for (auto [name, code] : {std::pair{"cost_distribution", p.cost_distribution},
                              std::pair{"capacity_distribution", p.capacity_distribution}})
        if (code != kGridgenUniform && code != kGridgenExponential)
            return fault(std::string(name) + " must be 1 (uniform) or 2 (exponential)" + got(code));
    const bool uniform = p.cost_distribution == kGridgenUniform;
    if (Outcome<void> ok = check_bounds("cost", p.cost, uniform); !ok) return ok;
    if (Outcome<void> ok = check_bounds("capacity", p.capacity, uniform); !ok) return ok;
    const long double need = (long double)arc_count(p, g) * sizeof(GridArc) + (long double)(g.n1 * g.n2) * 2;
    return check_memory(need, "degree: " + std::to_string(arc_count(p, g)) + " arcs");
}

Outcome<FamilySummary> write_gridgen(std::string_view path, const GridgenParams& p) {
    if (Outcome<void> checked = check_gridgen(p); !checked) return checked.error();
    Gridgen net(p);
    if (Outcome<void> made = net.run(); !made) return made.error();
    DraftFile file;
    if (Outcome<void> opened = file.open(std::string(path), false); !opened) return opened.error();
    net.write(file.out());
    if (Outcome<void> done = file.finish(); !done) return done.error();
    file.keep();
    const Grid g = grid_of(p);
    return FamilySummary{g.n1 * g.n2 + 1, arc_count(p, g)};
}

}  // namespace pelmora::tools
