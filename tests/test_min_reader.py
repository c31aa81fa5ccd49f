"""The DIMACS .min reader behind load_min_instance: the instance it builds, checked against the
bundled instances' facts, worked cases and a plain Python model."""

from __future__ import annotations

import os
import subprocess

import pytest
from hypothesis import given
from hypothesis import strategies as st
from min_model import (
    DATA,
    I64_MAX,
    I64_MIN,
    WHITE_SPACE,
    check_against_model,
    load,
    load_error,
    model_read,
    observed,
    write_text,
)

# --------------------------------------------------------------------------------------------
# The bundled instances: counts from their problem lines and line counts, supply sums, parallel
# pairs and value ranges as recorded in FACTS.md (independently by GLPK and awk).


def facts_table():
    rows = {}
    for line in (DATA / "FACTS.md").read_text().splitlines():
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        if len(cells) > 10 and cells[0].endswith(".min"):
            rows[cells[0]] = cells
    return rows


FACTS = facts_table()


def test_facts_table_lists_every_bundled_instance():
    assert set(FACTS) == {p.name for p in DATA.glob("*.min")} and len(FACTS) == 7


@pytest.mark.parametrize("name", sorted(FACTS))
def test_bundled_instance_matches_facts(name):
    cells = FACTS[name]
    p_nodes, p_arcs, arc_lines, node_lines, pos, neg, pairs = (int(c) for c in cells[1:8])
    cost_min, cost_max = (int(v) for v in cells[8].split("/"))
    cap_min, cap_max = (int(v) for v in cells[9].split("/"))
    instance = load(DATA / name)
    assert (instance.num_nodes, instance.num_arcs) == (p_nodes, p_arcs)
    edges = instance.edges
    assert len(edges) == arc_lines
    supplies = instance.supplies
    assert len(supplies) == node_lines
    assert sum(v for v in supplies.values() if v > 0) == pos
    assert sum(v for v in supplies.values() if v < 0) == neg
    assert instance.num_parallel_arc_pairs == pairs and instance.parallel == (pairs > 0)
    assert (min(instance.weights), max(instance.weights)) == (cost_min, cost_max)
    assert (min(instance.capacities), max(instance.capacities)) == (cap_min, cap_max)
    assert all(e.tail != e.head for e in edges)  # "No file has self-loops"
    # nodes: exactly the node-line nodes and the arc ends, once each, in first appearance
    assert len(set(instance.nodes)) == len(instance.nodes)
    assert set(instance.nodes) == set(supplies) | {e.tail for e in edges} | {e.head for e in edges}
    # arc_indices partitions the positions; the j-th arc of a pair has parallel index j
    positions = sorted(p for ps in instance.arc_indices.values() for p in ps)
    assert positions == list(range(len(edges)))
    for (tail, head), ps in instance.arc_indices.items():
        assert [(edges[p].tail, edges[p].head, edges[p].index) for p in ps] == [(tail, head, j) for j in range(len(ps))]


def test_bundled_instances_agree_with_the_model():
    for path in sorted(DATA.glob("*.min")):
        check_against_model(path, path.read_text())


def test_parallel_multiplicities_of_the_parallel_instance():
    instance = load(DATA / "own-net-parallel-300n-9000a.min")
    sizes = [len(ps) for ps in instance.arc_indices.values() if len(ps) > 1]
    assert {k: sizes.count(k) for k in set(sizes)} == {2: 662, 3: 67, 4: 14, 5: 1}
    assert sum(1 for e in instance.edges if e.index > 0) == 842


def test_glpk_sample_lower_bounds_and_trailer():
    instance = load(DATA / "glpk-sample.min")
    assert sorted(e.low for e in instance.edges if e.low) == [2, 4]
    assert instance.supplies == {1: 20, 9: -20}
    assert instance.nodes[:2] == [1, 9]  # node lines come before the arcs


# --------------------------------------------------------------------------------------------
# Instance shape: the worked cases.


