// MNETGEN (Kennington and Ali; Frangioni's C++ form, built with drand48 and four output files):
// for each source a chain of transshipment nodes hooked to randomly chosen sinks, every commodity
// routed along it with its own costs and bounds, then random arcs for random commodities until the
// requested count is reached, written as the program writes them: tab-separated records, integers
// in full and costs and bounds as a stream of precision 4 prints a double ("%.4g").
#include <algorithm>
#include <string>
#include <vector>

#include "core/interrupt.hpp"
#include "tools/families.hpp"
#include "tools/family_output.hpp"
#include "tools/memory_check.hpp"

namespace pelmora::tools {

namespace {

// The C library's drand48: x <- (0x5DEECE66D x + 11) mod 2^48 from srand48's state (the seed's low
// 32 bits above 0x330E), each draw x / 2^48 after the step.
class Drand48 {
public:
    explicit Drand48(int64_t seed) : state_((uint64_t(uint32_t(uint64_t(seed))) << 16) | 0x330E) {}
    double next() noexcept {
        state_ = (state_ * 0x5DEECE66Dull + 0xB) & ((uint64_t(1) << 48) - 1);
        return double(state_) * 0x1p-48;
    }

private:
    uint64_t state_;
};

// Where the original would draw forever: the parameter that decides, and why.
Error never_ends(const char* what, const char* why) {
    return Error::value(std::string(what) + ": MNETGEN never finishes with these parameters (" + why + ")");
}

// One record at a time into a BufferedFile: integers in full, doubles as "%.4g", tab-separated.
class Record {
public:
    explicit Record(io::BufferedFile& out) : out_(out), p_(out.line_room(8 * kFieldRoom)) {}
    Record& operator<<(int64_t v) {
        sep();
        p_ = utils::write_decimal_wide(p_, v);
        return *this;
    }
    Record& operator<<(double v) {
        sep();
        p_ = put_general4(p_, v);
        return *this;
    }
    ~Record() {
        *p_++ = '\n';
        out_.end_line(p_);
    }

private:
    void sep() {
        if (!first_) *p_++ = '\t';
        first_ = false;
    }
    io::BufferedFile& out_;
    char* p_;
    bool first_ = true;
};

class Mnetgen {
public:
    Mnetgen(const MnetgenParams& p, io::BufferedFile& mut, io::BufferedFile& arc)
        : p_(p), random_(p.seed), mut_(mut), arc_(arc), comm_(std::size_t(p.commodities)) {
        lpsor_ = p.sources - p.tsources;
        itsor_ = lpsor_ + 1;
        lpt_ = p.nodes - p.sinks;
        itsin_ = lpt_ + 1;
        ktran_ = (p.nodes - p.sinks + p.tsinks) - lpsor_;
        transportation_ = (p.sources - p.tsources) + (p.sinks - p.tsinks) == p.nodes;
    }

    Outcome<void> run() {
        distribute_supplies();
        flag_.assign(std::size_t(p_.nodes) + 1, false);
        demand_.assign(std::size_t(p_.sinks) * comm_, 0);
        unflagged_ = lpt_ - itsor_ + 1;
        for (int64_t source = 1; source <= p_.sources; ++source) {
            if (Outcome<void> done = route(source); !done) return done;
            if (interrupted() || mut_.failed() || arc_.failed()) return Error::interrupted();
        }
        return more_arcs();
    }

    int64_t names() const noexcept { return names_; }
    int64_t capacities() const noexcept { return mutual_; }

    void write_supplies(io::BufferedFile& out) const {
        for (int64_t i = 1; i <= p_.sources; ++i)
            for (std::size_t k = 0; k < comm_; ++k) Record(out) << i << int64_t(k + 1) << supply(i, k);
        for (int64_t i = 1; i <= p_.sinks; ++i)
            for (std::size_t k = 0; k < comm_; ++k)
                Record(out) << i + lpt_ << int64_t(k + 1) << -demand_[std::size_t(i - 1) * comm_ + k];
    }

private:
    int64_t& supply(int64_t source, std::size_t k) { return supply_[std::size_t(source - 1) * (comm_ + 1) + k]; }
    int64_t supply(int64_t source, std::size_t k) const { return supply_[std::size_t(source - 1) * (comm_ + 1) + k]; }
    int64_t& demand(int64_t sink_node, std::size_t k) { return demand_[std::size_t(sink_node - lpt_ - 1) * comm_ + k]; }
    int64_t draw_below(int64_t n) { return int64_t(double(n) * random_.next()); }

