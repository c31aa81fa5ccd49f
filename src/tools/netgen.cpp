#include "tools/netgen.hpp"

#include <algorithm>
#include <string>
#include <utility>

#include "core/interrupt.hpp"
#include "tools/netgen_index.hpp"
#include "tools/memory_check.hpp"

namespace pelmora::tools {

namespace {

// NETGEN's stream: the multiplicative congruential generator x <- 16807 x mod (2^31 - 1), stepped
// through 16-bit halves as the original does (so that a seed above 2^31 - 1 gives its values too),
// and an integer from [a, b] as a + x mod (b - a + 1), or b itself when b <= a.
class NetgenRandom {
public:
    explicit NetgenRandom(int64_t seed) : state_(seed) {}
    int64_t next(int64_t a, int64_t b) noexcept {
        constexpr int64_t kMultiplier = 16807, kModulus = 2147483647;
        int64_t hi = kMultiplier * (state_ >> 16);
        int64_t lo = kMultiplier * (state_ & 0xffff);
        hi += lo >> 16;
        lo &= 0xffff;
        lo += hi >> 15;
        hi &= 0x7fff;
        lo -= kModulus;
        state_ = (hi << 16) + lo;
        if (state_ < 0) state_ += kModulus;
        if (b <= a) return b;
        return a + state_ % (b - a + 1);
    }

    // A state of 0 (reached only from a seed that is a multiple of 2^31 - 1) never changes again.
    bool constant() const noexcept { return state_ == 0; }

private:
    int64_t state_;
};

// At most as many arcs as can come: each node's extra arcs go to distinct heads, and the skeleton
// adds at most a chain arc per node and an arc per (source, sink) pair.
long double arcs_bound(const NetgenParams& p) noexcept {
    const long double n = (long double)p.nodes;
    return std::min((long double)p.arcs, 2 * n * n + n) + n;
}

// The original's `int` of a wider value: its low 32 bits, signed.
int64_t as_int(uint64_t v) noexcept { return int64_t(int32_t(uint32_t(v))); }

class Generator {
public:
    explicit Generator(const NetgenParams& p) : p_(p), random_(p.seed) {}

    Outcome<NetgenNetwork> run() {
        net_.balance.assign(std::size_t(p_.nodes), 0);
        net_.arcs.reserve(std::size_t(arcs_bound(p_)));
        nodes_left_ = uint64_t(p_.nodes - p_.sinks + p_.tsinks);
        non_sources_ = uint64_t(p_.nodes - p_.sources + p_.tsources);
        Outcome<void> done = assignment() ? create_assignment() : create_min_cost();
        if (!done) return done.error();
        net_.form = assignment()                           ? NetgenForm::Assignment
                    : p_.min_cost == 1 && p_.max_cost == 1 ? NetgenForm::MaxFlow
                                                           : NetgenForm::MinCost;
        return std::move(net_);
    }

private:
    bool assignment() const noexcept {
        return (p_.sources - p_.tsources) + (p_.sinks - p_.tsinks) == p_.nodes &&
               p_.sources - p_.tsources == p_.sinks - p_.tsinks && p_.sources == p_.supply;
    }

    int64_t& b(uint64_t index) { return net_.balance[index]; }  // 0-based, as the original's B
    void save(int64_t tail, int64_t head, int64_t cost, int64_t capacity) {
        net_.arcs.push_back({tail, head, cost, capacity});
    }

    Outcome<void> create_assignment() {
        const int64_t n = p_.nodes, half = n / 2;
        for (int64_t i = 0; i < n; ++i) b(uint64_t(i)) = i < half ? 1 : -1;
        outer_.reset(uint64_t(p_.sources + 1), uint64_t(n));
        for (int64_t source = 1; source <= half; ++source) {
            const uint64_t index = outer_.choose(uint64_t(random_.next(1, int64_t(outer_.size()))));
            save(source, int64_t(index), random_.next(p_.min_cost, p_.max_cost), 1);
            heads_.reset(uint64_t(p_.sources + 1), uint64_t(n));
            heads_.remove(index);
            if (Outcome<void> picked = pick_head(source); !picked) return picked;
        }
        return {};
    }

