// GOTO (Goldberg's grid on a torus): an X x Y torus whose arcs reach XDEG columns and YDEG rows
// ahead, cut at one column so that the arcs crossing it run from the source or into the sink, a
// chain of extra nodes, random extra arcs and a return path, drawn and printed as the classic C
// program does (its `long` values through printf's `%d`: their low 32 bits; its column widths).
#include <cmath>
#include <string>
#include <vector>

#include "core/interrupt.hpp"
#include "tools/families.hpp"
#include "tools/family_output.hpp"
#include "tools/memory_check.hpp"

namespace pelmora::tools {

namespace {

constexpr int64_t kIntMax = 2147483647;
constexpr int64_t kMaxYCost = 8;

// Sedgewick's linear congruential stream: x <- (13415821 x + 1) mod 10^8, the product taken in
// halves of four digits; a draw from [a, b] is a + floor(x (b - a) / 10^8), so b itself never comes.
class GotoRandom {
public:
    explicit GotoRandom(int64_t seed) : state_(seed) {}
    int64_t next(int64_t a, int64_t b) noexcept {
        constexpr int64_t kMod = 100000000, kMod1 = 10000, kB = 13415821;
        const int64_t p1 = state_ / kMod1, p0 = state_ % kMod1, q1 = kB / kMod1, q0 = kB % kMod1;
        const int64_t product = (((p0 * q1 + p1 * q0) % kMod1) * kMod1 + p0 * q0) % kMod;
        state_ = (product + 1) % kMod;
        return a + int64_t(double(state_) * double(b - a) / double(kMod));
    }

private:
    int64_t state_;
};

// The torus and its degrees, as the original sizes them from N and M.
struct Shape {
    int64_t x, y, xdeg, ydeg, extra_nodes, extra_arcs;
};

int64_t extra_arcs(int64_t n, int64_t m, int64_t x, int64_t y, int64_t xdeg, int64_t ydeg) noexcept {
    const int64_t extra_nodes = n - x * y;
    return m - (extra_nodes > 0 ? extra_nodes + 1 : 0) - x * y * (xdeg + ydeg) - y * ((xdeg * (xdeg + 1)) / 2) +
           2 * xdeg - (x * y - 1);
}

Shape shape_of(const GotoParams& p) noexcept {
    const int64_t n = p.nodes, m = p.arcs;
    int64_t x, y = 1;
    do ++y;
    while (y * y * y <= n);
    --y;
    x = y * y;
    do ++y;
    while (x * y <= n);
    --y;
    do ++x;
    while (x * y <= n);
    --x;
    int64_t xdeg, ydeg = 1;
    auto extra = [&] { return extra_arcs(n, m, x, y, xdeg, ydeg); };
    do {
        ++ydeg;
        xdeg = ydeg * ydeg;
    } while (extra() >= 0);
    --ydeg;
    xdeg = ydeg * ydeg;
    do ++ydeg;
    while (extra() >= 0);
    --ydeg;
    if (ydeg >= y) ydeg = y - 1;
    do ++xdeg;
    while (extra() >= 0);
    --xdeg;
    if (xdeg >= x) xdeg = x - 1;
    return {x, y, xdeg, ydeg, n - x * y, extra()};
}

class Goto {
public:
    explicit Goto(const GotoParams& p)
        : p_(p),
          s_(shape_of(p)),
          random_(int64_t(uint32_t(int32_t(p.seed)))),
          small_cap_(int64_t(std::ceil(std::sqrt(double(p.max_cap))))),
          alpha_(std::pow(double(p.max_cap), 1.0 / double(std::max(s_.xdeg, s_.ydeg) + 2))) {}