    // Each commodity's total supply dealt out among the sources, each share raised to the sink
    // count; the last column holds a source's sum over the commodities.
    void distribute_supplies() {
        const int64_t sources = p_.sources;
        supply_.assign(std::size_t(sources) * (comm_ + 1), 0);
        const double spread = double(p_.max_supply - p_.min_supply);
        for (std::size_t k = 0; k < comm_; ++k) {
            const int64_t total = int64_t(random_.next() * spread) + p_.min_supply, share = total / sources;
            for (int64_t i = 1; i <= sources; ++i) {
                const int64_t part = int64_t(double(share) * random_.next() + 1);
                const int64_t j = draw_below(sources);
                supply(i, k) += part;
                supply(j + 1, k) += share - part;
            }
            supply(draw_below(sources) + 1, k) += total - share * sources;
            for (int64_t i = 1; i <= sources; ++i) supply(i, k) = std::max(supply(i, k), p_.sinks);
        }
        for (int64_t i = 1; i <= sources; ++i) {
            int64_t sum = 0;
            for (std::size_t k = 0; k < comm_; ++k) sum += supply(i, k);
            supply(i, comm_) = sum;
        }
    }

    Outcome<void> route(int64_t source) {
        std::fill(flag_.begin() + lpt_ + 1, flag_.end(), false);
        chain_.clear();
        int64_t last = source;
        if (!transportation_) {
            const int64_t length =
                std::min(int64_t(double(ktran_) / double(p_.sources) * 3 * random_.next() + 1), p_.chain);
            for (int64_t i = 0; i < length; ++i) {
                // Transshipment nodes not used by any chain yet, and the transshipment sinks (which
                // may come again), but neither the source nor the node just taken.
                const int64_t open =
                    unflagged_ + p_.tsinks - (last >= itsin_) - (source >= itsor_ && !flag_[std::size_t(source)]);
                if (open <= 0)
                    return never_ends("chain",
                                      "a chain searches for an unused transshipment node that no longer exists");
                int64_t l;
                do l = draw_below(ktran_) + itsor_;
                while (l == last || l == source || flag_[std::size_t(l)]);
                chain_.push_back(last = l);
                if (l < itsin_) flag_[std::size_t(l)] = true, --unflagged_;
            }
            if (source == p_.sources)
                for (int64_t node = p_.sources + 1; node <= lpt_; ++node)
                    if (!flag_[std::size_t(node)]) chain_.push_back(last = node);
        }
        const int64_t wanted =
            std::min(int64_t(double(p_.sinks) / double(p_.sources) * 3 * random_.next() + 1), p_.sinks);
        sinks_.clear();
        for (int64_t i = 0; i < wanted; ++i) {
            if (p_.sinks - i - (last >= itsin_) <= 0)
                return never_ends("sinks", "a source searches for an unused sink that no longer exists");
            int64_t l;
            do l = draw_below(p_.sinks) + itsin_;
            while (l == last || flag_[std::size_t(l)]);
            sinks_.push_back(l);
            flag_[std::size_t(l)] = true;
        }
        if (source == p_.sources)
            for (int64_t node = lpt_ + 1; node <= p_.nodes; ++node)
                if (node != last && !flag_[std::size_t(node)]) sinks_.push_back(node);

        const double chance = p_.capacitated / 100;
        auto pointers = [&](std::vector<int64_t>& into, std::size_t count) {
            into.assign(count, 0);
            for (int64_t& pointer : into)
                if (!(random_.next() > chance)) {
                    pointer = ++mutual_;
                    Record(mut_) << pointer << supply(source, comm_);
                }
        };
        if (!transportation_) pointers(chain_mut_, chain_.size());
        pointers(sink_mut_, sinks_.size());

        const int64_t hooked = int64_t(sinks_.size());
        for (std::size_t k = 0; k < comm_; ++k) {
            const int64_t share = supply(source, k) / hooked;
            for (int64_t i = 0; i < hooked; ++i) {
                const int64_t j = draw_below(hooked), part = int64_t(double(share) * random_.next() + 1);
                demand(sinks_[std::size_t(i)], k) += part;
                demand(sinks_[std::size_t(j)], k) += share - part;
            }
            demand(sinks_[std::size_t(draw_below(hooked))], k) += supply(source, k) - share * hooked;
            int64_t name = names_, from = source;
            for (std::size_t i = 0; i < chain_.size(); ++i) {
                skeleton_arc(++name, from, chain_[i], k, source, chain_mut_[i]);
                from = chain_[i];
            }
            for (std::size_t i = 0; i < sinks_.size(); ++i)
                skeleton_arc(++name, last, sinks_[i], k, source, sink_mut_[i]);
            arcs_ += int64_t(chain_.size() + sinks_.size());
        }
        names_ += int64_t(chain_.size() + sinks_.size());
        return {};
    }