class TestInstanceShape:
    def test_empty_and_comment_only_files(self, tmp_path):
        for text in ["", "c only a comment\n", "\n\n   \n", "c a\nc b"]:
            got = observed(load(write_text(tmp_path, text)))
            assert got == {
                "num_nodes": 0, "num_arcs": 0, "nodes": [], "supplies": {}, "edges": [],
                "arc_indices": {}, "num_parallel_arc_pairs": 0,
            }

    def test_declared_counts_are_kept_not_checked(self, tmp_path):
        instance = load(write_text(tmp_path, "p min 10 20\na 1 2 0 5 1\na 2 3 0 5 1\n"))
        assert (instance.num_nodes, instance.num_arcs, len(instance.edges)) == (10, 20, 2)

    def test_last_problem_line_wins(self, tmp_path):
        instance = load(write_text(tmp_path, "a 1 2 0 5 1\np min 3 4\np max 7 -8\n"))
        assert (instance.num_nodes, instance.num_arcs) == (7, -8)

    def test_parallel_and_antiparallel_arcs(self, tmp_path):
        instance = load(write_text(tmp_path, "a 1 2 0 1 1\na 1 2 0 1 1\na 2 1 0 1 1\n"))
        assert instance.arcs == [(1, 2, 0), (1, 2, 1), (2, 1, 0)]
        assert instance.arc_indices == {(1, 2): [0, 1], (2, 1): [2]}
        assert list(instance.arc_indices) == [(1, 2), (2, 1)]
        assert instance.num_parallel_arc_pairs == 1 and instance.parallel

    def test_three_arcs_of_one_pair_count_once(self, tmp_path):
        instance = load(write_text(tmp_path, "a 1 2 0 1 1\na 1 2 0 1 1\na 1 2 0 1 1\n"))
        assert [e.index for e in instance.edges] == [0, 1, 2]
        assert instance.num_parallel_arc_pairs == 1

    def test_interleaved_parallel_arcs_are_numbered_in_file_order(self, tmp_path):
        lines = ["a 5 6 0 1 10", "a 1 2 0 1 11", "a 5 6 0 1 12", "a 1 2 0 1 13", "a 5 6 0 1 14"]
        instance = load(write_text(tmp_path, "\n".join(lines)))
        assert [(e.cost, e.index) for e in instance.edges] == [(10, 0), (11, 0), (12, 1), (13, 1), (14, 2)]
        assert instance.arc_indices == {(1, 2): [1, 3], (5, 6): [0, 2, 4]}
        assert instance.num_parallel_arc_pairs == 2

    def test_nodes_in_first_appearance_supplies_sorted(self, tmp_path):
        instance = load(write_text(tmp_path, "n 5 10\na 3 5 0 1 1\n"))
        assert instance.nodes == [5, 3] and instance.supplies == {5: 10}
        instance = load(write_text(tmp_path, "n 5 1\nn 3 2\n"))
        assert instance.nodes == [5, 3] and list(instance.supplies) == [3, 5]

    def test_last_node_line_wins(self, tmp_path):
        instance = load(write_text(tmp_path, "n 4 7\na 4 9 0 1 1\nn 4 -2\n"))
        assert instance.supplies == {4: -2} and instance.nodes == [4, 9]

    def test_any_values_accepted(self, tmp_path):
        text = f"n 0 0\nn -3 5\na {I64_MIN} {I64_MAX} -4 -5 -6\na 7 7 9 1 1\n"
        instance = load(write_text(tmp_path, text))
        assert instance.nodes == [0, -3, I64_MIN, I64_MAX, 7]
        assert [(e.tail, e.head, e.low, e.up, e.cost) for e in instance.edges] == [
            (I64_MIN, I64_MAX, -4, -5, -6), (7, 7, 9, 1, 1)]

    def test_arc_order_of_pairs_compares_identifiers_not_appearance(self, tmp_path):
        lines = ["a 10 -1 0 1 1", "a -5 3 0 1 1", "a 10 -7 0 1 1", "a 2 2 0 1 1", "a -5 3 0 1 1"]
        instance = load(write_text(tmp_path, "\n".join(lines)))
        assert list(instance.arc_indices.items()) == [((-5, 3), [1, 4]), ((2, 2), [3]), ((10, -7), [2]), ((10, -1), [0])]

    def test_huge_or_negative_declared_counts_are_only_hints(self, tmp_path):
        for nodes, arcs in [(I64_MAX, I64_MAX), (-1, -1), (I64_MIN, 10**15), (2**40, 0)]:
            text = f"p min {nodes} {arcs}\nn 1 2\na 1 2 0 3 4\na 1 2 0 3 4\n"
            instance = load(write_text(tmp_path, text))
            assert (instance.num_nodes, instance.num_arcs) == (nodes, arcs)
            assert instance.arcs == [(1, 2, 0), (1, 2, 1)] and instance.nodes == [1, 2]

    def test_direct_and_hashed_node_ids_mix(self, tmp_path):
        # Identifiers below the declared node count and far outside it, interleaved.
        ids = [3, -1, 2**62, 0, 4, 5, 2**62, -1, 1000, 3]
        lines = ["p min 6 10"] + [f"a {t} {h} 0 1 1" for t, h in zip(ids, ids[1:] + ids[:1])]
        text = "\n".join(lines) + "\n"
        check_against_model(write_text(tmp_path, text), text)

    def test_reads_from_a_pipe(self, tmp_path):
        # A pipe has no size to bound the reservation by. The writer here is another process
        # (tests/test_interrupts.py feeds one from a thread of this one).
        fifo = tmp_path / "pipe.min"
        os.mkfifo(fifo)
        text = "p min 3 1000000\n" + "".join(f"a {i % 3} {(i * 7) % 5} 0 1 {i}\n" for i in range(3000))
        source = write_text(tmp_path, text, "source.min")
        writer = subprocess.Popen(["cp", str(source), str(fifo)])
        try:
            instance = load(fifo)
        finally:
            assert writer.wait(timeout=60) == 0
        assert len(instance.edges) == 3000 and instance.num_arcs == 1000000
        assert observed(instance) == model_read(text)


