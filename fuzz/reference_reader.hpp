// The fuzz targets' reference reader of both file formats, written for clarity rather than
// speed: what a reader should give for a file, line by line, with Rust's integer and float
// messages.
#pragma once

#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace fuzz {

// ---------------------------------------------------------------------------------------------
// Reference line handling: decode UTF-8 code point by code point, trim and split at the Unicode
// White_Space characters, parse integers the way Rust's str::parse does (first offending
// character decides the message).

inline bool decode_utf8(std::string_view s, std::vector<std::pair<uint32_t, std::size_t>>& out) {
    out.clear();
    std::size_t i = 0;
    while (i < s.size()) {
        unsigned char b = static_cast<unsigned char>(s[i]);
        uint32_t cp;
        std::size_t len;
        if (b < 0x80) cp = b, len = 1;
        else if ((b & 0xE0) == 0xC0) cp = b & 0x1F, len = 2;
        else if ((b & 0xF0) == 0xE0) cp = b & 0x0F, len = 3;
        else if ((b & 0xF8) == 0xF0) cp = b & 0x07, len = 4;
        else return false;
        if (i + len > s.size()) return false;
        for (std::size_t k = 1; k < len; ++k) {
            unsigned char c = static_cast<unsigned char>(s[i + k]);
            if ((c & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (c & 0x3F);
        }
        static constexpr uint32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        out.emplace_back(cp, i);
        i += len;
    }
    return true;
}

inline bool is_white_space(uint32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// Splits the file into lines as the readers see them: at line feeds, the last piece counting only
// when it is not empty.
inline std::vector<std::string_view> split_lines(std::string_view text) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t nl = text.find('\n', start);
        if (nl == std::string_view::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }
    return lines;
}

// Tokens of one valid UTF-8 line (white-space runs separate them).
inline std::vector<std::string_view> tokenize(std::string_view line,
                                              const std::vector<std::pair<uint32_t, std::size_t>>& cps) {
    std::vector<std::string_view> tokens;
    std::size_t start = std::string_view::npos;
    for (std::size_t k = 0; k <= cps.size(); ++k) {
        bool space = k == cps.size() || is_white_space(cps[k].first);
        std::size_t at = k == cps.size() ? line.size() : cps[k].second;
        if (space) {
            if (start != std::string_view::npos) tokens.push_back(line.substr(start, at - start));
            start = std::string_view::npos;
        } else if (start == std::string_view::npos) {
            start = at;
        }
    }
    return tokens;
}

inline const char* kInvalidDigit = "invalid digit found in string";
inline const char* kTooLarge = "number too large to fit in target type";
inline const char* kTooSmall = "number too small to fit in target type";
inline const char* kInvalidUtf8 = "stream did not contain valid UTF-8";
inline const char* kInvalidFloat = "invalid float literal";

// Signed 64-bit; returns the error message or null.
inline const char* ref_parse_i64(std::string_view t, int64_t& out) {
    if (t.empty()) return "cannot parse integer from empty string";
    std::size_t i = 0;
    bool negative = false;
    if (t[0] == '+' || t[0] == '-') {
        negative = t[0] == '-';
        i = 1;
        if (t.size() == 1) return kInvalidDigit;
    }
    int64_t v = 0;
    for (; i < t.size(); ++i) {
        if (t[i] < '0' || t[i] > '9') return kInvalidDigit;
        int d = t[i] - '0';
        if (__builtin_mul_overflow(v, int64_t(10), &v)) return negative ? kTooSmall : kTooLarge;
        if (negative ? __builtin_sub_overflow(v, int64_t(d), &v) : __builtin_add_overflow(v, int64_t(d), &v))
            return negative ? kTooSmall : kTooLarge;
    }
    out = v;
    return nullptr;
}

// Unsigned 64-bit: a "+" may lead, a "-" is an invalid digit.
inline const char* ref_parse_u64(std::string_view t, uint64_t& out) {
    if (t.empty()) return "cannot parse integer from empty string";
    std::size_t i = 0;
    if (t[0] == '+') {
        i = 1;
        if (t.size() == 1) return kInvalidDigit;
    }
    uint64_t v = 0;
    for (; i < t.size(); ++i) {
        if (t[i] < '0' || t[i] > '9') return kInvalidDigit;
        if (__builtin_mul_overflow(v, uint64_t(10), &v) || __builtin_add_overflow(v, uint64_t(t[i] - '0'), &v))
            return kTooLarge;
    }
    out = v;
    return nullptr;
}

inline bool same_ignoring_case(std::string_view a, std::string_view lower) {
    if (a.size() != lower.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != lower[i]) return false;
    return true;
}

// Rust's f64 grammar; the value comes from strtod on the validated text.
inline const char* ref_parse_f64(std::string_view t, double& out) {
    if (t.empty()) return "cannot parse float from empty string";
    std::size_t i = (t[0] == '+' || t[0] == '-') ? 1 : 0;
    std::string_view body = t.substr(i);
    bool negative = i == 1 && t[0] == '-';
    if (same_ignoring_case(body, "inf") || same_ignoring_case(body, "infinity")) {
        out = negative ? -HUGE_VAL : HUGE_VAL;
        return nullptr;
    }
    if (same_ignoring_case(body, "nan")) {
        out = std::nan("");
        return nullptr;
    }
    std::size_t mantissa = 0;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i, ++mantissa;
    if (i < t.size() && t[i] == '.') {
        ++i;
        while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i, ++mantissa;
    }
    if (mantissa == 0) return kInvalidFloat;
    if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
        ++i;
        if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
        std::size_t exp = 0;
        while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i, ++exp;
        if (exp == 0) return kInvalidFloat;
    }
    if (i != t.size()) return kInvalidFloat;
    out = std::strtod(std::string(t).c_str(), nullptr);
    return nullptr;
}

// ---------------------------------------------------------------------------------------------
// What a reader should give for a file: a result, a documented error message, an error of the
// implementer's own wording (a line too short for its fields), or "either way" for the corners
// the format leaves to the implementer.

enum class Expect { ok, error, short_line, free };

struct RefArc {
    int64_t tail, head, low, up, cost, index;
    std::vector<int64_t> caps, costs;  // multi-commodity files only
};

struct RefFile {
    Expect expect = Expect::ok;
    std::string message;  // for Expect::error
    int64_t num_nodes = 0, num_arcs = 0;
    uint64_t k = 0, seed = 0;
    bool rand_caps = false, rand_costs = false, cap_zero = false;
    int64_t method = 0;
    double cap_zero_param = 0.0;
    std::vector<int64_t> nodes;
    std::map<int64_t, int64_t> supplies;
    std::map<int64_t, std::vector<int64_t>> partition;  // multi-commodity node values
    std::vector<RefArc> arcs;
    bool huge_k = false;  // a problem line with K above the limit was reached
};

// Either format: `multi` selects the multi-commodity reader's problem, node and arc lines.
// `k_limit`: a K above it (with arcs to fill) is left to the implementer.
inline RefFile reference_read(std::string_view text, bool multi, uint64_t k_limit = 1024) {
    RefFile r;
    std::set<int64_t> seen;
    std::map<std::pair<int64_t, int64_t>, int64_t> counter;
    bool problem_seen = false;
    std::vector<std::pair<uint32_t, std::size_t>> cps;
    auto see = [&](int64_t node) {
        if (seen.insert(node).second) r.nodes.push_back(node);
    };
    auto stop = [&](Expect e, const char* message = "") {
        if (r.expect != Expect::free) r.expect = e;  // once free, any outcome is allowed
        r.message = message;
        return r;
    };

    for (std::string_view line : split_lines(text)) {
        if (!decode_utf8(line, cps)) return stop(Expect::error, kInvalidUtf8);
        std::vector<std::string_view> tok = tokenize(line, cps);
        if (tok.empty() || tok[0][0] == 'c' || tok[0].size() != 1) continue;
        const char kind = tok[0][0];
        // Token i as a number, or a short line when it is missing.
        const char* err = nullptr;
        bool missing = false;
        auto i64 = [&](std::size_t i, int64_t& v) {
            if (i >= tok.size()) return (missing = true, false);
            return (err = ref_parse_i64(tok[i], v)) == nullptr;
        };
        auto u64 = [&](std::size_t i, uint64_t& v) {
            if (i >= tok.size()) return (missing = true, false);
            return (err = ref_parse_u64(tok[i], v)) == nullptr;
        };
        auto failed = [&]() { return missing ? stop(Expect::short_line) : stop(Expect::error, err); };

        if (kind == 'p') {
            if (multi && !r.arcs.empty()) r.expect = Expect::free;  // a problem line after arcs
            int64_t nn, na, f5, f6, meth, f8;
            uint64_t k = 0, seed;
            double param;
            if (tok.size() < 2) return stop(Expect::short_line);
            if (!i64(2, nn) || !i64(3, na)) return failed();
            if (multi) {
                if (!u64(4, k) || !u64(10, seed) || !i64(5, f5) || !i64(6, f6) || !i64(7, meth) || !i64(8, f8))
                    return failed();
                if (tok.size() <= 9) return stop(Expect::short_line);
                if (const char* e = ref_parse_f64(tok[9], param)) return stop(Expect::error, e);
                r.k = k, r.seed = seed, r.rand_caps = f5 != 0, r.rand_costs = f6 != 0, r.method = meth,
                r.cap_zero = f8 != 0, r.cap_zero_param = param;
                if (k > k_limit) r.huge_k = true, r.expect = Expect::free;
            }
            r.num_nodes = nn, r.num_arcs = na;
            problem_seen = true;
        } else if (kind == 'n') {
            int64_t id, total;
            if (!i64(1, id) || !i64(2, total)) return failed();
            std::vector<int64_t> values;
            if (multi) {
                for (std::size_t i = 3; i < tok.size(); ++i) {
                    int64_t v;
                    if (!i64(i, v)) return failed();
                    values.push_back(v);
                }
                r.partition[id] = std::move(values);
            }
            r.supplies[id] = total;
            see(id);
        } else if (kind == 'a') {
            RefArc a{};
            if (multi) {
                if (!problem_seen) r.expect = Expect::free;  // an arc line before the problem line
                if (!i64(1, a.tail) || !i64(2, a.head) || !i64(4, a.up)) return failed();
                bool caps_expanded = r.rand_caps || r.cap_zero;
                if (r.k > k_limit) return stop(Expect::free);
                std::size_t at = 5;
                auto group = [&](bool expanded, std::vector<int64_t>& out) {
                    std::size_t n = expanded ? std::size_t(r.k) : 1;
                    for (std::size_t j = 0; j < n; ++j) {
                        int64_t v;
                        if (!i64(at + j, v)) return false;
                        out.push_back(v);
                    }
                    at += n;
                    if (!expanded) out.assign(std::size_t(r.k), out[0]);
                    return true;
                };
                if (!group(caps_expanded, a.caps) || !group(r.rand_costs, a.costs)) return failed();
            } else {
                if (!i64(1, a.tail) || !i64(2, a.head) || !i64(3, a.low) || !i64(4, a.up) || !i64(5, a.cost))
                    return failed();
            }
            auto [it, fresh] = counter.try_emplace({a.tail, a.head}, -1);
            a.index = ++it->second;
            r.arcs.push_back(std::move(a));
            see(r.arcs.back().tail);
            see(r.arcs.back().head);
        }
    }
    return r;
}

}  // namespace fuzz