    // The supplies, then the skeleton: each source's chain of transshipment nodes, hooked to sinks,
    // with more arcs out of every node of the chain; last, more arcs out of the transshipment sinks.
    Outcome<void> create_min_cost() {
        if (!create_supply()) return Error::interrupted();
        if (!chain_transshipment_nodes()) return Error::interrupted();
        for (int64_t source = 1; source <= p_.sources; ++source) {
            if (Outcome<void> done = hook_source(source); !done) return done;
            if (interrupted()) return Error::interrupted();
        }
        const int64_t first = p_.nodes - p_.sinks + 1;
        for (int64_t node = first; node < first + p_.tsinks; ++node) {
            heads_.reset(uint64_t(p_.sources - p_.tsources + 1), uint64_t(p_.nodes));
            heads_.remove(uint64_t(node));
            if (Outcome<void> picked = pick_head(node); !picked) return picked;
        }
        return {};
    }

    bool create_supply() {
        const int64_t sources = p_.sources, per_source = p_.supply / sources;
        for (int64_t i = 0; i < sources; ++i) {
            const int64_t partial = random_.next(1, per_source);
            b(uint64_t(i)) += partial;
            b(uint64_t(random_.next(0, sources - 1))) += per_source - partial;
            if ((i & 0xffff) == 0xffff && interrupted()) return false;
        }
        b(uint64_t(random_.next(0, sources - 1))) += p_.supply % sources;
        return true;
    }

    // pred_ holds each source's chain as a ring: pred_[source] is the node added last. False when
    // interrupted() said stop.
    bool chain_transshipment_nodes() {
        const int64_t transshipment = p_.nodes - p_.sources - p_.sinks;
        pred_.assign(std::size_t(p_.nodes) + 1, 0);
        for (int64_t i = 1; i <= p_.sources; ++i) pred_[std::size_t(i)] = uint64_t(i);
        outer_.reset(uint64_t(p_.sources + 1), uint64_t(p_.nodes - p_.sinks));
        int64_t i = transshipment, source = 1;
        auto link = [&](uint64_t node, int64_t to) {
            pred_[node] = pred_[std::size_t(to)];
            pred_[std::size_t(to)] = node;
        };
        // 60% dealt out in turn, the rest to random sources.
        for (; i > (4 * transshipment + 9) / 10; --i) {
            link(outer_.choose(uint64_t(random_.next(1, int64_t(outer_.size())))), source);
            if (++source > p_.sources) source = 1;
            if ((i & 0xffff) == 0 && interrupted()) return false;
        }
        for (; i > 0; --i) {
            const uint64_t node = outer_.choose(uint64_t(random_.next(1, int64_t(outer_.size()))));
            link(node, random_.next(1, p_.sources));
            if ((i & 0xffff) == 0 && interrupted()) return false;
        }
        return true;
    }

    uint64_t sinks_for(int64_t chain_length) const noexcept {
        const int64_t transshipment = p_.nodes - p_.sources - p_.sinks;
        uint64_t count;
        if (transshipment == 0) {
            count = uint64_t(p_.sinks / p_.sources + 1);
        } else {
            // In doubles, as the 1992 fix computes it, so that the product cannot overflow.
            const double wanted = 2.0 * double(chain_length) * double(p_.sinks) /
                                  (double(p_.nodes) - double(p_.sources) - double(p_.sinks));
            count = uint64_t(wanted);
        }
        return std::max<uint64_t>(2, std::min<uint64_t>(count, uint64_t(p_.sinks)));
    }