    // The torus arcs' capacities and costs, in the order they are drawn and printed, and the supply
    // their cut carries.
    Outcome<void> build() {
        const int64_t per_node = s_.xdeg + s_.ydeg, sink = s_.x * s_.y;
        capacity_.resize(std::size_t(s_.x * s_.y * per_node));
        cost_.resize(capacity_.size());
        supply_ = small_cap_;
        std::size_t k = 0;
        for (int64_t y = 0; y < s_.y; ++y) {
            for (int64_t x = 0; x < s_.x; ++x) {
                for (int64_t i = 1; i <= s_.xdeg; ++i, ++k) {
                    const int64_t z = (x + i) % s_.x;
                    capacity_[k] = random_capacity(i);
                    cost_[k] = random_.next(0, p_.max_cost);
                    if (x >= z && id(x, y) != sink) supply_ += capacity_[k];
                    if (id(z, y) == sink) supply_ += capacity_[k];
                }
                for (int64_t i = 1; i <= s_.ydeg; ++i, ++k) {
                    capacity_[k] = random_.next(1, p_.max_cap);
                    cost_[k] = random_.next(0, kMaxYCost);
                }
            }
            if (interrupted()) return Error::interrupted();
        }
        return {};
    }

    Outcome<int64_t> write(io::BufferedFile& out);

private:
    int64_t id(int64_t x, int64_t y) const noexcept { return y * s_.x + x + 1; }
    int64_t random_capacity(int64_t dist) noexcept {
        const double drawn = double(random_.next(1, p_.max_cap));
        return int64_t(std::ceil(drawn / std::pow(alpha_, double(dist) - 1)));
    }

    void arc(io::BufferedFile& out, int64_t from, int64_t to, int64_t capacity, int64_t cost) {
        char* p = out.line_room(2 + 2 * 9 + 3 * 11 + 2 + kFieldRoom);
        *p++ = 'a';
        *p++ = ' ';
        p = put_padded(p, as_c_int(from), 8);
        *p++ = ' ';
        p = put_padded(p, as_c_int(to), 8);
        for (int64_t v : {int64_t(0), capacity, cost}) {
            *p++ = ' ';
            p = put_padded(p, as_c_int(v), 10);
        }
        std::memcpy(p, " \n", 2);
        out.end_line(p + 2);
        ++written_;
    }

    void node(io::BufferedFile& out, int64_t id, int64_t supply) {
        char* p = out.line_room(2 + 9 + 11 + 1 + kFieldRoom);
        *p++ = 'n';
        *p++ = ' ';
        p = put_padded(p, as_c_int(id), 8);
        *p++ = ' ';
        p = put_padded(p, as_c_int(supply), 10);
        *p++ = '\n';
        out.end_line(p);
    }