# --------------------------------------------------------------------------------------------
# Property: any file of arc, node, problem, comment and junk lines, formatted any way the
# reader accepts, reads as the model says.

ids = st.one_of(st.integers(-3, 12), st.integers(I64_MIN, I64_MAX))
spaces = st.one_of(st.just(" "), st.text(alphabet=WHITE_SPACE.replace("\n", ""), min_size=1, max_size=3))


def number_text(value, draw):
    text = str(value)
    if value >= 0 and draw(st.booleans()):
        text = draw(st.sampled_from(["+", "0", "00", "+0"])) + text
    return text


@st.composite
def min_files(draw):
    node_ids = draw(st.lists(ids, min_size=1, max_size=12))
    pick = st.sampled_from(node_ids)
    lines = []
    for _ in range(draw(st.integers(0, 40))):
        kind = draw(st.sampled_from("aaaannpcx"))
        if kind == "a":
            values = [draw(pick), draw(pick)] + draw(st.lists(st.integers(-10**12, 10**12), min_size=3, max_size=3))
            tokens = ["a"] + [number_text(v, draw) for v in values]
            if draw(st.booleans()):
                tokens += draw(st.lists(st.sampled_from(["junk", "1.5", "-"]), max_size=2))
        elif kind == "n":
            tokens = ["n", number_text(draw(pick), draw), number_text(draw(st.integers(-10**6, 10**6)), draw)]
        elif kind == "p":
            tokens = ["p", draw(st.sampled_from(["min", "max", "?"])), str(draw(st.integers(-5, 10**9))),
                      str(draw(st.integers(-5, 10**9)))]
        elif kind == "c":
            tokens = [draw(st.sampled_from(["c", "comment", "cat", ""]))]
        else:
            tokens = [draw(st.sampled_from(["x", "arc", "nn", "\u00e9"])), "1", "2"]
        sep = draw(spaces)
        line = draw(st.sampled_from(["", " ", "\t", "\u3000"])) + sep.join(tokens) + draw(st.sampled_from(["", " ", "\r"]))
        lines.append(line)
    return "\n".join(lines) + draw(st.sampled_from(["", "\n", "\r\n"]))


