// Balancing moves one unit per node visit, so it makes as many visits as the imbalance needs, and
// the cost of a pass must not depend on K. The surplus and deficit lists are therefore never
// rebuilt: two CommoditySets keep them, and a commodity moves between them only when its net
// total changes sign. Those changes are applied at the end of each pass, so that during a pass
// the lists (and the positions the draw and the deficit cursor refer to) are the ones the pass
// began with, even when a deficit commodity's net reaches 0 or more on the way.
//
// On large totals with few commodities there are ~10^9 visits, and the loop replays whole passes
// at once while nothing that decides a pass can change:
//
// Between two passes the state that decides the next pass is (source s, deficit cursor, which
// values are non-zero); the node cursor is back where it started after every full pass. As long
// as the surplus and deficit lists stay the same and no relevant value reaches 0, a pass from
// (s, cursor) always makes the same moves, so each distinct (s, cursor) is simulated once per
// batch, the passes only count how often each was taken, and the moves are applied in bulk at
// the end of the batch. The batch hands over to a plain pass when the next pass could bring net s
// to 0 (it might end early, leaving the node cursor elsewhere), and it ends after the pass that
// could have changed what the next pass depends on:
//   - a deficit commodity's net reaching 0 or more (the lists change at the next pass; the
//     deficit nets are only brought up to date when the units moved since could have got there);
//   - a supply node's value of a surplus commodity reaching 0 (exact: every pass with source s
//     takes one unit from every such value);
//   - a demand node's value of a deficit commodity reaching 0 (values close to 0 are tracked
//     exactly, the others by a bound: a pass changes a node by at most one unit).
// With a single surplus commodity every pass still draws from [0, 1), one word each; those words
// are skipped in one go.
#include "logic/generator/balancer.hpp"
#include "logic/generator/internal.hpp"

namespace pelmora::logic::generator::detail {

namespace {

std::vector<Wide> net_totals(const SupplyPartition& partition, std::size_t K) {
    std::vector<Wide> net(K, 0);
    for (std::size_t i = 0; i < partition.size(); ++i) {
        const int64_t* row = partition.values.data() + partition.offsets[i];
        for (std::size_t c = 0; c < K; ++c) net[c] += row[c];
    }
    return net;
}

int8_t sign_of(Wide x) { return static_cast<int8_t>((x > 0) - (x < 0)); }

}  // namespace

Balancer::Balancer(SupplyPartition& partition, const SupplyMap& supplies, std::size_t K, rnd::StdRng* rng)
    : N_(partition.size()),
      K_(K),
      rng_(rng),
      net_(net_totals(partition, K)),
      state_(K),
      surplus_(K, [&](std::size_t c) { return net_[c] > 0; }),
      deficit_(K, [&](std::size_t c) { return net_[c] < 0; }) {
    for (std::size_t c = 0; c < K_; ++c) state_[c] = sign_of(net_[c]);
    rows_.resize(N_);
    sign_.assign(N_, 0);
    std::size_t j = 0;
    for (std::size_t i = 0; i < N_; ++i) {
        rows_[i] = partition.values.data() + partition.offsets[i];
        const int64_t node = partition.keys[i];
        while (j < supplies.size() && supplies.nodes[j] < node) ++j;
        if (j < supplies.size() && supplies.nodes[j] == node)
            sign_[i] = static_cast<int8_t>((supplies.totals[j] > 0) - (supplies.totals[j] < 0));
    }
}

Outcome<void> Balancer::run() {
    for (;;) {
        if (interrupted()) return Error::interrupted();
        const std::size_t L = surplus_.size(), D = deficit_.size();
        if (L == 0 || D == 0) return {};
        if (dc_ >= D) dc_ = 0;
        const bool moved = cool_down_ == 0 && batch_allowed(L, D) ? run_batch() : direct_pass(surplus_.at(draw(L)));
        if (stopped_) return Error::interrupted();
        // Only inputs breaking the callers' guarantees (mixed signs in a node) can leave a pass
        // without a move; the passes would then repeat forever.
        if (!moved) return {};
    }
}

std::size_t Balancer::draw(std::size_t L) {
    if (!rng_) return 0;
    return static_cast<std::size_t>(rnd::random_range_usize(*rng_, L));
}

void Balancer::sync(std::size_t c) {
    const int8_t now = sign_of(net_[c]);
    int8_t& was = state_[c];
    if (now == was) return;
    if (was > 0) surplus_.erase(c);
    else if (was < 0) deficit_.erase(c);
    if (now > 0) surplus_.insert(c);
    else if (now < 0) deficit_.insert(c);
    was = now;
}

bool Balancer::direct_pass(std::size_t s) {
    bool moved = false;
    const std::size_t visits = walk(
        s, deficit_.size(), nc_, dc_, [&](std::size_t pos) { return deficit_.at(pos); },
        [&](std::size_t i, std::size_t, std::size_t t) {
            int64_t* v = rows_[i];
            --v[s];
            ++v[t];
            --net_[s];
            ++net_[t];
            touched_.push_back(t);
            moved = true;
            return net_[s] == 0;
        });
    sync(s);
    for (std::size_t t : touched_) sync(t);
    touched_.clear();
    cool_down_ = cool_down_ > visits ? cool_down_ - visits : 0;
    return moved;
}

}  // namespace pelmora::logic::generator::detail

namespace pelmora::logic::generator {

Outcome<void> balance_commodities(models::SupplyPartition& partition, const models::SupplyMap& supplies,
                                  uint64_t num_commodities, rnd::StdRng* rng) {
    // Without rows every net total is 0, so the first pass would find no surplus and return without
    // a draw. Returning here also spares allocating K net totals for a K that no row could hold
    // (split_supplies_uniform({}, 2**62) raised PanicException from std::vector's length check).
    if (partition.empty() || num_commodities == 0) return {};
    return detail::Balancer(partition, supplies, static_cast<std::size_t>(num_commodities), rng).run();
}

}  // namespace pelmora::logic::generator
