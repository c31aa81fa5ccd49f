// Line-oriented probe of src/random for tests/test_random_streams.py: one request per input
// line, one answer line per request (flushed, so the test can keep the process open).
// Floats travel as the 16 hex digits of their bits. A draw that counts generator calls is
// printed as value:next_u32_calls:next_u64_calls.
//
//   key SEED                         the 32 seed bytes of seed_from_u64, as hex
//   seq SEED OPS                     OPS is a string of 4 (next_u32) and 8 (next_u64)
//   walk SEED PRE DISCARD STEP OPS   PRE next_u32 calls, discard_u32(DISCARD), STEP more
//                                    next_u32 calls, then OPS as in seq
//   chacha KEYHEX BLOCK              64 words of the scalar refill, then 64 of the vector one
//   range_f64 SEED LO HI COUNT | range_usize SEED N COUNT | range_i64 SEED LO HI COUNT
//   standard SEED COUNT | open01 SEED COUNT
//   beta SEED ALPHA BETA COUNT | binomial SEED N P COUNT   ("invalid" when create refuses)
//   pub_<any of the samplers above>  the same through the public StdRng functions, values only
//   log X | exp X | c_log X | c_exp X | c_pow X Y
//   paths                            whether refill8 takes the vector code, then the AVX2 code (1/0)
#include <bit>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>

#include "random/chacha.hpp"
#include "random/distributions.hpp"
#include "random/libm.hpp"
#include "random/random.hpp"