@given(text=min_files())
def test_random_files_read_as_the_model_says(tmp_path_factory, text):
    path = write_text(tmp_path_factory.mktemp("prop"), text)
    check_against_model(path, text)


# --------------------------------------------------------------------------------------------
# Plain arc lines ("a" and five integers, one space apart) are parsed straight from the read
# buffer. Lines that differ from that form by one inserted character or one number too few or
# many, numbers around the eight digits of a machine word, lines short and long, and lines across
# the buffer's end (a leading comment moves them) must read as the model says.

@st.composite
def plain_arc_files(draw):
    lines = ["c" + "x" * draw(st.integers(0, 9000))]
    for _ in range(draw(st.integers(1, 80))):
        values = [draw(st.integers(-2, 30)), draw(st.integers(1, 30))]
        # Mostly three more numbers of any width up to ten digits, now and then one too few or many.
        more = draw(st.sampled_from([3] * 8 + [2, 4]))
        values += draw(st.lists(st.integers(0, 10).flatmap(lambda d: st.integers(-(10**d), 10**d)), min_size=more, max_size=more))
        line = "a " + " ".join(map(str, values))
        if draw(st.integers(0, 3)) == 0:
            at = draw(st.integers(0, len(line)))
            line = line[:at] + draw(st.sampled_from([" ", "\t", "\r", "+", "-", "0", "9", "x", "\u00e9"])) + line[at:]
        lines.append(line)
    return "\n".join(lines) + draw(st.sampled_from(["", "\n"]))


@given(text=plain_arc_files())
def test_plain_and_nearly_plain_arc_lines_read_as_the_model_says(tmp_path_factory, text):
    check_against_model(write_text(tmp_path_factory.mktemp("plain"), text), text)


# Lines one step from the plain form, where one check of the in-place path stands alone (the
# first line of a file never goes that way): a number missing before the line feed, a bare or an
# inner minus sign, "a" run into the tail, nine digits. The last file ends without a line feed
# where an earlier, longer line's bytes still sit in the buffer past the end ("67" and a line
# feed): the last cost is 5, not 567.
@pytest.mark.parametrize(
    "text",
    [f"c\n{line}\n" for line in ("a 1 2 3 4 ", "a 1 2 3 4 -", "a1 2 3 4 5", "a 1 2 3 4 5-5", "a 1 2 3 4 123456789")]
    + ["a 1 2 3 4 567\n" * 599 + "a 1 2 3 4 5"],
    ids=["empty-last", "bare-minus", "a-joined", "inner-minus", "nine-digits", "stale-bytes-past-the-end"],
)
def test_lines_next_to_the_plain_form_read_as_the_model_says(tmp_path, text):
    check_against_model(write_text(tmp_path, text), text)


# --------------------------------------------------------------------------------------------
# Files of a megabyte and more are read by two threads, the second from the first line past the
# middle. Long comment lines around the random lines put the middle anywhere among them: problem
# lines before or after it or missing, nodes first met on either side, pairs spanning it.

SPLIT_PADDING = 600_000


def padded_around(text: str, middle: int) -> str:
    """`text` between two comment lines sized so that the file's middle byte falls `middle` bytes
    into it."""
    size = len(text.encode())
    before = SPLIT_PADDING + size - 2 * middle
    return "c" + "x" * (before - 2) + "\n" + text + "\nc" + "x" * (SPLIT_PADDING - 2) + "\n"


