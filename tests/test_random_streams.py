"""The C++ port of rand / rand_chacha / rand_distr against reference outputs of the real crates.

The module exposes none of src/random, so these tests build tests/native/rng_probe.cpp against
the library and talk to it over a pipe. tests/data/rng.json holds the reference values;
floats are compared by their bit patterns.
"""

import json
import os
import struct
import subprocess
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

ROOT = Path(__file__).resolve().parents[1]
VECTORS = json.loads((ROOT / "tests" / "data" / "rng.json").read_text())

U64 = st.integers(min_value=0, max_value=2**64 - 1)
PROBE_SETTINGS = settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])


class Probe:
    """One long-lived probe process: a request line in, an answer line out."""

    def __init__(self, exe):
        self.proc = subprocess.Popen([str(exe)], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1)

    def ask(self, *words):
        self.proc.stdin.write(" ".join(str(w) for w in words) + "\n")
        self.proc.stdin.flush()
        answer = self.proc.stdout.readline().rstrip("\n")
        assert answer and not answer.startswith("unknown request"), f"probe refused {words!r}: {answer!r}"
        return answer

    def words(self, *request):
        return [int(w) for w in self.ask(*request).split()]

    def draws(self, *request):
        """(value, next_u32 calls, next_u64 calls) per draw; value as the raw token."""
        out = []
        for token in self.ask(*request).split():
            value, n32, n64 = token.split(":")
            out.append((value, int(n32), int(n64)))
        return out

    def close(self):
        self.proc.stdin.close()
        self.proc.wait(timeout=120)  # a hang guard


@pytest.fixture(scope="session")
def probe(native_program):
    exe = native_program("rng_probe")
    p = Probe(exe)
    yield p
    p.close()


def f64_hex(x):
    return struct.pack(">d", x).hex()


# --- the generator -------------------------------------------------------------------------


@pytest.mark.parametrize("entry", VECTORS["seed_from_u64"], ids=lambda e: f"seed={e['seed']}")
def test_seed_from_u64_key(probe, entry):
    key = bytes.fromhex(probe.ask("key", entry["seed"]))
    assert key.hex() == entry["seed_bytes_hex"]
    assert list(key) == entry["seed_bytes"]
    assert list(struct.unpack("<8I", key)) == entry["key_words_le_u32"]


@pytest.mark.parametrize("entry", VECTORS["streams"]["next_u64"], ids=lambda e: f"seed={e['seed']}")
def test_next_u64_stream(probe, entry):
    # 70 values: the 33rd reads the first two words of the second refill.
    assert probe.words("seq", entry["seed"], "8" * entry["count"]) == entry["values"]


def test_next_u32_stream(probe):
    entry = VECTORS["streams"]["next_u32"]
    assert probe.words("seq", entry["seed"], "4" * entry["count"]) == entry["values"]


def _check_mixed(probe, seed, calls, leading_u32=0):
    ops = "4" * leading_u32 + "".join("4" if c["kind"] == "u32" else "8" for c in calls)
    got = probe.words("seq", seed, ops)[leading_u32:]
    assert got == [c["value"] for c in calls]
    offset = calls[0]["word_offset"]
    for c in calls:
        assert c["word_offset"] == offset
        offset += 1 if c["kind"] == "u32" else 2


def test_mixed_reads_cross_the_refill(probe):
    entry = VECTORS["streams"]["mixed_u32_u64"]
    kinds = ["u32", "u64", "u32", "u32", "u64"]
    assert [c["kind"] for c in entry["calls"]] == [kinds[i % 5] for i in range(len(entry["calls"]))]
    assert any(c["kind"] == "u64" and c["word_offset"] % 64 == 63 for c in entry["calls"])
    _check_mixed(probe, entry["seed"], entry["calls"])


def test_u64_read_at_the_last_buffered_word(probe):
    entry = VECTORS["streams"]["mixed_boundary_63"]
    calls = entry["calls"]
    assert calls[0]["word_offset"] == 60
    _check_mixed(probe, entry["seed"], calls, leading_u32=60)