    Outcome<void> hook_source(int64_t source) {
        // The chain's arcs, from each node's predecessor to it.
        int64_t count = 0;
        tail_.resize(1);
        head_.resize(1);
        for (uint64_t node = pred_[std::size_t(source)]; node != uint64_t(source);) {
            ++count;
            head_.push_back(node);
            node = pred_[node];
            tail_.push_back(node);
        }
        const int64_t chain_length = count;
        uint64_t per_source = sinks_for(chain_length);
        sinks_.clear();
        outer_.reset(uint64_t(p_.nodes - p_.sinks), uint64_t(p_.nodes - 1));
        for (uint64_t i = 0; i < per_source; ++i) {
            sinks_.push_back(outer_.choose(uint64_t(random_.next(1, int64_t(outer_.size())))));
            if ((i & 0xffff) == 0xffff && interrupted()) return Error::interrupted();
        }
        if (source == p_.sources) {
            // The last source also takes every sink that nothing has reached yet.
            while (outer_.size() > 0) {
                const uint64_t j = outer_.choose(1);
                if (b(j) == 0) sinks_.push_back(j);
                if ((j & 0xffff) == 0 && interrupted()) return Error::interrupted();
            }
            per_source = sinks_.size();
        }

        const uint64_t own = uint64_t(b(uint64_t(source - 1)));
        const int64_t per_sink = as_int(own / per_source);
        uint64_t k = pred_[std::size_t(source)];
        for (uint64_t i = 0; i < per_source; ++i) {
            ++count;
            const int64_t partial = as_int(uint64_t(random_.next(1, per_sink)));
            const uint64_t j = uint64_t(random_.next(0, int64_t(per_source) - 1));
            tail_.push_back(k);
            head_.push_back(sinks_[i] + 1);
            b(sinks_[i]) -= partial;
            b(sinks_[j]) -= per_sink - partial;
            k = uint64_t(source);
            for (int64_t steps = random_.next(1, chain_length); steps > 0; --steps) k = pred_[k];
        }
        b(sinks_[0]) = int64_t(uint64_t(b(sinks_[0])) - uint64_t(b(uint64_t(source - 1))) % per_source);

        if (!sort_skeleton(count)) return Error::interrupted();
        tail_.push_back(0);
        for (int64_t i = 1; i <= count;) {
            heads_.reset(uint64_t(p_.sources - p_.tsources + 1), uint64_t(p_.nodes));
            const uint64_t from = tail_[std::size_t(i)];
            heads_.remove(from);
            for (; tail_[std::size_t(i)] == from; ++i) {
                heads_.remove(head_[std::size_t(i)]);
                int64_t capacity = p_.supply;
                if (random_.next(1, 100) <= p_.capacitated) capacity = std::max(b(uint64_t(source - 1)), p_.min_cap);
                int64_t cost = p_.max_cost;
                if (random_.next(1, 100) > p_.hicost) cost = random_.next(p_.min_cost, p_.max_cost);
                save(int64_t(from), int64_t(head_[std::size_t(i)]), cost, capacity);
            }
            if (Outcome<void> picked = pick_head(int64_t(from)); !picked) return picked;
        }
        return {};
    }

    // The original's Shell sort of the skeleton arcs 1..count by tail, halving gaps: it is not
    // stable, and the order it leaves among arcs of one tail is the order of their output. False
    // when interrupted() said stop (one source's chain can hold millions of nodes).
    bool sort_skeleton(int64_t count) {
        uint64_t* tail = tail_.data();
        uint64_t* head = head_.data();
        for (int64_t gap = count / 2; gap != 0; gap /= 2) {
            for (int64_t j = 1; j <= count - gap; ++j) {
                for (int64_t i = j; i >= 1 && tail[i] > tail[i + gap]; i -= gap) {
                    std::swap(tail[i], tail[i + gap]);
                    std::swap(head[i], head[i + gap]);
                }
                if ((j & 0xffff) == 0 && interrupted()) return false;
            }
        }
        return true;
    }

    // More arcs out of `tail`, to heads drawn from heads_, as many as keep the arcs still wanted
    // spread over the nodes still to come.
    Outcome<void> pick_head(int64_t tail) {
        const int64_t remaining = p_.arcs - int64_t(net_.arcs.size());
        --nodes_left_;
        if ((++picks_ & 1023) == 0 && interrupted()) return Error::interrupted();
        if (2 * int64_t(nodes_left_) >= remaining) return {};
        int64_t limit;
        if ((uint64_t(remaining) + non_sources_ - heads_.pseudo_size() - 1) / (nodes_left_ + 1) >= non_sources_ - 1) {
            limit = int64_t(non_sources_);
        } else {
            Outcome<int64_t> drawn = draw_limit(remaining);
            if (!drawn) return drawn.error();
            limit = drawn.value();
        }
        for (; limit > 0; --limit) {
            const uint64_t index = heads_.choose(uint64_t(random_.next(1, int64_t(heads_.pseudo_size()))));
            int64_t capacity = p_.supply;
            if (random_.next(1, 100) <= p_.capacitated) capacity = random_.next(p_.min_cap, p_.max_cap);
            if (index >= 1 && index <= uint64_t(p_.nodes))
                save(tail, int64_t(index), random_.next(p_.min_cost, p_.max_cost), capacity);
        }
        return {};
    }

    // Draws until the arcs left after this node fit the nodes left. The original loops forever
    // when no draw can do it; that is refused instead (a draw of `upper` does it if any does).
    Outcome<int64_t> draw_limit(int64_t remaining) {
        const uint64_t nodes_left = nodes_left_;
        const int64_t upper = int64_t(2 * (uint64_t(remaining) / (nodes_left + 1) - 1));
        auto short_of = [&](int64_t limit) {
            return double(nodes_left) * double(non_sources_ - 1) < double(remaining) - double(limit);
        };
        const int64_t reachable = upper <= 1 ? upper : std::min<int64_t>(upper, 2147483647);
        if (nodes_left != 0 && short_of(reachable)) return never_ends();
        for (uint64_t draws = 1;; ++draws) {
            int64_t limit = random_.next(1, upper);
            if (nodes_left == 0) limit = remaining;
            if (!short_of(limit)) return limit;
            if (random_.constant()) return never_ends();
            if ((draws & 0xfffff) == 0) {
                if (interrupted()) return Error::interrupted();
                // Past the stream's period every draw repeats.
                if (draws > (uint64_t(1) << 32)) return never_ends();
            }
        }
    }

