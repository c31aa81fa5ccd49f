"""pelmora_tools.gridgen, goto and mnetgen_files against the classic C programs (digests of their
output in tests/data/families_digests.json, made by bench/families_digests.py), their refusals, and
what the formats promise: a GRIDGEN network always has a feasible flow (its super node's arcs), and
MNETGEN's four files agree with each other (read here from the format description)."""

import hashlib
import json
import subprocess
import sys
from pathlib import Path

import networkx as nx
import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

import pelmora_tools as pt
from pelmora_tools import sources

TABLE = json.loads((Path(__file__).parent / "data" / "families_digests.json").read_text())
CASES = [(family, case) for family, cases in TABLE.items() for case in cases]


def problem_lines(text: bytes) -> bytes:
    return b"".join(line + b"\n" for line in text.split(b"\n") if line[:2] in (b"p ", b"n ", b"a "))


def four_files(prefix: Path) -> bytes:
    return b"".join(prefix.with_name(prefix.name + s).read_bytes() for s in (".nod", ".arc", ".sup", ".mut"))


@pytest.mark.parametrize(("family", "case"), CASES, ids=[f"{f}: {c['label']}" for f, c in CASES])
def test_same_output_as_the_c_program(family, case, tmp_path):
    if family == "mnetgen":
        pt.mnetgen_files(case["params"], tmp_path / "p")
        assert hashlib.sha256(four_files(tmp_path / "p")).hexdigest() == case["sha256"]
        return
    out = tmp_path / "net.min"
    summary = getattr(pt, family)(case["params"], out=out)
    text = out.read_bytes()
    assert hashlib.sha256(problem_lines(text)).hexdigest() == case["sha256"]
    assert text.startswith(b"c ") and text.count(b"\na ") == summary.arcs


@pytest.mark.parametrize(("family", "case"), [c for c in CASES if c[0] != "mnetgen"][::3], ids=lambda c: str(c))
def test_instance_is_the_written_network(family, case, tmp_path):
    getattr(pt, family)(case["params"], out=tmp_path / "net.min")
    arcs, supplies = [], {}
    for line in (tmp_path / "net.min").read_text().splitlines():
        fields = line.split()
        if fields[0] == "a":
            arcs.append(tuple(int(f) for f in fields[1:]))
        elif fields[0] == "n":
            supplies[int(fields[1])] = int(fields[2])
    instance = getattr(pt, family)(case["params"])
    assert [(e.tail, e.head, e.low, e.up, e.cost) for e in instance.edges] == arcs
    assert instance.supplies == supplies