    const GotoParams& p_;
    Shape s_;
    GotoRandom random_;
    int64_t small_cap_;
    double alpha_;
    int64_t supply_ = 0, written_ = 0;
    std::vector<int32_t> capacity_, cost_;
};

Outcome<int64_t> Goto::write(io::BufferedFile& out) {
    const int64_t source = 1, sink = s_.x * s_.y, n = p_.nodes, half_cost = p_.max_cost / 2;
    out.put(
        "c GOTO network (Goldberg's grid on a torus), as the classic C program generates it\n"
        "c parameters: nodes arcs max_cap max_cost seed\nc parameter line: " +
        std::to_string(p_.nodes) + " " + std::to_string(p_.arcs) + " " + std::to_string(p_.max_cap) + " " +
        std::to_string(p_.max_cost) + " " + std::to_string(p_.seed) + "\nc X=" + std::to_string(s_.x) +
        " Y=" + std::to_string(s_.y) + " XDEG=" + std::to_string(s_.xdeg) + " YDEG=" + std::to_string(s_.ydeg) +
        "\np min " + std::to_string(as_c_int(n)) + " " + std::to_string(as_c_int(p_.arcs)) + "\n");
    node(out, source, supply_);
    node(out, sink, -supply_);
    std::size_t k = 0;
    for (int64_t y = 0; y < s_.y; ++y) {
        for (int64_t x = 0; x < s_.x; ++x) {
            for (int64_t i = 1; i <= s_.xdeg; ++i, ++k) {
                const int64_t z = (x + i) % s_.x;
                if (z > x) {
                    arc(out, id(x, y), id(z, y), capacity_[k], cost_[k]);
                    continue;
                }
                if (id(x, y) != sink) arc(out, id(x, y), sink, capacity_[k], cost_[k]);
                if (id(z, y) != source) arc(out, source, id(z, y), capacity_[k], cost_[k]);
            }
            for (int64_t i = 1; i <= s_.ydeg; ++i, ++k)
                arc(out, id(x, y), id(x, (y + i) % s_.y), capacity_[k], cost_[k]);
        }
        if (out.failed()) return written_;
    }
    // The C program's arguments are evaluated last to first: the cost is drawn before the capacity.
    auto random_arc = [&](int64_t from, int64_t to) {
        const int64_t cost = random_.next(0, kMaxYCost);
        arc(out, from, to, random_capacity(s_.xdeg), cost);
    };
    if (s_.extra_nodes > 0) {
        arc(out, source, sink + 1, small_cap_, half_cost);
        arc(out, n, sink, small_cap_, half_cost);
        for (int64_t i = 1; i < s_.extra_nodes; ++i) arc(out, sink + i, sink + i + 1, small_cap_, half_cost);
        for (int64_t i = 1; i <= s_.extra_arcs; ++i) {
            const int64_t x = random_.next(2, sink - 1), y = random_.next(sink + 1, n);
            if (random_.next(0, 1) != 0) random_arc(x, y);
            else random_arc(y, x);
            if ((i & 0xffff) == 0 && (out.failed() || interrupted())) return written_;
        }
    } else {
        for (int64_t i = 1; i <= s_.extra_arcs; ++i) {
            const int64_t x = random_.next(1, sink - 1);
            int64_t y;
            do y = random_.next(1, sink - 1);
            while (x == y);
            random_arc(x, y);
            if ((i & 0xffff) == 0 && (out.failed() || interrupted())) return written_;
        }
    }
    const int64_t return_cost = p_.max_cost / s_.y;
    for (int64_t x = 0; x < s_.x; ++x) {
        for (int64_t y = 0; y < s_.y - 1; ++y) arc(out, id(x, y), id(x, y + 1), supply_, return_cost);
        if (x < s_.x - 1) arc(out, id(x, s_.y - 1), id(x + 1, 0), supply_, return_cost);
    }
    return written_;
}

std::string got(int64_t v) { return ", got " + std::to_string(v); }

}  // namespace

Outcome<void> check_goto(const GotoParams& p) {
    auto fault = [](std::string text) -> Outcome<void> { return Error::value(std::move(text)); };
    if (p.nodes < 15 || p.nodes > kIntMax) return fault("nodes must be from 15 to 2^31 - 1" + got(p.nodes));
    if (p.arcs < 6 * p.nodes)
        return fault("arcs must be at least 6 x nodes (" + std::to_string(6 * p.nodes) + ")" + got(p.arcs));
    const int64_t most = int64_t(std::pow(double(p.nodes), 5.0 / 3.0));
    if (p.arcs > most || p.arcs > kIntMax)
        return fault("arcs must be at most nodes^(5/3) (" + std::to_string(std::min(most, kIntMax)) + ")" +
                     got(p.arcs));
    if (p.max_cap < 8 || p.max_cap > kIntMax) return fault("max_cap must be from 8 to 2^31 - 1" + got(p.max_cap));
    if (p.max_cost < 8 || p.max_cost > kIntMax) return fault("max_cost must be from 8 to 2^31 - 1" + got(p.max_cost));
    if (p.seed < -kIntMax - 1 || p.seed > kIntMax) return fault("seed must be a 32-bit integer" + got(p.seed));
    const Shape s = shape_of(p);
    const long double need = (long double)(s.x * s.y) * (long double)(s.xdeg + s.ydeg) * 8;
    return check_memory(need, "nodes and arcs: the torus arcs");
}

Outcome<FamilySummary> write_goto(std::string_view path, const GotoParams& p) {
    if (Outcome<void> checked = check_goto(p); !checked) return checked.error();
    Goto net(p);
    if (Outcome<void> built = net.build(); !built) return built.error();
    DraftFile file;
    if (Outcome<void> opened = file.open(std::string(path), false); !opened) return opened.error();
    Outcome<int64_t> written = net.write(file.out());
    if (Outcome<void> done = file.finish(); !done) return done.error();
    if (interrupted()) return Error::interrupted();
    file.keep();
    return FamilySummary{p.nodes, written.value()};
}

}  // namespace pelmora::tools