namespace {

using pelmora::rnd::StdRng;

struct CountingRng {
    StdRng& rng;
    uint64_t n32 = 0, n64 = 0;
    uint32_t next_u32() { return ++n32, rng.next_u32(); }
    uint64_t next_u64() { return ++n64, rng.next_u64(); }
};

double parse_f64(const std::string& hex) { return std::bit_cast<double>(std::stoull(hex, nullptr, 16)); }

std::string hex_f64(double x) {
    char buf[17];
    std::snprintf(buf, sizeof buf, "%016" PRIx64, std::bit_cast<uint64_t>(x));
    return buf;
}

std::string u64s(uint64_t v) { return std::to_string(v); }
std::string i64s(int64_t v) { return std::to_string(v); }

std::string run_ops(StdRng& rng, const std::string& ops) {
    std::string out;
    for (char op : ops) {
        if (!out.empty()) out += ' ';
        out += op == '4' ? u64s(rng.next_u32()) : u64s(rng.next_u64());
    }
    return out;
}

std::string answer(const std::string& line) {
    namespace rnd = pelmora::rnd;
    namespace detail = pelmora::rnd::detail;
    std::istringstream in(line);
    std::string cmd;
    in >> cmd;
    if (cmd == "key") {
        uint64_t seed;
        in >> seed;
        std::string out;
        char buf[3];
        for (uint8_t byte : StdRng::seed_from_u64(seed).get_seed()) {
            std::snprintf(buf, sizeof buf, "%02x", byte);
            out += buf;
        }
        return out;
    }
    if (cmd == "seq") {
        uint64_t seed;
        std::string ops;
        in >> seed >> ops;
        StdRng rng = StdRng::seed_from_u64(seed);
        return run_ops(rng, ops);
    }
    if (cmd == "walk") {
        uint64_t seed, pre, discard, step;
        std::string ops;
        in >> seed >> pre >> discard >> step >> ops;
        StdRng rng = StdRng::seed_from_u64(seed);
        for (uint64_t i = 0; i < pre; ++i) rng.next_u32();
        rng.discard_u32(discard);
        for (uint64_t i = 0; i < step; ++i) rng.next_u32();
        return run_ops(rng, ops);
    }
    if (cmd == "chacha") {
        std::string key_hex;
        uint64_t block;
        in >> key_hex >> block;
        uint32_t key[8];
        for (int i = 0; i < 8; ++i) key[i] = static_cast<uint32_t>(std::stoul(key_hex.substr(8 * i, 8), nullptr, 16));
        uint32_t scalar[64], vector[64], eight[128];
        rnd::chacha::refill4_scalar(key, block, scalar);
        rnd::chacha::refill4_vector(key, block, vector);
        rnd::chacha::refill8(key, block, eight);
        std::string out;
        for (uint32_t w : scalar) out += u64s(w) + " ";
        for (uint32_t w : vector) out += u64s(w) + " ";
        for (int i = 0; i < 128; ++i) out += (i ? " " : "") + u64s(eight[i]);
        return out;
    }
    if (cmd == "paths")
        return std::to_string(rnd::chacha::has_vector_path()) + " " + std::to_string(rnd::chacha::has_avx2_path());
    if (cmd == "c_pow") {
        std::string x, y;
        in >> x >> y;
        return hex_f64(std::pow(parse_f64(x), parse_f64(y)));
    }
    if (cmd == "log" || cmd == "exp" || cmd == "c_log" || cmd == "c_exp") {
        std::string x;
        in >> x;
        const double v = parse_f64(x);
        if (cmd == "log") return hex_f64(rnd::libm::log(v));
        if (cmd == "exp") return hex_f64(rnd::libm::exp(v));
        if (cmd == "c_log") return hex_f64(std::log(v));
        return hex_f64(std::exp(v));
    }
    // The samplers: COUNT draws from a fresh generator, through the templates with the
    // generator calls of each draw, or (with a "pub_" prefix) through the public functions.
    const bool pub = cmd.rfind("pub_", 0) == 0;
    if (pub) cmd.erase(0, 4);
    uint64_t seed;
    int count = 0;
    in >> seed;
    auto run = [&](auto counted_draw, auto public_draw, auto show) {
        StdRng rng = StdRng::seed_from_u64(seed);
        std::string out;
        for (int i = 0; i < count; ++i) {
            if (i) out += ' ';
            if (pub) {
                out += show(public_draw(rng));
                continue;
            }
            CountingRng counted{rng};
            out += show(counted_draw(counted));
            out += ":" + u64s(counted.n32) + ":" + u64s(counted.n64);
        }
        return out;
    };
    if (cmd == "range_f64") {
        std::string lo, hi;
        in >> lo >> hi >> count;
        const double l = parse_f64(lo), h = parse_f64(hi);
        return run([&](CountingRng& r) { return detail::range_f64(r, l, h); },
                   [&](StdRng& r) { return rnd::random_range_f64(r, l, h); }, hex_f64);
    }
    if (cmd == "range_usize") {
        uint64_t n;
        in >> n >> count;
        return run([&](CountingRng& r) { return detail::range_usize(r, n); },
                   [&](StdRng& r) { return rnd::random_range_usize(r, n); }, u64s);
    }
    if (cmd == "range_i64") {
        int64_t lo, hi;
        in >> lo >> hi >> count;
        return run([&](CountingRng& r) { return detail::range_i64_inclusive(r, lo, hi); },
                   [&](StdRng& r) { return rnd::random_range_i64_inclusive(r, lo, hi); }, i64s);
    }
    if (cmd == "standard") {
        in >> count;
        return run([](CountingRng& r) { return detail::standard_f64(r); },
                   [](StdRng& r) { return rnd::standard_f64(r); }, hex_f64);
    }
    if (cmd == "open01") {
        in >> count;
        return run([](CountingRng& r) { return detail::open01_f64(r); }, [](StdRng& r) { return rnd::open01_f64(r); },
                   hex_f64);
    }
    if (cmd == "beta") {
        std::string alpha, beta;
        in >> alpha >> beta >> count;
        const auto dist = rnd::Beta::create(parse_f64(alpha), parse_f64(beta));
        if (!dist) return std::string("invalid");
        return run([&](CountingRng& r) { return dist->sample_with(r); }, [&](StdRng& r) { return dist->sample(r); },
                   hex_f64);
    }
    if (cmd == "binomial") {
        uint64_t n;
        std::string p;
        in >> n >> p >> count;
        const auto dist = rnd::Binomial::create(n, parse_f64(p));
        if (!dist) return std::string("invalid");
        return run([&](CountingRng& r) { return dist->sample_with(r); }, [&](StdRng& r) { return dist->sample(r); },
                   u64s);
    }
    return "unknown request: " + line;
}

}  // namespace

int main() {
    std::string line;
    while (std::getline(std::cin, line)) {
        if (line.empty()) continue;
        std::fputs(answer(line).c_str(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }
}
