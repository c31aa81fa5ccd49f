"""``load_mnetgen`` against the four files as their published description defines them (Frangioni's
mnetgen.C header and the Pisa MMCF pages): ".nod" holds commodities, nodes, arcs and, optionally,
mutual capacities; ".arc" name, from, to, commodity (-1: every one), cost, capacity (-1: none),
mutual pointer (0: none); ".sup" node, commodity, amount; ".mut" pointer, capacity (-1: none). The
LP is built here from those words alone, with scipy's linprog, one variable per record."""

from __future__ import annotations

import json
import subprocess
import sys
from fractions import Fraction
from pathlib import Path

import highspy
import numpy as np
import pytest
import scipy.optimize
import scipy.sparse
from fault_support import UNDER_ASAN
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import pelmora_tools as pt

FILES = (".nod", ".arc", ".sup", ".mut")


def write(prefix: Path, texts: dict[str, str]) -> Path:
    for suffix, text in texts.items():
        prefix.with_name(prefix.name + suffix).write_text(text)
    return prefix


def independent_lp(prefix: Path) -> tuple[str, float | None]:
    """The LP of the four files, read with Python's own float() and solved by linprog."""

    def rows(suffix: str) -> list[list[str]]:
        return [line.split() for line in prefix.with_name(prefix.name + suffix).read_text().splitlines() if line.split()]

    counts = [int(v) for row in rows(".nod") for v in row]
    k, n = counts[0], counts[1]
    mutual = {int(p): float(c) for p, c in rows(".mut")}
    records = []  # (tail, head, commodity, cost, capacity, pointer), one per commodity a record covers
    for _, tail, head, commodity, cost, cap, pointer in rows(".arc"):
        for c in range(1, k + 1) if commodity == "-1" else [int(commodity)]:
            bound = None if float(cap) == -1 else float(cap)
            records.append((int(tail), int(head), c, float(cost), bound, int(pointer)))
    if not records:
        supplied = any(float(a) != 0 for _, _, a in rows(".sup"))
        return ("infeasible", None) if supplied else ("optimal", 0.0)
    rows_, cols, vals = [], [], []
    for j, (tail, head, c, *_rest) in enumerate(records):
        rows_ += [(c - 1) * n + tail - 1, (c - 1) * n + head - 1]
        cols += [j, j]
        vals += [1.0, -1.0]
    a_eq = scipy.sparse.csr_array((vals, (rows_, cols)), shape=(n * k, len(records)))
    b_eq = np.zeros(n * k)
    for node, c, amount in rows(".sup"):
        b_eq[(int(c) - 1) * n + int(node) - 1] += float(amount)
    bundles = sorted({r[5] for r in records if r[5] and mutual[r[5]] != -1})
    a_ub = scipy.sparse.csr_array(
        ([1.0 for r in records if r[5] in bundles],
         ([bundles.index(r[5]) for r in records if r[5] in bundles], [j for j, r in enumerate(records) if r[5] in bundles])),
        shape=(len(bundles), len(records)))
    result = scipy.optimize.linprog(
        [r[3] for r in records], A_ub=a_ub if bundles else None, b_ub=[mutual[p] for p in bundles] if bundles else None,
        A_eq=a_eq, b_eq=b_eq, bounds=[(0, r[4]) for r in records], method="highs")
    if result.status == 2:
        return "infeasible", None
    assert result.status == 0, result.message
    return "optimal", float(result.fun)


# --- random instances in the forms the published collections use ---------------------------------

def number_text(draw: st.DrawFn, value: Fraction) -> str:
    """``value`` as MNETGEN and the collections write numbers: plain, with six decimals, or in the
    exponent form of C++ streams."""
    if value.denominator == 1:
        form = draw(st.sampled_from(["plain", "fixed", "exponent"]))
        if form == "fixed":
            return f"{value.numerator}.000000"
        if form == "exponent" and value.numerator % 10 == 0 and value.numerator:
            return f"{value.numerator / 10:g}e+01"
        return str(value.numerator)
    return f"{float(value):.4g}" if draw(st.booleans()) else f"{float(value):.6f}"