def test_next_u64_is_two_consecutive_words(probe):
    words = probe.words("seq", 5, "4" * 200)
    for start in (0, 1, 62, 63, 64, 127):
        pairs = probe.words("seq", 5, "4" * start + "8" * 3)[start:]
        assert pairs == [words[start + 2 * i] | words[start + 2 * i + 1] << 32 for i in range(3)]


# --- discard_u32 ---------------------------------------------------------------------------

BUFFER_EDGES = st.sampled_from([0, 1, 62, 63, 64, 65, 127, 128, 129, 191, 192, 193, 255, 256, 257, 1024])
OPS = st.text(alphabet="48", min_size=1, max_size=8)


@PROBE_SETTINGS
@given(seed=U64, pre=st.one_of(BUFFER_EDGES, st.integers(0, 300)),
       skip=st.one_of(BUFFER_EDGES, st.integers(0, 3000)), ops=OPS)
def test_discard_matches_stepping(probe, seed, pre, skip, ops):
    discarded = probe.words("walk", seed, pre, skip, 0, ops)
    stepped = probe.words("walk", seed, pre, 0, skip, ops)
    assert discarded == stepped


def test_long_discard_matches_stepping(probe):
    for pre, skip in [(0, 10_000_000), (37, 9_999_963), (63, 4_000_001)]:
        assert probe.words("walk", 99, pre, skip, 0, "4848") == probe.words("walk", 99, pre, 0, skip, "4848")


@PROBE_SETTINGS
@given(seed=U64, block=st.one_of(st.sampled_from([2**32 - 4, 2**32 - 1, 2**32, 2**59 + 2**32 - 2]),
                                 st.integers(0, 2**60 - 1)))
def test_discard_reaches_far_blocks(probe, seed, block):
    # Skipping block * 16 words must land on that block of the keystream, carry into the
    # counter's high word included, without generating what lies between.
    key_hex = "".join(f"{w:08x}" for w in struct.unpack("<8I", bytes.fromhex(probe.ask("key", seed))))
    expected = probe.words("chacha", key_hex, block)[:64]
    assert probe.words("walk", seed, 0, block * 16, 0, "4" * 64) == expected


# --- ChaCha: vector and scalar code -------------------------------------------------------


@PROBE_SETTINGS
@given(key=st.binary(min_size=32, max_size=32),
       block=st.one_of(U64, st.sampled_from([0, 2**32 - 3, 2**32 - 1, 2**64 - 4, 2**64 - 3, 2**64 - 1])))
def test_vector_and_scalar_chacha_agree(probe, key, block):
    # scalar four blocks, vector four blocks, then eight blocks (AVX2 where the processor has it)
    words = probe.words("chacha", key.hex(), block)
    assert words[:64] == words[64:128] == words[128:192]
    assert words[192:] == probe.words("chacha", key.hex(), (block + 4) % 2**64)[:64]


def test_scalar_chacha_on_request(native_program):
    # What `make test-portable` relies on to run the streams through the one-block code.
    env = {**os.environ, "PELMORA_CHACHA": "scalar"}
    done = subprocess.run([native_program("rng_probe")], input="paths\n", capture_output=True, text=True, env=env)
    assert done.stdout.split() == ["0", "0"]


def test_chacha_counter_is_64_bits_and_wraps(probe):
    key = "00" * 32
    four = probe.words("chacha", key, 2**64 - 2)[:64]
    # blocks 2^64-2, 2^64-1, 0, 1: the last two are the first two blocks of the stream
    assert four[32:] == probe.words("chacha", key, 0)[:32]
    # block 2^32 is a block of its own, not block 0 again (no 32-bit wrap)
    assert probe.words("chacha", key, 2**32)[:16] != probe.words("chacha", key, 0)[:16]