    void skeleton_arc(int64_t name, int64_t from, int64_t to, std::size_t k, int64_t source, int64_t pointer) {
        double cost = double(p_.max_cost);
        if (random_.next() > p_.hicost / 100)
            cost = double(p_.min_cost) + random_.next() * double(p_.max_cost - p_.min_cost);
        double bound = -1;
        if (random_.next() < p_.bounded / 100) bound = double(supply(source, k));
        Record(arc_) << name << from << to << int64_t(k + 1) << cost << bound << pointer;
    }

    // Random arcs, each one name for a random set of commodities, until the count is reached.
    Outcome<void> more_arcs() {
        std::vector<bool> used(comm_);
        const double cost_span = double(p_.max_cost - p_.min_cost), cap_span = double(p_.max_cap - p_.min_cap),
                     bound_span = double(p_.max_bound - p_.min_bound);
        for (uint64_t round = 1; arcs_ < p_.arcs; ++round) {
            const int64_t to = int64_t(double(p_.nodes - lpsor_) * random_.next() + double(itsor_));
            if (p_.nodes == 2 && to == 1)
                return never_ends("arcs", "a random arc into node 1 searches for a tail among nodes 1 to nodes - 1");
            int64_t from;
            do from = draw_below(p_.nodes);
            while (from == to || from == 0);
            const int64_t count = int64_t(double(p_.commodities) * random_.next() + 1);
            std::fill(used.begin(), used.end(), false);
            int64_t pointer = 0;
            if (random_.next() <= p_.capacitated / 100) {
                pointer = ++mutual_;
                Record(mut_) << pointer << p_.min_cap + int64_t(random_.next() * cap_span);
            }
            ++names_;
            for (int64_t i = 0; i < count; ++i) {
                std::size_t k;
                do k = std::size_t(draw_below(p_.commodities));
                while (used[k]);
                used[k] = true;
                const double cost = double(p_.min_cost) + random_.next() * cost_span;
                double bound = -1;
                if (random_.next() < p_.bounded / 100)
                    bound = double(p_.min_bound + int64_t(random_.next() * bound_span));
                Record(arc_) << names_ << from << to << int64_t(k + 1) << cost << bound << pointer;
            }
            arcs_ += count;
            if ((round & 0xffff) == 0 && (interrupted() || arc_.failed())) return Error::interrupted();
        }
        return {};
    }