@st.composite
def instances(draw: st.DrawFn) -> dict[str, str]:
    k, n = draw(st.integers(1, 3)), draw(st.integers(2, 6))
    amounts = st.integers(0, 40).map(Fraction) | st.integers(1, 400).map(lambda v: Fraction(v, 8))
    arc_lines, mut_lines = [], []
    names = draw(st.integers(1, 9))
    for name in range(1, names + 1):
        tail = draw(st.integers(1, n))
        head = draw(st.integers(1, n).filter(lambda v, t=tail: v != t))
        pointer = 0
        if draw(st.booleans()):
            mut_lines.append(f"{len(mut_lines) + 1}\t{-1 if draw(st.booleans()) else number_text(draw, draw(amounts))}")
            pointer = len(mut_lines)
        every = draw(st.booleans())
        commodities = [-1] if every else draw(st.lists(st.integers(1, k), min_size=1, max_size=k, unique=True))
        for c in commodities:
            cost = number_text(draw, draw(amounts))
            cap = "-1" if draw(st.booleans()) else number_text(draw, draw(amounts))
            arc_lines.append(f"{name}\t{tail}\t{head}\t{c}\t{cost}\t{cap}\t{pointer}")
    arc_lines = draw(st.permutations(arc_lines))
    sup_lines = []
    for c in range(1, k + 1):  # origin-destination pairs: one supply line and one demand line each
        origin = draw(st.integers(1, n))
        destination = draw(st.integers(1, n).filter(lambda v, o=origin: v != o))
        text = number_text(draw, draw(amounts))
        sup_lines += [f"{origin}\t{c}\t{text}", f"{destination}\t{c}\t-{text}"]
    counts = [k, n, names] + ([len(mut_lines)] if draw(st.booleans()) else [])
    return {".nod": "".join(f"{v}\n" for v in counts), ".arc": "".join(f"{line}\n" for line in arc_lines),
            ".sup": "".join(f"{line}\n" for line in sup_lines), ".mut": "".join(f"{line}\n" for line in mut_lines)}


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(texts=instances())
def test_optimum_matches_an_lp_built_from_the_format_description(tmp_path: Path, texts: dict[str, str]) -> None:
    prefix = write(tmp_path / "x", texts)
    arrays = pt.load_mnetgen(prefix)
    arrays.validate()
    expected_status, expected = independent_lp(prefix)
    got = pt.solve(arrays)
    assert got.status == expected_status
    if expected is not None:
        assert got.objective == pytest.approx(expected, rel=1e-9, abs=1e-9)


# --- round trip -------------------------------------------------------------------------------------

@st.composite
def data_sets(draw: st.DrawFn) -> pt.DataSetArrays:
    n, m, k = draw(st.integers(2, 7)), draw(st.integers(0, 12)), draw(st.integers(1, 3))
    ids = np.array(sorted(draw(st.sets(st.integers(-50, 50), min_size=n, max_size=n))), dtype=np.int64)
    ends = st.lists(st.integers(0, n - 1), min_size=m, max_size=m)
    tails, heads = ids[draw(ends)], ids[draw(ends)]
    ints = lambda lo, hi, shape: np.array(draw(st.lists(st.integers(lo, hi), min_size=int(np.prod(shape)),  # noqa: E731
                                                        max_size=int(np.prod(shape)))), dtype=np.int64).reshape(shape)
    capacities = ints(0, 9, (m, k)) * ints(0, 1, (m, k))
    flow = ints(0, 5, (m, k))  # supplies that some flow meets: node balances of a random flow
    supplies = np.zeros((n, k), dtype=np.int64)
    np.add.at(supplies, np.searchsorted(ids, tails), flow)
    np.subtract.at(supplies, np.searchsorted(ids, heads), flow)
    return pt.DataSetArrays(ids, tails, heads, np.zeros(m, dtype=np.int64), ints(0, 30, (m,)), ints(-5, 20, (m, k)),
                            capacities, supplies)