def test_stream_is_the_keystream(probe):
    key_hex = "".join(f"{w:08x}" for w in struct.unpack("<8I", bytes.fromhex(probe.ask("key", 42))))
    words = probe.words("seq", 42, "4" * 128)
    assert words == probe.words("chacha", key_hex, 0)[:64] + probe.words("chacha", key_hex, 4)[:64]


# --- uniform sampling ----------------------------------------------------------------------

UNIFORM = VECTORS["uniform_sampling"]


@pytest.mark.parametrize("entry", UNIFORM["random_range_f64"]["ranges"], ids=lambda e: f"{e['lo']['value']}..{e['hi']['value']}")
def test_random_range_f64(probe, entry):
    request = (entry["seed"], entry["lo"]["hex"], entry["hi"]["hex"], entry["count"])
    draws = probe.draws("range_f64", *request)
    assert [v for v, _, _ in draws] == entry["hex"]
    assert [f64_hex(v) for v in entry["values"]] == entry["hex"]
    assert sum(n32 for _, n32, _ in draws) == entry["next_u32_calls_total"]
    assert sum(n64 for _, _, n64 in draws) == entry["next_u64_calls_total"]
    assert probe.ask("pub_range_f64", *request).split() == entry["hex"]


@pytest.mark.parametrize("entry", UNIFORM["random_range_usize"]["ranges"], ids=lambda e: f"n={e['n']}")
def test_random_range_usize(probe, entry):
    draws = probe.draws("range_usize", entry["seed"], entry["n"], entry["count"])
    assert [int(v) for v, _, _ in draws] == entry["values"]
    assert [[n32, n64] for _, n32, n64 in draws] == entry["calls_u32_u64"]
    assert probe.words("pub_range_usize", entry["seed"], entry["n"], entry["count"]) == entry["values"]


@pytest.mark.parametrize("entry", UNIFORM["random_range_i64_inclusive"]["ranges"], ids=lambda e: f"a={e['a']}")
def test_random_range_i64_inclusive(probe, entry):
    draws = probe.draws("range_i64", entry["seed"], 0, entry["a"], entry["count"])
    assert [int(v) for v, _, _ in draws] == entry["values"]
    assert [[n32, n64] for _, n32, n64 in draws] == entry["calls_u32_u64"]
    assert probe.words("pub_range_i64", entry["seed"], 0, entry["a"], entry["count"]) == entry["values"]


@pytest.mark.parametrize("name,request_name", [("standard_uniform_f64", "standard"), ("open01_f64", "open01")])
def test_unit_floats(probe, name, request_name):
    entry = UNIFORM[name]
    draws = probe.draws(request_name, 42, len(entry["hex"]))
    assert [v for v, _, _ in draws] == entry["hex"]
    assert [f64_hex(v) for v in entry["values"]] == entry["hex"]
    assert all((n32, n64) == (0, 1) for _, n32, n64 in draws)
    assert probe.ask("pub_" + request_name, 42, len(entry["hex"])).split() == entry["hex"]


@PROBE_SETTINGS
@given(seed=U64, lo=st.integers(-(2**63), 2**63 - 1), width=st.one_of(st.integers(0, 2**16), U64))
def test_i64_inclusive_stays_in_range(probe, seed, lo, width):
    hi = min(lo + width, 2**63 - 1)
    for value, n32, n64 in probe.draws("range_i64", seed, lo, hi, 20):
        assert lo <= int(value) <= hi
        assert n32 == 0 and n64 in (1, 2)


@PROBE_SETTINGS
@given(seed=U64, n=st.one_of(st.integers(1, 2**33), st.integers(1, 2**64 - 1)))
def test_usize_stays_in_range_with_the_word_size_of_n(probe, seed, n):
    wide = n > 2**32
    for value, n32, n64 in probe.draws("range_usize", seed, n, 20):
        assert 0 <= int(value) < n
        words, other = (n64, n32) if wide else (n32, n64)
        assert words in (1, 2) and other == 0