    const MnetgenParams& p_;
    Drand48 random_;
    io::BufferedFile &mut_, &arc_;
    std::size_t comm_;
    int64_t lpsor_, itsor_, lpt_, itsin_, ktran_;
    bool transportation_;
    int64_t unflagged_ = 0, names_ = 0, arcs_ = 0, mutual_ = 0;
    std::vector<int64_t> supply_, demand_, chain_, sinks_, chain_mut_, sink_mut_;
    std::vector<bool> flag_;
};

std::string got(int64_t v) { return ", got " + std::to_string(v); }

}  // namespace

Outcome<void> check_mnetgen(const MnetgenParams& p) {
    auto fault = [](std::string text) -> Outcome<void> { return Error::value(std::move(text)); };
    if (p.nodes < 2) return fault("nodes must be at least 2" + got(p.nodes));
    if (p.arcs < 0) return fault("arcs must be at least 0" + got(p.arcs));
    if (p.sources < 1) return fault("sources must be at least 1" + got(p.sources));
    if (p.sinks < 1) return fault("sinks must be at least 1" + got(p.sinks));
    if (p.sources > p.nodes - p.sinks)
        return fault("sources + sinks must not exceed nodes (" + std::to_string(p.nodes) + "), got " +
                     std::to_string(p.sources) + " + " + std::to_string(p.sinks));
    if (p.commodities < 1) return fault("commodities must be at least 1" + got(p.commodities));
    if (p.tsources < 0 || p.tsources > p.sources)
        return fault("tsources must be from 0 to sources (" + std::to_string(p.sources) + ")" + got(p.tsources));
    if (p.tsinks < 0 || p.tsinks > p.sinks)
        return fault("tsinks must be from 0 to sinks (" + std::to_string(p.sinks) + ")" + got(p.tsinks));
    if (p.chain < 0) return fault("chain must be at least 0" + got(p.chain));
    const std::pair<const char*, std::pair<int64_t, int64_t>> ranges[] = {{"cost", {p.min_cost, p.max_cost}},
                                                                          {"supply", {p.min_supply, p.max_supply}},
                                                                          {"bound", {p.min_bound, p.max_bound}},
                                                                          {"cap", {p.min_cap, p.max_cap}}};
    for (const auto& [name, range] : ranges) {
        if (range.first > range.second)
            return fault(std::string("min_") + name + " must not exceed max_" + name + " (" +
                         std::to_string(range.second) + ")" + got(range.first));
        if (int64_t span; __builtin_sub_overflow(range.second, range.first, &span))
            return fault(std::string("max_") + name + " - min_" + name + " must be below 2^63");
    }
    if (p.min_supply < p.sources)
        return fault("min_supply must be at least the number of sources (" + std::to_string(p.sources) + ")" +
                     got(p.min_supply));
    if ((long double)std::max(p.max_supply, p.sinks) * (long double)p.commodities > (long double)(int64_t(1) << 62))
        return fault("max_supply: the supplies summed over the commodities must stay below 2^62");
    for (auto [name, value] :
         {std::pair{"hicost", p.hicost}, std::pair{"bounded", p.bounded}, std::pair{"capacitated", p.capacitated}})
        if (!(value >= 0 && value <= 100))
            return fault(std::string(name) + " must be a percentage from 0 to 100, got " + std::to_string(value));
    const long double need = ((long double)p.sinks * (long double)p.commodities +
                              (long double)p.sources * ((long double)p.commodities + 1) + (long double)p.nodes * 4) *
                             8;
    return check_memory(need, "commodities: the supplies and demands");
}

Outcome<FamilySummary> write_mnetgen_problem(std::string_view prefix, const MnetgenParams& p) {
    if (Outcome<void> checked = check_mnetgen(p); !checked) return checked.error();
    DraftFile mut, arc, nod, sup;
    if (Outcome<void> opened = mut.open(std::string(prefix) + ".mut", true); !opened) return opened.error();
    if (Outcome<void> opened = arc.open(std::string(prefix) + ".arc", true); !opened) return opened.error();
    Mnetgen net(p, mut.out(), arc.out());
    if (Outcome<void> made = net.run(); !made) {
        if (made.error().kind == Error::Kind::Interrupted) {
            if (Outcome<void> done = arc.finish(); !done) return done.error();
            if (Outcome<void> done = mut.finish(); !done) return done.error();
        }
        return made.error();
    }
    for (DraftFile* file : {&arc, &mut})
        if (Outcome<void> done = file->finish(); !done) return done.error();
    if (Outcome<void> opened = nod.open(std::string(prefix) + ".nod", true); !opened) return opened.error();
    nod.out().put(std::to_string(p.commodities) + "\n" + std::to_string(p.nodes) + "\n" + std::to_string(net.names()) +
                  "\n" + std::to_string(net.capacities()) + "\n");
    if (Outcome<void> done = nod.finish(); !done) return done.error();
    if (Outcome<void> opened = sup.open(std::string(prefix) + ".sup", true); !opened) return opened.error();
    net.write_supplies(sup.out());
    if (Outcome<void> done = sup.finish(); !done) return done.error();
    for (DraftFile* file : {&mut, &arc, &nod, &sup}) file->keep();
    return FamilySummary{p.nodes, net.names()};
}

}  // namespace pelmora::tools