@given(text=min_files(), where=st.floats(0, 1))
def test_files_read_in_two_halves_as_the_model_says(tmp_path_factory, text, where):
    padded = padded_around(text, int(where * len(text.encode())))
    path = write_text(tmp_path_factory.mktemp("halves"), padded)
    check_against_model(path, padded)


def test_node_heavy_file_read_in_halves_as_the_model_says(tmp_path):
    # Short node lines, then arc lines three times as long: the second reader starts where about
    # half of the lines lie behind, among the node lines, well before the middle byte.
    import random

    rng = random.Random(5)
    nodes = [f"n {i} {rng.randint(-9, 9)}" for i in range(1, 120_001)]
    arcs = [f"a {rng.randint(1, 120_000)} {rng.randint(1, 120_000)} 0 {rng.randint(1, 10**6)} {rng.randint(-10**6, 10**6)}"
            for _ in range(40_000)]
    text = "p min 120000 40000\n" + "\n".join(nodes + arcs) + "\n"
    check_against_model(write_text(tmp_path, text), text)


@pytest.mark.parametrize("outside", ["none", "head", "tail"])
def test_node_lines_among_arcs_and_late_outside_ends_read_in_halves(tmp_path, outside):
    # Node lines among the arcs wait to be numbered while the arcs' ends are numbered at once:
    # each new node of a node line is the next arc's tail. An arc end past the declared nodes,
    # late in one half, turns the ends read so far into numbers.
    import random

    rng = random.Random(11)
    lines = ["p min 3000 60000"]
    fresh = iter(range(2001, 3001))
    for i in range(60_000):
        tail = rng.randint(1, 2000)
        if i % 500 == 0:
            node = next(fresh) if i % 1000 == 0 else -7
            lines.append(f"n {node} {rng.randint(-9, 9)}")
            tail = node if node > 0 else tail
        lines.append(f"a {tail} {rng.randint(1, 2000)} 0 {i % 97} {i}")
    if outside != "none":
        lines[20_000 if outside == "head" else 50_000] = "a 9000000000 5 0 1 1"
    text = "\n".join(lines) + "\n"
    path = write_text(tmp_path, text)
    assert path.stat().st_size > 2**20
    check_against_model(path, text)


@pytest.mark.parametrize("faulty", ["head", "tail", "both"])
def test_first_fault_of_a_file_read_in_halves_names_its_line(tmp_path, faulty):
    arcs = [f"a {i % 50 + 1} {i % 7 + 1} 0 9 {i}" for i in range(120_000)]
    bad_head, bad_tail = 1_000, 110_000  # line numbers, the problem line being line 1
    if faulty in ("head", "both"):
        arcs[bad_head - 2] = "a 1 2 0 9"
    if faulty in ("tail", "both"):
        arcs[bad_tail - 2] = "a 1 2 0 9"
    path = write_text(tmp_path, "p min 50 120000\n" + "\n".join(arcs) + "\n")
    assert path.stat().st_size > 2**20
    line = bad_tail if faulty == "tail" else bad_head
    assert load_error(path) == f"line {line}: arc line is missing the cost (token 5)"


@pytest.mark.parametrize(("tails", "declared"), [("ascending", 80_000), ("any order", 80_000), ("any order", 1_000)])
def test_large_files_with_many_parallel_pairs_read_as_the_model_says(tmp_path, tails, declared):
    # Enough arcs for the pair order to be sorted in two halves; 300 nodes make most pairs parallel.
    # A problem line that understates the arcs leaves the first half's storage short of the whole.
    import random

    rng = random.Random(7)
    pairs = [(rng.randint(1, 300), rng.randint(1, 300)) for _ in range(80_000)]
    if tails == "ascending":
        pairs.sort(key=lambda pair: pair[0])
    text = f"p min 300 {declared}\n" + "".join(f"a {t} {h} 0 {i % 9} {i}\n" for i, (t, h) in enumerate(pairs))
    check_against_model(write_text(tmp_path, text), text)