@PROBE_SETTINGS
@given(seed=U64, lo=st.floats(-1e300, 1e300), width=st.floats(min_value=1e-300, max_value=1e300))
def test_f64_range_stays_in_closed_range(probe, seed, lo, width):
    hi = lo + width
    if not lo < hi:
        return
    for value, _, _ in probe.draws("range_f64", seed, f64_hex(lo), f64_hex(hi), 10):
        # sample_single may round up to hi itself; it never leaves [lo, hi]
        assert lo <= struct.unpack(">d", bytes.fromhex(value))[0] <= hi


# --- Beta and Binomial ----------------------------------------------------------------------

DISTRIBUTIONS = VECTORS["distributions"]


@pytest.mark.parametrize("entry", DISTRIBUTIONS["beta"]["sets"], ids=lambda e: f"{e['alpha']},{e['beta']}")
def test_beta(probe, entry):
    request = (entry["seed"], f64_hex(entry["alpha"]), f64_hex(entry["beta"]), entry["count"])
    draws = probe.draws("beta", *request)
    assert [v for v, _, _ in draws] == entry["hex"]
    assert [n64 for _, _, n64 in draws] == entry["next_u64_calls"]
    assert all(n32 == 0 for _, n32, _ in draws)
    assert probe.ask("pub_beta", *request).split() == entry["hex"]


def test_beta_sets_reach_both_algorithms():
    algorithms = {e["algorithm"] for e in DISTRIBUTIONS["beta"]["sets"]}
    assert algorithms == {"BB", "BC"}
    for e in DISTRIBUTIONS["beta"]["sets"]:
        assert (e["algorithm"] == "BB") == (min(e["alpha"], e["beta"]) > 1)


@pytest.mark.parametrize("entry", DISTRIBUTIONS["binomial"]["sets"], ids=lambda e: f"{e['n']},{e['p']}")
def test_binomial(probe, entry):
    request = (entry["seed"], entry["n"], entry["p_hex"], entry["count"])
    draws = probe.draws("binomial", *request)
    assert [int(v) for v, _, _ in draws] == entry["values"]
    assert [n64 for _, _, n64 in draws] == entry["next_u64_calls"]
    assert all(n32 == 0 for _, n32, _ in draws)
    assert probe.words("pub_binomial", *request) == entry["values"]


def test_binomial_sets_reach_every_path():
    paths = {e["path"].split()[0] for e in DISTRIBUTIONS["binomial"]["sets"]}
    assert paths == {"binv", "btpe", "constant", "poisson_knuth"}


@pytest.mark.parametrize("alpha,beta", [(0.0, 1.0), (1.0, 0.0), (-1.0, 2.0), (2.0, -0.0), (float("nan"), 1.0),
                                        (1.0, float("nan")), (float("-inf"), 1.0)])
def test_beta_refuses_what_the_crate_refuses(probe, alpha, beta):
    assert probe.ask("beta", 42, f64_hex(alpha), f64_hex(beta), 1) == "invalid"


@pytest.mark.parametrize("p", [-1e-300, -1.0, 1.0000000000000002, 2.0, float("nan"), float("inf"), float("-inf")])
def test_binomial_refuses_what_the_crate_refuses(probe, p):
    assert probe.ask("binomial", 42, 10, f64_hex(p), 1) == "invalid"


@pytest.mark.parametrize("n,p,value", [(9, 0.0, 0), (9, -0.0, 0), (9, 1.0, 9), (0, 1.0, 0), (2**64 - 1, 1.0, 2**64 - 1)])
def test_binomial_constant_cases_draw_nothing(probe, n, p, value):
    assert probe.draws("binomial", 42, n, f64_hex(p), 3) == [(str(value), 0, 0)] * 3