    static Error never_ends() {
        return Error::value(
            "arcs: NETGEN never finishes with these parameters (it draws forever for the arcs out of a node)");
    }

    const NetgenParams& p_;
    NetgenRandom random_;
    NetgenNetwork net_;
    uint64_t nodes_left_ = 0, non_sources_ = 0, picks_ = 0;
    IndexList outer_, heads_;
    std::vector<uint64_t> pred_, tail_, head_, sinks_;
};

std::string named(const char* what, int64_t value) { return std::string(what) + ", got " + std::to_string(value); }

}  // namespace

const char* form_name(NetgenForm form) noexcept {
    switch (form) {
        case NetgenForm::Assignment: return "asn";
        case NetgenForm::MaxFlow: return "max";
        case NetgenForm::MinCost: break;
    }
    return "min";
}

Outcome<void> check_netgen(const NetgenParams& p) {
    auto fault = [](std::string text) -> Outcome<void> { return Error::value(std::move(text)); };
    if (p.seed <= 0) return fault(named("seed must be at least 1", p.seed));
    if (p.problem <= 0) return fault(named("problem must be at least 1", p.problem));
    if (p.nodes <= 0) return fault(named("nodes must be at least 1", p.nodes));
    if (p.nodes > p.arcs)
        return fault("arcs must be at least the number of nodes (" + std::to_string(p.nodes) + "), got " +
                     std::to_string(p.arcs));
    if (p.sources <= 0) return fault(named("sources must be at least 1", p.sources));
    if (p.sinks <= 0) return fault(named("sinks must be at least 1", p.sinks));
    if (p.sources > p.nodes - p.sinks)
        return fault("sources + sinks must not exceed nodes (" + std::to_string(p.nodes) + "), got " +
                     std::to_string(p.sources) + " + " + std::to_string(p.sinks));
    if (p.min_cost > p.max_cost)
        return fault("min_cost must not exceed max_cost (" + std::to_string(p.max_cost) + "), got " +
                     std::to_string(p.min_cost));
    if (int64_t span; __builtin_sub_overflow(p.max_cost, p.min_cost, &span) || span == INT64_MAX)
        return fault("max_cost - min_cost must be below 2^63 - 1");
    if (p.supply < p.sources)
        return fault("supply must be at least the number of sources (" + std::to_string(p.sources) + "), got " +
                     std::to_string(p.supply));
    if (p.tsources < 0 || p.tsources > p.sources)
        return fault("tsources must be from 0 to sources (" + std::to_string(p.sources) + "), got " +
                     std::to_string(p.tsources));
    if (p.tsinks < 0 || p.tsinks > p.sinks)
        return fault("tsinks must be from 0 to sinks (" + std::to_string(p.sinks) + "), got " +
                     std::to_string(p.tsinks));
    if (p.hicost < 0 || p.hicost > 100) return fault(named("hicost must be a percentage from 0 to 100", p.hicost));
    if (p.capacitated < 0 || p.capacitated > 100)
        return fault(named("capacitated must be a percentage from 0 to 100", p.capacitated));
    if (p.min_cap > p.max_cap)
        return fault("min_cap must not exceed max_cap (" + std::to_string(p.max_cap) + "), got " +
                     std::to_string(p.min_cap));
    if (int64_t span; __builtin_sub_overflow(p.max_cap, p.min_cap, &span) || span == INT64_MAX)
        return fault("max_cap - min_cap must be below 2^63 - 1");
    // The node arrays and the arcs that can come must fit.
    const long double need = (long double)p.nodes * 48 + arcs_bound(p) * sizeof(NetgenArc);
    return check_memory(
        need, "nodes and arcs: " + std::to_string(p.nodes) + " nodes and " + std::to_string(p.arcs) + " arcs");
}

Outcome<NetgenNetwork> generate_netgen(const NetgenParams& p) {
    if (Outcome<void> checked = check_netgen(p); !checked) return checked.error();
    return Generator(p).run();
}

}  // namespace pelmora::tools