@settings(max_examples=80, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(arrays=data_sets())
def test_export_then_load_gives_the_same_arrays_and_optimum(tmp_path: Path, arrays: pt.DataSetArrays) -> None:
    prefix = tmp_path / "x"
    mapping = pt.export_mnetgen(arrays, prefix)
    back = pt.load_mnetgen(prefix)
    # The files hold the arcs open to some commodity, a cost where a commodity is open, and the
    # nodes they name; those are the data set's whole LP.
    kept = (arrays.capacities > 0).any(axis=1)
    named = np.union1d(np.union1d(arrays.tails[kept], arrays.heads[kept]), arrays.node_ids[arrays.supplies.any(axis=1)])
    assert back.is_integral
    np.testing.assert_array_equal(mapping[back.node_ids - 1], named)
    np.testing.assert_array_equal(mapping[back.tails - 1], arrays.tails[kept])
    np.testing.assert_array_equal(mapping[back.heads - 1], arrays.heads[kept])
    np.testing.assert_array_equal(back.up, arrays.up[kept])
    np.testing.assert_array_equal(back.capacities, arrays.capacities[kept])
    np.testing.assert_array_equal(back.costs, np.where(arrays.capacities[kept] > 0, arrays.costs[kept], 0))
    np.testing.assert_array_equal(back.supplies, arrays.supplies[np.searchsorted(arrays.node_ids, named)])
    np.testing.assert_array_equal(back.low, 0)
    before, after = pt.solve(arrays), pt.solve(back)
    assert before.status == after.status
    if before.objective is not None:
        assert after.objective == before.objective


# --- what the collections write ----------------------------------------------------------------------

def test_published_forms_are_read_as_written(tmp_path: Path) -> None:
    # Three-number .nod, commodity -1, decimals that are integers, -1 in .mut, an arc without a
    # pointer, zero supplies, and records of one name spread over the file.
    prefix = write(tmp_path / "p", {
        ".nod": "2\n4\n3\n",
        ".arc": "1\t1\t2\t-1\t9981.000000\t48.000000\t1\n2\t2\t4\t1\t0.5\t-1\t0\n3\t1\t3\t2\t1.2e+01\t7\t2\n"
                "2\t2\t4\t2\t2.25\t5\t0\n",
        ".sup": "1\t1\t4.000000\n4\t1\t-4.000000\n1\t2\t0\n3\t2\t0\n",
        ".mut": "1\t-1\n2\t30\n",
    })
    a = pt.load_mnetgen(str(prefix) + ".nod")
    np.testing.assert_array_equal(a.node_ids, [1, 2, 3, 4])
    np.testing.assert_array_equal(a.tails, [1, 2, 1])
    assert a.costs.dtype == np.float64 and a.supplies.dtype == np.int64
    np.testing.assert_array_equal(a.costs, [[9981, 9981], [0.5, 2.25], [0, 12]])
    np.testing.assert_array_equal(a.capacities, [[48, 48], [np.inf, 5], [0, 7]])
    np.testing.assert_array_equal(a.up, [np.inf, np.inf, 30])
    np.testing.assert_array_equal(a.supplies, [[4, 0], [0, 0], [0, 0], [-4, 0]])
    assert pt.solve(a).objective == pytest.approx(independent_lp(prefix)[1])


# --- refusals ------------------------------------------------------------------------------------------

GOOD = {".nod": "2\n3\n2\n1\n", ".arc": "1\t1\t2\t1\t5\t-1\t1\n1\t1\t2\t2\t5\t-1\t1\n2\t2\t3\t1\t1.5\t9\t0\n",
        ".sup": "1\t1\t3\n3\t1\t-3\n", ".mut": "1\t10\n"}


@pytest.mark.parametrize(("suffix", "text", "message"), [
    (".sup", None, r"x\.sup: No such file"),
    (".arc", "1\t1\t2\t1\t5\t-1\t2\n", r"x\.arc line 1: mutual pointer 2 has no line in the \.mut file"),
    (".arc", "1\t1\t4\t1\t5\t-1\t0\n", r"x\.arc line 1: node 4 is not among the 3 nodes of .*x\.nod"),
    (".arc", "\n1\t1\t2\t3\t5\t-1\t0\n", r"x\.arc line 2: commodity 3 is not among the 2 commodities"),
    (".arc", "3\t1\t2\t1\t5\t-1\t0\n", r"x\.arc line 1: arc name 3 is not among the 2 arcs"),
    (".sup", "1\t1\t3\n0\t1\t-3\n", r"x\.sup line 2: node 0 is not among the 3 nodes"),
    (".nod", "2\n3\n2\n2\n", r"x\.nod line 4: says 2 mutual capacities, .*x\.mut holds 1"),
    (".arc", "1\t1\t2\t1\tfive\t-1\t1\n", r"x\.arc line 1: cost \"five\" is not a number"),
    (".mut", "1\t10\tx\n", r"x\.mut line 1: has more than 2 fields"),
    (".arc", "1\t1\t2\t1\t5\t-1\n", r"x\.arc line 1: has 6 fields, expected 7"),
    (".arc", "1\t1\t2\t1.5\t5\t-1\t0\n", r"x\.arc line 1: commodity 1.5 is not an integer"),
    (".arc", "1\t1\t2\t1\t5\t-1\t1\n1\t2\t3\t2\t5\t-1\t1\n", r"x\.arc line 2: arc name 1 joins 1 -> 2 on an earlier"),
    (".arc", "1\t1\t2\t-1\t5\t-1\t1\n1\t1\t2\t2\t5\t-1\t1\n", r"x\.arc line 2: arc name 1 has a second record for commodity 2"),
    (".arc", "1\t1\t2\t1\t5\t-1\t1\n1\t1\t2\t2\t5\t-1\t0\n", r"x\.arc line 2: arc name 1 has mutual pointer 1 on an earlier"),
    (".arc", "1\t1\t2\t1\t5\t-1\t1\n2\t2\t3\t1\t5\t-1\t1\n", r"x\.arc line 2: mutual pointer 1 already bounds arc name 1"),
    (".arc", "1\t1\t2\t1\t5\t-3\t0\n", r"x\.arc line 1: capacity below 0"),
    (".sup", "1\t1\t3\n1\t1\t-3\n", r"x\.sup line 2: node 1 has a second line for commodity 1"),
    (".nod", "2\n3\n", r"x\.nod: holds 2 numbers, expected 3 or 4"),
    (".nod", "2\n3\n-2\n", r"x\.nod line 3: the number of arcs \"-2\" is not a count"),
])
def test_damaged_files_are_refused_in_one_line_naming_file_and_line(tmp_path: Path, suffix: str, text: str | None,
                                                                   message: str) -> None:
    prefix = write(tmp_path / "x", GOOD)
    pt.load_mnetgen(prefix).validate()
    target = prefix.with_name("x" + suffix)
    if text is None:
        target.unlink()
    else:
        target.write_text(text)
    with pytest.raises((ValueError, OSError), match=message) as caught:
        pt.load_mnetgen(prefix)
    assert "\n" not in str(caught.value)


def test_claimed_counts_size_nothing(tmp_path: Path) -> None:
    """A .nod claiming 10^12 nodes and arcs loads a small file in small memory (the child process
    has 3 GB of address space); 10^12 commodities, whose K columns no memory holds, are refused."""
    prefix = write(tmp_path / "x", {".nod": "2\n1000000000000\n1000000000000\n", ".arc": "999999999999\t1\t999999999999\t1\t5\t-1\t0\n",
                                    ".sup": "1\t1\t2\n999999999999\t1\t-2\n", ".mut": ""})
    # AddressSanitizer maps its shadow memory beyond any address-space limit; there, its allocator
    # fails any allocation a claimed count would size instead (test-sanitize's allocator_may_return_null).
    limit = "" if UNDER_ASAN else "resource.setrlimit(resource.RLIMIT_AS, (3 << 30, 3 << 30)); "
    child = (f"import resource, sys; {limit}import pelmora_tools as pt;"
             "a = pt.load_mnetgen(sys.argv[1]); print(a.num_nodes, a.num_arcs, int(pt.solve(a).objective))")
    done = subprocess.run([sys.executable, "-c", child, str(prefix)], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split()[-3:] == ["2", "1", "10"]  # after HiGHS's banner
    write(prefix, {".nod": "1000000000000\n2\n1\n", ".arc": "1\t1\t2\t1\t5\t-1\t0\n", ".sup": ""})
    with pytest.raises(ValueError, match=r"x\.nod: 1000000000000 commodities are more than the available memory"):
        pt.load_mnetgen(prefix)


# --- the command line --------------------------------------------------------------------------------

def pelmora(*args: object) -> subprocess.CompletedProcess[str]:
    script = Path(sys.executable).parent / "pelmora"
    return subprocess.run([str(script), *map(str, args)], capture_output=True, text=True, timeout=300)


@settings(max_examples=6, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(texts=instances())
def test_pelmora_solve_of_prefix_nod_matches_the_independent_lp(tmp_path: Path, texts: dict[str, str]) -> None:
    prefix = write(tmp_path / "x", texts)
    done = pelmora("solve", "--json", f"{prefix}.nod")
    status, objective = independent_lp(prefix)
    answer = json.loads(done.stdout)
    assert (answer["status"], done.returncode) == (status, 0 if status == "optimal" else 1)
    if objective is not None:
        assert answer["objective"] == pytest.approx(objective, rel=1e-9, abs=1e-9)


def test_every_data_set_command_takes_prefix_nod(tmp_path: Path) -> None:
    prefix = write(tmp_path / "x", GOOD)
    info = pelmora("info", "--json", "--check", f"{prefix}.nod")
    assert info.returncode == 0, info.stderr
    described = json.loads(info.stdout)
    assert (described["kind"], described["nodes"], described["arcs"], described["supply"]) == ("mnetgen", 3, 2, [3, 0])
    assert described["check"]["verdict"] == "feasible"
    assert pelmora("export", f"{prefix}.nod", "--to", "lp", tmp_path / "x.lp").returncode == 0
    highs = highspy.Highs()
    highs.setOptionValue("output_flag", False)
    highs.readModel(str(tmp_path / "x.lp"))
    highs.run()
    assert highs.getInfo().objective_function_value == pytest.approx(independent_lp(prefix)[1])
    refused = pelmora("export", f"{prefix}.nod", "--to", "mnetgen", tmp_path / "y")
    assert refused.returncode == 2 and refused.stderr.count("\n") == 1 and "+inf" in refused.stderr
    (tmp_path / "x.mut").unlink()
    for command in ("info", "solve"):
        missing = pelmora(command, f"{prefix}.nod")
        assert missing.returncode == 2
        assert missing.stderr.strip() == f"pelmora {command}: error: {prefix}.mut: No such file or directory"