@PROBE_SETTINGS
@given(seed=U64, alpha=st.floats(1e-3, 1e3), beta=st.floats(1e-3, 1e3))
def test_beta_draws_lie_in_the_unit_interval(probe, seed, alpha, beta):
    for value, _, n64 in probe.draws("beta", seed, f64_hex(alpha), f64_hex(beta), 10):
        assert 0.0 <= struct.unpack(">d", bytes.fromhex(value))[0] <= 1.0
        assert n64 >= 2 and n64 % 2 == 0


@PROBE_SETTINGS
@given(seed=U64, n=st.one_of(st.integers(0, 200), st.integers(0, 2**62)), p=st.floats(0.0, 1.0))
def test_binomial_draws_lie_in_zero_to_n(probe, seed, n, p):
    for value, _, _ in probe.draws("binomial", seed, n, f64_hex(p), 10):
        assert 0 <= int(value) <= n


# --- log / exp / pow ------------------------------------------------------------------------

LIBM = VECTORS["libm"]


@pytest.mark.parametrize("fn", ["log", "exp"])
def test_libm_crate_port(probe, fn):
    table = LIBM[fn]
    got = [probe.ask(fn, x) for x in table["x_hex"]]
    mismatches = [(x, g, want) for x, g, want in zip(table["x_hex"], got, table["libm_crate_hex"]) if g != want]
    assert not mismatches


@pytest.mark.parametrize("fn", ["log", "exp"])
def test_c_library_log_exp(probe, fn):
    # The crate's BTPE calls glibc's log; these pin the C library the reference was made with.
    table = LIBM[fn]
    got = [probe.ask("c_" + fn, x) for x in table["x_hex"]]
    assert got == table["c_library_hex"]
    ours = [probe.ask(fn, x) for x in table["x_hex"]]
    differ = [i for i, (a, b) in enumerate(zip(ours, got)) if a != b]
    assert differ == [d["index"] for d in table["differences"]]


def test_c_library_pow(probe):
    table = LIBM["pow"]
    got = [probe.ask("c_pow", x, y) for x, y in zip(table["x_hex"], table["y_hex"])]
    assert got == table["c_library_hex"]


# --- generation at scale ----------------------------------------------------------------------


def test_large_generation_draws_in_stream_order(probe, tmp_path):
    # 30,000 arcs x 10 commodities is well past the size where the draws are shared out between
    # threads: every cost and capacity must still be the next value of one stream, in arc, then
    # commodity, then cost-before-capacity order, skipping the values whose range is empty.
    import math

    import pelmora

    m, k, seed = 30_000, 10, 2024
    arcs = [(i % 997 + 1, (i * 7) % 997 + 1, 0 if i % 5 == 0 else 100, 0 if i % 3 == 0 else 100) for i in range(m)]
    path = tmp_path / "wide.min"
    path.write_text(f"p min 997 {m}\n" + "".join(f"a {t} {h} 0 {up} {cost}\n" for t, h, up, cost in arcs))
    data = pelmora.generate_multi_commodity_data(
        pelmora.load_min_instance(str(path)), k, 1, randomize_caps=True, cap_a=0.5, cap_b=1.5,
        randomize_costs=True, cost_a=0.5, cost_b=1.5, seed=seed)

    needed = sum((cost != 0) + (up != 0) for _, _, up, cost in arcs) * k
    stream = iter(struct.unpack(">d", bytes.fromhex(h))[0]
                  for h in probe.ask("pub_range_f64", seed, f64_hex(50.0), f64_hex(150.0), needed).split())
    expected_costs, expected_caps = [], []
    for _, _, up, cost in arcs:
        for _ in range(k):
            expected_costs.append(max(math.ceil(next(stream)), 1) if cost else 0)
            expected_caps.append(max(math.ceil(next(stream)), 1) if up else 1)
    assert next(stream, None) is None
    weights, capacities = data.weights_by_arc, data.capacities_by_arc
    assert [w for a in range(m) for w in weights[a]] == expected_costs
    assert [c for a in range(m) for c in capacities[a]] == expected_caps
