"""Files built to stall or flood the readers: identifiers chosen to collide in a hash table,
problem lines and sparse files that promise more than they hold, compressed arc lines that stand
for more values than memory, lines one byte over the limit, and reads asked to stop."""

from __future__ import annotations

import random
import subprocess
import sys
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from min_model import check_against_model

import pelmora

ROOT = Path(__file__).resolve().parent.parent
MAX_LINE = 1 << 28
TOO_LONG = f"line 2 is longer than {MAX_LINE} bytes"


def colliding_ids(n: int) -> list[int]:
    """y * inverse(0x9E3779B97F4A7C15) mod 2^64: one slot for all in a table hashed with that constant."""
    inverse = pow(0x9E3779B97F4A7C15, -1, 1 << 64)
    return [(v := y * inverse % (1 << 64)) - (v >> 63 << 64) for y in range(1, n + 1)]


@pytest.fixture(scope="session")
def readers_check(native_program):
    return str(native_program("readers_check"))


def test_node_table_stays_linear_for_colliding_identifiers(readers_check):
    # Identifiers colliding under the golden-ratio multiplicative hash, and under the table's own
    # hash with a key known in advance: a table that chains them needs ~2*10^8 probes and fails.
    out = subprocess.run([readers_check, "probes", "20000"], capture_output=True, text=True)
    assert out.stdout == "ok\n", out.stdout


def test_interrupted_read_stops_and_closes_its_file(readers_check, tmp_path):
    (tmp_path / "a.min").write_text("p min 2 1\na 1 2 0 9 4\n")
    (tmp_path / "a.mcf").write_text("p min 2 1 1 0 0 0 0 0 0\na 1 2 0 9 4 6\n")
    out = subprocess.run([readers_check, "interrupt", str(tmp_path / "a.min"), str(tmp_path / "a.mcf")],
                         capture_output=True, text=True)
    assert out.stdout == "ok\n", out.stdout


@settings(max_examples=40, deadline=None)
@given(data=st.data(), n=st.integers(2, 400))
def test_colliding_identifiers_read_as_any_others(tmp_path_factory, data, n):
    ids = colliding_ids(n)
    rng = random.Random(data.draw(st.integers(0, 2**32)))
    rng.shuffle(ids)
    lines = ["p min 1 1"]
    for _ in range(data.draw(st.integers(1, 3 * n))):
        if rng.random() < 0.2:
            lines.append(f"n {rng.choice(ids)} {rng.randint(-9, 9)}")
        else:
            lines.append(f"a {rng.choice(ids)} {rng.choice(ids)} 0 {rng.randint(0, 9)} {rng.randint(-9, 9)}")
    text = "\n".join(lines) + "\n"
    path = tmp_path_factory.mktemp("collide") / "x.min"
    path.write_text(text)
    check_against_model(path, text)


def test_colliding_identifiers_in_a_multi_commodity_file(tmp_path):
    ids = colliding_ids(3000)
    lines = ["p min 3000 3000 2 0 0 0 0 0 0"] + [f"n {v} {i} {i} 0" for i, v in enumerate(ids)]
    lines += [f"a {ids[i]} {ids[(i * 7 + 1) % 3000]} 0 5 {i} {-i}" for i in range(3000)]
    path = tmp_path / "x.mcf"
    path.write_text("\n".join(lines) + "\n")
    p = pelmora.load_multi_commodity_instance(str(path))
    assert p.nodes == ids
    by_id = sorted((v, i) for i, v in enumerate(ids))
    assert p.supplies == dict(by_id) and p.commodity_supply_demand_data == {v: [i, 0] for v, i in by_id}
    assert p.commodity_capacities == dict(sorted(((ids[i], ids[(i * 7 + 1) % 3000], 0), [i, i]) for i in range(3000)))


@pytest.mark.parametrize("load, header, error", [
    (pelmora.load_min_instance, "p min 10 100000000000", OSError),
    (pelmora.load_multi_commodity_instance, "p min 10 100000000000 1 0 0 0 0 0 0", RuntimeError),
])
def test_sparse_file_declaring_more_than_memory(tmp_path, load, header, error):
    # 100 GiB of holes after the problem line: nothing up front beyond a fixed budget, then the
    # first line of zero bytes runs into the line limit.
    path = tmp_path / "sparse"
    with open(path, "wb") as f:
        f.write(header.encode() + b"\n")
        f.truncate(100 << 30)
    with pytest.raises(error) as info:
        load(str(path))
    assert str(info.value) == TOO_LONG


@pytest.mark.parametrize("extra", [0, 1])
def test_line_limit_is_exact(tmp_path, extra):
    path = tmp_path / "long.min"
    with open(path, "wb") as f:
        f.write(b"p min 1 0\nc")
        f.seek(10 + MAX_LINE + extra)  # a comment line of MAX_LINE + extra bytes: "c" and zero bytes
        f.write(b"\nn 7 3\n")
    if extra:
        with pytest.raises(OSError) as info:
            pelmora.load_min_instance(str(path))
        assert str(info.value) == TOO_LONG
    else:
        assert pelmora.load_min_instance(str(path)).supplies == {7: 3}


LIMITED = """
import resource, sys
import pelmora
with open("/proc/self/statm") as f:
    used = int(f.read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (used + (int(sys.argv[1]) << 20), resource.getrlimit(resource.RLIMIT_AS)[1]))
for path in sys.argv[2:]:
    try:
        p = (pelmora.load_multi_commodity_instance if path.endswith(".mcf") else pelmora.load_min_instance)(path)
        w = p.commodity_weights
        print("ok", p.num_commodities, len(w), sum(map(sum, w.values())))
    except BaseException as exc:
        print(type(exc).__name__, exc)
"""


def run_limited(allowance_mib: int, *paths: Path) -> list[str]:
    """Loads each file in a process whose address space may grow by allowance_mib MiB at most."""
    if "libasan" in Path("/proc/self/maps").read_text():
        pytest.skip("AddressSanitizer maps its shadow memory beyond any address-space limit")
    out = subprocess.run([sys.executable, "-c", LIMITED, str(allowance_mib), *map(str, paths)],
                         capture_output=True, text=True)
    assert not out.stderr, out.stderr
    return out.stdout.splitlines()


def test_compressed_arc_lines_beyond_memory_end_with_the_line(tmp_path):
    # 4*10^8 commodities of one arc would take 6.4 GB; 40 arcs of 200,000 commodities (128 MB) fit.
    huge = tmp_path / "huge.mcf"
    huge.write_text("p min 2 1 400000000 0 0 1 0 0 0\nc\na 1 2 0 9 4 6\n")
    fits = tmp_path / "fits.mcf"
    fits.write_text("p min 41 40 200000 0 0 0 0 0 0\n" + "".join(f"a {i} {i + 1} 0 9 4 {i}\n" for i in range(40)))
    assert run_limited(1024, huge, fits) == [
        "RuntimeError line 3: 400000000 commodities are more than the available memory can hold for 1 arcs",
        f"ok 200000 40 {200000 * sum(range(40))}",
    ]


def test_any_allocation_failing_on_a_line_names_the_line(tmp_path):
    # A 200 MiB comment line (within the line limit) with 64 MiB to spare.
    path = tmp_path / "long.min"
    with open(path, "wb") as f:
        f.write(b"p min 1 0\nc")
        f.seek(200 << 20)
        f.write(b"\n")
    assert run_limited(64, path) == ["OSError line 2: not enough memory left to read this line"]