REFUSALS = [
    ("gridgen", "1 0 100 10 5 5 4 1000 1 1 10 1 1 10", "seed must be a nonzero integer"),
    ("gridgen", "1 5 100 0 5 5 4 1000 1 1 10 1 1 10", "width must be from 1 to 46340"),
    ("gridgen", "1 5 100 10 0 5 4 1000 1 1 10 1 1 10", "sources must be at least 1, got 0"),
    ("gridgen", "1 5 100 10 5 -1 4 1000 1 1 10 1 1 10", "sinks must be at least 1, got -1"),
    ("gridgen", "1 5 20 5 12 13 4 1000 1 1 10 1 1 10", "sources + sinks must not exceed the grid's 20 nodes (5 x 4)"),
    ("gridgen", "1 5 10 50 1 1 4 1000 1 1 10 1 1 10", "sources + sinks must not exceed the grid's 0 nodes (50 x 0)"),
    ("gridgen", "1 5 100 10 5 5 -2 1000 1 1 10 1 1 10", "degree must be at least 0, got -2"),
    ("gridgen", "1 5 100 10 5 5 4 0 1 1 10 1 1 10", "supply must be from 1 to 2^30, got 0"),
    ("gridgen", "1 5 100 10 5 5 4 1000 3 1 10 1 1 10", "cost_distribution must be 1 (uniform) or 2 (exponential), got 3"),
    ("gridgen", "1 5 100 10 5 5 4 1000 1 1 10 0 1", "capacity_distribution must be 1 (uniform) or 2"),
    ("gridgen", "1 5 100 10 5 5 4 1000 1 1 3e9 1 1 10", "cost bounds must be within +-2^30"),
    ("gridgen", "1 5 100 10 5 5 4 1000 2 1e8 1 1 10", "cost lambda must be within +-2^25"),
    ("gridgen", "1 5 2000000000 46000 5 5 4 1000 1 1 10 1 1 10", "degree: 1999988001 nodes x 4 exceed the C program's"),
    ("gridgen", "0 5 1000000000 31623 5 5 2 1000 1 1 10 1 1 10", "degree: 2000028260 arcs need about"),
    ("gridgen", "1 5 100 10 5 5 4 1000 1 1 x 1 1 10", "cost high must be a number, got 'x'"),
    ("gridgen", "1 5 100 10 5 5 4 1000 1 1 10 1 1", "a GRIDGEN parameter line ends before capacity high"),
    ("goto", "14 90 8 8 1", "nodes must be from 15 to 2^31 - 1, got 14"),
    ("goto", "-5 90 8 8 1", "nodes must be from 15"),
    ("goto", "20 119 8 8 1", "arcs must be at least 6 x nodes (120), got 119"),
    ("goto", "20 200 8 8 1", "arcs must be at most nodes^(5/3) (147), got 200"),
    ("goto", "20 120 7 8 1", "max_cap must be from 8 to 2^31 - 1, got 7"),
    ("goto", "20 120 8 7 1", "max_cost must be from 8"),
    ("goto", "20 120 8 8 4294967296", "seed must be a 32-bit integer"),
    ("goto", "357913941 2147483648 8 8 1", "arcs must be at most nodes^(5/3) (2147483647), got 2147483648"),
    ("goto", "20 120 8 8", "a GOTO parameter line ends before seed (4 numbers)"),
    ("goto", "20 120 8 8 1 1", "a GOTO parameter line holds 5 numbers, got 6"),
    ("mnetgen", "1 1 1 10 1 1 2 0 0 5 1 10 10 100 1 10 1 10 0 0 0", "nodes must be at least 2, got 1"),
    ("mnetgen", "1 1 20 -1 2 2 2 0 0 5 1 10 10 100 1 10 1 10 0 0 0", "arcs must be at least 0, got -1"),
    ("mnetgen", "1 1 20 10 0 2 2 0 0 5 1 10 10 100 1 10 1 10 0 0 0", "sources must be at least 1, got 0"),
    ("mnetgen", "1 1 20 10 2 0 2 0 0 5 1 10 10 100 1 10 1 10 0 0 0", "sinks must be at least 1, got 0"),
    ("mnetgen", "1 1 20 10 12 9 2 0 0 5 1 10 20 100 1 10 1 10 0 0 0", "sources + sinks must not exceed nodes (20)"),
    ("mnetgen", "1 1 20 10 2 2 0 0 0 5 1 10 10 100 1 10 1 10 0 0 0", "commodities must be at least 1, got 0"),
    ("mnetgen", "1 1 20 10 2 2 2 3 0 5 1 10 10 100 1 10 1 10 0 0 0", "tsources must be from 0 to sources (2), got 3"),
    ("mnetgen", "1 1 20 10 2 2 2 0 -1 5 1 10 10 100 1 10 1 10 0 0 0", "tsinks must be from 0 to sinks (2), got -1"),
    ("mnetgen", "1 1 20 10 2 2 2 0 0 -5 1 10 10 100 1 10 1 10 0 0 0", "chain must be at least 0, got -5"),
    ("mnetgen", "1 1 20 10 2 2 2 0 0 5 11 10 10 100 1 10 1 10 0 0 0", "min_cost must not exceed max_cost (10), got 11"),
    ("mnetgen", "1 1 20 10 2 2 2 0 0 5 1 10 10 100 1 10 11 10 0 0 0", "min_cap must not exceed max_cap (10)"),
    ("mnetgen", "1 1 20 10 2 2 2 0 0 5 1 10 1 100 1 10 1 10 0 0 0", "min_supply must be at least the number of sources (2)"),
    ("mnetgen", "1 1 20 10 2 2 2 0 0 5 1 10 10 100 1 10 1 10 0 100.5 0", "bounded must be a percentage from 0 to 100"),
    ("mnetgen", "1 1 20 10 2 2 2 0 0 5 1 10 10 100 1 10 1 10 0 0", "a MNETGEN parameter line ends before capacitated"),
    ("mnetgen", "1 1 20 10 2 2 2 0 0 5 1 10 10 100 1 10 1 10 0 0 nan", "capacitated must be a number, got 'nan'"),
    # Lines the C programs never finish with: the rule that decides is in docs/families.md.
    ("mnetgen", "4242 7 100 600 10 10 4 1 1 15 1 10000 100000 1000000 1 100 10000 100000 30 40 50",
     "chain: MNETGEN never finishes with these parameters (a chain searches for an unused transshipment node"),
    ("mnetgen", "903915971 1 22 48 3 4 5 0 2 28 1 748 354 67215 1 108 1 79384 0 0 0",
     "sinks: MNETGEN never finishes with these parameters (a source searches for an unused sink"),
    ("mnetgen", "1 1 2 10 1 1 1 1 0 0 1 10 10 100 1 10 1 10 0 0 0", "arcs: MNETGEN never finishes"),
]  # fmt: skip


@pytest.mark.parametrize(("family", "line", "message"), REFUSALS, ids=[f"{f}: {m[:40]}" for f, _, m in REFUSALS])
def test_bad_parameters_are_refused_before_any_file(family, line, message, tmp_path):
    with pytest.raises(ValueError, match="^" + message.replace("(", r"\(").replace(")", r"\)").replace("^", r"\^")
                       .replace("+", r"\+")):  # fmt: skip
        if family == "mnetgen":
            pt.mnetgen_files(line, tmp_path / "p")
        else:
            getattr(pt, family)(line, out=tmp_path / "never.min")
    assert list(tmp_path.iterdir()) == []


@st.composite
def gridgen_lines(draw):
    width = draw(st.integers(2, 12))
    nodes = draw(st.integers(2 * width, 150))
    n1, n2 = (width, int(nodes / width + 0.5)) if width * width >= nodes else (int(nodes / width + 0.5), width)
    sources = draw(st.integers(1, max(1, n1 * n2 // 3)))
    sinks = draw(st.integers(1, max(1, n1 * n2 // 3)))
    costs = draw(st.sampled_from(["1 0 100", "1 -20 20", "2 30"]))
    caps = draw(st.sampled_from(["1 1 50", "1 5 5", "2 10"]))
    return (f"{draw(st.integers(0, 1))} {draw(st.integers(1, 2**31 - 1))} {nodes} {width} {sources} {sinks} "
            f"{draw(st.integers(0, 8))} {draw(st.integers(1, 10**5))} {costs} {caps}")  # fmt: skip


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(gridgen_lines())
def test_every_gridgen_network_has_a_feasible_flow(line):
    try:
        instance = pt.gridgen(line)
    except ValueError as refused:  # seeds whose 32-bit stream repeats (2^29, ...): the C program never ends
        assert "never finishes" in str(refused)
        assume(False)
    assert sum(instance.supplies.values()) == 0
    graph = nx.MultiDiGraph()
    graph.add_nodes_from(range(1, instance.num_nodes + 1), demand=0)
    for node, supply in instance.supplies.items():
        graph.nodes[node]["demand"] = -supply
    for e in instance.edges:  # capacities may be drawn negative: such an arc carries nothing
        graph.add_edge(e.tail, e.head, capacity=max(e.up, 0), weight=e.cost)
    nx.network_simplex(graph)  # raises NetworkXUnfeasible when no flow meets the supplies


def read_four_files(prefix: Path):
    """MNETGEN's four files as their format describes them: .nod holds the commodities, nodes, arc
    names and mutual capacities; .arc records name, from, to, commodity, cost, bound (-1 for none),
    mutual pointer (0 for none); .sup records node, commodity, supply; .mut pointer, capacity."""
    text = {s: prefix.with_name(prefix.name + s).read_text() for s in (".nod", ".arc", ".sup", ".mut")}
    commodities, nodes, names, mutual = map(int, text[".nod"].split())
    arcs = [line.split("\t") for line in text[".arc"].splitlines()]
    supplies = [tuple(map(int, line.split("\t"))) for line in text[".sup"].splitlines()]
    mut = [tuple(map(int, line.split("\t"))) for line in text[".mut"].splitlines()]
    return commodities, nodes, names, mutual, arcs, supplies, mut


@st.composite
def mnetgen_lines(draw):
    nodes = draw(st.integers(6, 80))
    sources, sinks = draw(st.integers(1, nodes // 3)), draw(st.integers(1, nodes // 3))
    low = draw(st.integers(sources, 500))
    return (f"{draw(st.integers(-(2**40), 2**40))} 1 {nodes} {draw(st.integers(0, 6 * nodes))} {sources} {sinks} "
            f"{draw(st.integers(1, 6))} {draw(st.integers(0, sources))} {draw(st.integers(0, sinks))} "
            f"{draw(st.integers(0, 4))} 1 {draw(st.integers(1, 99999))} {low} {low + draw(st.integers(0, 10**4))} "
            f"1 50 10 {draw(st.integers(10, 10**5))} {draw(st.integers(0, 100))} {draw(st.integers(0, 100))} "
            f"{draw(st.integers(0, 100))}")  # fmt: skip


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(mnetgen_lines())
def test_mnetgen_files_agree_with_each_other(tmp_path_factory, line):
    prefix = tmp_path_factory.mktemp("m") / "p"
    params = pt.parse_mnetgen_params(line)
    try:
        summary = pt.mnetgen_files(line, prefix)
    except ValueError as refused:
        assert "never finishes" in str(refused)
        return
    commodities, nodes, names, mutual, arcs, supplies, mut = read_four_files(prefix)
    assert (commodities, nodes, names) == (params.commodities, params.nodes, summary.arcs)
    assert [p for p, _ in mut] == list(range(1, mutual + 1))
    assert len(arcs) >= params.arcs and {int(a[0]) for a in arcs} == set(range(1, names + 1))
    for _name, tail, head, k, cost, bound, pointer in arcs:
        assert 1 <= int(tail) <= nodes and 1 <= int(head) <= nodes and 1 <= int(k) <= commodities
        assert 0 <= int(pointer) <= mutual and float(bound) >= -1 and float(cost) == float(cost)
    for k in range(1, commodities + 1):  # each commodity's supplies and demands balance
        assert sum(s for _, c, s in supplies if c == k) == 0


CHILD = r"""
import json, os, signal, sys, threading, time
from pathlib import Path
import pelmora_tools as pt

signal.signal(signal.SIGINT, signal.default_int_handler)
arcs = Path(sys.argv[1] + ".arc")
sent = []
def send():  # once the generation is under way: its arc file has grown
    while not (arcs.exists() and arcs.stat().st_size > 1 << 20):
        time.sleep(0.001)
    sent.append(True)
    signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)  # the caller, blocked in the call
threading.Thread(target=send, daemon=True).start()
try:  # ten billion random arcs: hours of work
    pt.mnetgen_files("1 1 1000 10000000000 10 10 1 0 0 5 1 100 100 1000 1 10 1 10 0 0 0", sys.argv[1])
    raised = None
except BaseException as error:
    raised = type(error).__name__
print(json.dumps({"raised": raised, "sent": bool(sent)}))
"""


def test_sigint_stops_a_generation_and_leaves_no_file(tmp_path):
    done = subprocess.run([sys.executable, "-c", CHILD, str(tmp_path / "big")], capture_output=True, text=True,
                          timeout=600)  # fmt: skip
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout) == {"raised": "KeyboardInterrupt", "sent": True}
    assert list(tmp_path.iterdir()) == []


def test_parameter_files_hold_problems_one_after_another():
    goto = sources.parse("goto:20 120 100 100 7", "network").family
    assert goto.lines("# two GOTO problems\n20 120 100 100 7\n15\n90 8 8 1\n") == ["20 120 100 100 7", "15 90 8 8 1"]
    with pytest.raises(ValueError, match="a GOTO parameter line ends before max_cap"):
        goto.lines("15 90")
    gridgen = sources.parse("gridgen:1 2 3", "network").family
    assert gridgen.lines("1 5 100 10 5 5 4 1000 2 7 1 1 10\n0 5 100 10 5 5 4 1000 1 1 10 2 3") == [
        "1 5 100 10 5 5 4 1000 2 7 1 1 10", "0 5 100 10 5 5 4 1000 1 1 10 2 3"]  # fmt: skip
