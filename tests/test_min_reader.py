"""The DIMACS .min reader behind load_min_instance: lines, tokens, numbers, messages and the
instance it builds, checked against the bundled instances' facts and against a plain Python model."""

from __future__ import annotations

import os
import re
import subprocess
from pathlib import Path

import pytest
from hypothesis import assume, given
from hypothesis import strategies as st

import pelmora

DATA = Path(__file__).parent / "data"

# The Unicode White_Space property: what the reader trims and splits at. Python's own str.split()
# also splits at U+001C..U+001F, which are not in it, so the model splits with this class.
WHITE_SPACE = "\t\n\v\f\r \x85\xa0\u1680" + "".join(map(chr, range(0x2000, 0x200B))) + "\u2028\u2029\u202f\u205f\u3000"
NOT_WHITE_SPACE = ["\x1c", "\x1f", "\u200b", "\u180e", "\ufeff"]
SPLIT = re.compile(f"[{re.escape(WHITE_SPACE)}]+")

I64_MIN, I64_MAX = -(2**63), 2**63 - 1
INVALID = "invalid digit found in string"
TOO_LARGE = "number too large to fit in target type"
TOO_SMALL = "number too small to fit in target type"


def load(path) -> pelmora.NetworkInstance:
    return pelmora.load_min_instance(str(path))


def load_error(path) -> str:
    with pytest.raises(OSError) as info:
        pelmora.load_min_instance(str(path))
    assert type(info.value) is OSError and len(info.value.args) == 1
    return info.value.args[0]


def write_bytes(tmp_path: Path, data: bytes, name="x.min") -> Path:
    path = tmp_path / name
    path.write_bytes(data)
    return path


def write_text(tmp_path: Path, text: str, name="x.min") -> Path:
    return write_bytes(tmp_path, text.encode("utf-8"), name)


# --------------------------------------------------------------------------------------------
# A plain model of the reader: what the instance must hold for a given file text.


def model_int(token: str, lo=I64_MIN, hi=I64_MAX):
    """The integer token rule: value, or the message of the first offence met left to right."""
    if token == "":
        return "cannot parse integer from empty string"
    if token in ("+", "-"):
        return INVALID
    negative = token[0] == "-" and lo < 0
    digits = token[1:] if token[0] == "+" or negative else token
    value = 0
    for ch in digits:
        if ch not in "0123456789":
            return INVALID
        value = value * 10 + int(ch)
        if not negative and value > hi:
            return TOO_LARGE
        if negative and -value < lo:
            return TOO_SMALL
    return -value if negative else value


class ModelError(Exception):
    pass


def model_read(text: str) -> dict:
    """Reads file text the way the reader must, with plain dicts and lists."""
    declared = (0, 0)
    nodes, seen, supplies, edges, arc_indices = [], set(), {}, [], {}

    def number(tok):
        v = model_int(tok)
        if isinstance(v, str):
            raise ModelError(v)
        return v

    def see(v):
        if v not in seen:
            seen.add(v)
            nodes.append(v)

    for line in text.split("\n"):
        trimmed = line.strip(WHITE_SPACE)
        if not trimmed or trimmed[0] == "c":
            continue
        tokens = SPLIT.split(trimmed)
        if len(tokens[0].encode()) != 1:
            continue
        kind = tokens[0]
        if kind == "a":
            tail, head, low, up, cost = (number(t) for t in tokens[1:6])
            positions = arc_indices.setdefault((tail, head), [])
            edges.append((tail, head, low, up, cost, len(positions)))
            positions.append(len(edges) - 1)
            see(tail)
            see(head)
        elif kind == "n":
            node, supply = number(tokens[1]), number(tokens[2])
            supplies[node] = supply
            see(node)
        elif kind == "p":
            declared = (number(tokens[2]), number(tokens[3]))
    return {
        "num_nodes": declared[0],
        "num_arcs": declared[1],
        "nodes": nodes,
        "supplies": dict(sorted(supplies.items())),
        "edges": edges,
        "arc_indices": dict(sorted(arc_indices.items())),
        "num_parallel_arc_pairs": sum(1 for p in arc_indices.values() if len(p) > 1),
    }


def observed(instance) -> dict:
    """The instance's fields in the model's shape, after checking that its views agree."""
    edges = [(e.tail, e.head, e.low, e.up, e.cost, e.index) for e in instance.edges]
    assert instance.arcs == [(e[0], e[1], e[5]) for e in edges]
    assert instance.capacities == [e[3] for e in edges]
    assert instance.weights == [e[4] for e in edges]
    assert instance.topology() == [(e[0], e[1]) for e in edges]
    assert instance.parallel == (instance.num_parallel_arc_pairs > 0)
    supplies = instance.supplies
    arc_indices = instance.arc_indices
    assert list(supplies) == sorted(supplies) and list(arc_indices) == sorted(arc_indices)
    return {
        "num_nodes": instance.num_nodes,
        "num_arcs": instance.num_arcs,
        "nodes": instance.nodes,
        "supplies": supplies,
        "edges": edges,
        "arc_indices": arc_indices,
        "num_parallel_arc_pairs": instance.num_parallel_arc_pairs,
    }


def check_against_model(path: Path, text: str):
    try:
        expected = model_read(text)
    except ModelError as exc:
        assert load_error(path) == str(exc)
        return
    got = observed(load(path))
    assert got == expected


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
# Lines and tokens.


class TestLinesAndTokens:
    def test_comment_rule_and_ignored_lines(self, tmp_path):
        text = "\n".join([
            "   c indented comment",
            "comment line",
            "cat 1 2",
            "c",
            "arc 1 2 0 1 1",
            "x 1 2",
            "A 1 2 0 1 1",
            "N 1 5",
            "P min 3 3",
            "\u00e9 1 2",  # a first token of two bytes
            "  a   1\t2  0 7 8 extra tokens 1.5 x",
            "\tn 1 3",
        ])
        instance = load(write_text(tmp_path, text))
        assert instance.arcs == [(1, 2, 0)] and instance.edges[0].cost == 8
        assert instance.supplies == {1: 3} and (instance.num_nodes, instance.num_arcs) == (0, 0)

    def test_line_endings(self, tmp_path):
        for text in ["p min 2 1\r\na 1 2 0 4 5\r\n", "p min 2 1\na 1 2 0 4 5", "p min 2 1\r\na 1 2 0 4 5\r"]:
            instance = load(write_text(tmp_path, text))
            assert instance.arcs == [(1, 2, 0)] and instance.edges[0].cost == 5 and instance.num_nodes == 2
        # a lone carriage return does not end a line: the rest joins the line's tokens
        instance = load(write_text(tmp_path, "a 1 2 0 4 5\ra 3 4 0 1 1\n"))
        assert instance.arcs == [(1, 2, 0)]

    @pytest.mark.parametrize("space", [c for c in WHITE_SPACE if c != "\n"])
    def test_every_white_space_character_separates_and_trims(self, tmp_path, space):
        text = f"{space}a{space}1{space}{space}2{space}0{space}4{space}5{space}\n"
        instance = load(write_text(tmp_path, text))
        assert [(e.tail, e.head, e.low, e.up, e.cost) for e in instance.edges] == [(1, 2, 0, 4, 5)]
        # and a comment letter after leading white space still makes a comment
        assert load(write_text(tmp_path, f"{space}c a 1 2 0 4 5\n")).edges == []

    @pytest.mark.parametrize("char", NOT_WHITE_SPACE)
    def test_other_characters_are_part_of_a_token(self, tmp_path, char):
        assert load_error(write_text(tmp_path, f"a 1{char}2 3 0 4 5\n")) == INVALID
        assert load_error(write_text(tmp_path, f"a 1 2 0 4 5{char}\n")) == INVALID
        # ... and a leading one makes the first token longer than one byte: the line is ignored
        assert load(write_text(tmp_path, f"{char}a 1 2 0 4 5\n")).edges == []

    @pytest.mark.parametrize("shift", range(66))
    def test_tokens_at_every_offset_and_across_64_byte_blocks(self, tmp_path, shift):
        zeros = "0" * 70
        line = f"a{' ' * (shift + 1)}1 {zeros}2 -{zeros}3\t+00000004 {' ' * shift}123456789"
        for text in [line + "\n", line + " x\n" if shift % 2 else line]:
            edge = load(write_text(tmp_path, text)).edges[0]
            assert (edge.tail, edge.head, edge.low, edge.up, edge.cost) == (1, 2, -3, 4, 123456789)
        assert load_error(write_text(tmp_path, f"a{' ' * (shift + 1)}1 2 3 4 {zeros}5x\n")) == INVALID

    def test_nul_characters_are_ordinary_text(self, tmp_path):
        assert load(write_text(tmp_path, "\0 1 2\nn 1 2\n")).supplies == {1: 2}
        assert load_error(write_text(tmp_path, "a 1 2 0 4 5\0\n")) == INVALID

    def test_lines_longer_than_the_buffer(self, tmp_path):
        pad = " " * 20000
        long_comment = "c" + "x" * 100000
        text = "\n".join([long_comment, f"a{pad}1 2{pad}0 4 5{pad}", "n 1 7", f"p min 3 {pad}9"]) + "\n"
        instance = load(write_text(tmp_path, text))
        assert instance.arcs == [(1, 2, 0)] and instance.supplies == {1: 7} and instance.num_arcs == 9

    @pytest.mark.parametrize("offset", range(8185, 8196))
    def test_multi_byte_space_across_buffer_refills(self, tmp_path, offset):
        # The three bytes of U+3000 and a two-byte U+00A0 land on both sides of the 8192-byte
        # boundary for some offset.
        text = "c" + "x" * (offset - 2) + "\n" + "a 1\u30002\u00a00 4 5\n" * 3
        instance = load(write_text(tmp_path, text))
        assert instance.arcs == [(1, 2, 0), (1, 2, 1), (1, 2, 2)]

    def test_many_lines_across_many_buffers(self, tmp_path):
        lines = [f"a {i % 97} {i % 89} {i} {i * 3} {-i}" for i in range(20000)]
        text = "p min 100 20000\n" + "\n".join(lines) + "\n"
        check_against_model(write_text(tmp_path, text), text)


# --------------------------------------------------------------------------------------------
# Numbers.

TOKEN_CASES = [
    ("007", 7), ("-0", 0), ("+5", 5), ("-17", -17), (str(I64_MAX), I64_MAX), (str(I64_MIN), I64_MIN),
    ("+" + "0" * 40 + "12", 12),
    ("1.5", INVALID), ("abc", INVALID), ("+", INVALID), ("-", INVALID), ("--5", INVALID), ("+-5", INVALID),
    ("1_000", INVALID), ("0x10", INVALID), ("1e3", INVALID), ("\uff11", INVALID), ("5-", INVALID),
    (str(I64_MAX + 1), TOO_LARGE), (str(I64_MIN - 1), TOO_SMALL), ("9" * 40, TOO_LARGE), ("-" + "9" * 40, TOO_SMALL),
    ("9" * 20 + "x", TOO_LARGE),  # the overflow is met before the letter
    ("922337203685477580x", INVALID), ("x" + "9" * 30, INVALID), ("-9223372036854775808" + "0", TOO_SMALL),
]


def parsed_positions(token):
    """Every place where the reader parses an integer, with the field that receives it."""
    for k, field in enumerate(["tail", "head", "low", "up", "cost"]):
        values = ["1", "2", "3", "4", "5"]
        values[k] = token
        yield "a " + " ".join(values), lambda inst, field=field: getattr(inst.edges[0], field)
    yield f"n {token} 1", lambda inst: next(iter(inst.supplies))
    yield f"n 1 {token}", lambda inst: inst.supplies[1]
    yield f"p min {token} 1", lambda inst: inst.num_nodes
    yield f"p min 1 {token}", lambda inst: inst.num_arcs


@pytest.mark.parametrize("token,expected", TOKEN_CASES)
def test_integer_tokens_at_every_parsed_position(tmp_path, token, expected):
    for line, field in parsed_positions(token):
        path = write_text(tmp_path, line + "\n")
        if isinstance(expected, str):
            assert load_error(path) == expected, line
        else:
            assert field(load(path)) == expected, line


def test_problem_type_is_not_examined(tmp_path):
    instance = load(write_text(tmp_path, "p 1.5x 3 4\n"))
    assert (instance.num_nodes, instance.num_arcs) == (3, 4)


@given(st.text(alphabet="0123456789+-x. ", min_size=1, max_size=24).map(str.strip).filter(bool)
       | st.integers(-(2**70), 2**70).map(str))
def test_integer_rule_matches_the_model(tmp_path_factory, token):
    assume(" " not in token)
    path = write_text(tmp_path_factory.mktemp("tok"), f"a 1 2 3 4 {token}\n")
    expected = model_int(token)
    if isinstance(expected, str):
        assert load_error(path) == expected
    else:
        assert load(path).edges[0].cost == expected


# --------------------------------------------------------------------------------------------
# Errors.


class TestErrors:
    def test_missing_file_directory_and_nul(self, tmp_path):
        assert load_error(tmp_path / "missing.min") == "No such file or directory (os error 2)"
        assert load_error(tmp_path) == "Is a directory (os error 21)"
        assert load_error("") == "No such file or directory (os error 2)"
        assert load_error(str(tmp_path / "a\0b.min")) == "file name contained an unexpected NUL byte"
        assert load_error(tmp_path / "missing" / "x.min") == "No such file or directory (os error 2)"
        (tmp_path / "f").write_text("")
        assert load_error(tmp_path / "f" / "x.min") == "Not a directory (os error 20)"

    @pytest.mark.skipif(os.geteuid() == 0, reason="root reads files whatever their permission bits")
    def test_permission_denied(self, tmp_path):
        path = write_text(tmp_path, "p min 1 1\n")
        path.chmod(0)
        assert load_error(path) == "Permission denied (os error 13)"

    @pytest.mark.parametrize("bad", [
        b"\x80", b"\xc0\xaf", b"\xe0\x80\xaf", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xf5\x80\x80\x80",
        b"\xff", b"\xc3", b"\xe2\x82", b"a\xc3(b",
    ])
    def test_invalid_utf8_anywhere_in_a_line(self, tmp_path, bad):
        for line in [b"c comment " + bad, b"a 1 2 0 4 5 " + bad, bad + b"x 1 2", b"n 1 2" + bad]:
            assert load_error(write_bytes(tmp_path, b"p min 1 1\n" + line + b"\na 1 2 0 4 5\n")) == (
                "stream did not contain valid UTF-8")
        # also in an unterminated last line and past the first buffer
        assert load_error(write_bytes(tmp_path, b"c" + b"y" * 9000 + b"\n" + bad)) == "stream did not contain valid UTF-8"
        assert load_error(write_bytes(tmp_path, b"c" + b"y" * 9000 + bad + b"\n")) == "stream did not contain valid UTF-8"

    def test_valid_utf8_of_every_length_is_accepted(self, tmp_path):
        text = "c \u00e9 \u20ac \U0001f600 \U0010ffff \ud7ff\ue000\nn 1 2\n"
        assert load(write_text(tmp_path, text)).supplies == {1: 2}

    def test_first_error_in_file_order_wins(self, tmp_path):
        assert load_error(write_bytes(tmp_path, b"a 1 2 0 x 5\nc \xff\n")) == INVALID
        assert load_error(write_bytes(tmp_path, b"c \xff\na 1 2 0 x 5\n")) == "stream did not contain valid UTF-8"
        assert load_error(write_text(tmp_path, f"a {I64_MAX}0 2 0 x 5\n")) == TOO_LARGE
        assert load_error(write_text(tmp_path, "a 1 2\na 1 2 0 x 5\n")) == "line 1: arc line is missing the lower bound (token 3)"

    @pytest.mark.parametrize("line,message", [
        ("a", "arc line is missing the tail (token 1)"),
        ("a 1", "arc line is missing the head (token 2)"),
        ("a 1 2", "arc line is missing the lower bound (token 3)"),
        ("a 1 2 0", "arc line is missing the capacity (token 4)"),
        ("a 1 2 0 4", "arc line is missing the cost (token 5)"),
        ("n", "node line is missing the node identifier (token 1)"),
        ("n 5", "node line is missing the supply (token 2)"),
        ("p", "problem line is missing the problem type (token 1)"),
        ("p min", "problem line is missing the node count (token 2)"),
        ("p min 3", "problem line is missing the arc count (token 3)"),
    ])
    def test_short_lines_name_line_and_token(self, tmp_path, line, message):
        text = "c header\n\np min 3 3\n" + line + "   \n"
        assert load_error(write_text(tmp_path, text)) == f"line 4: {message}"
        # a line ending in carriage return and line feed counts as one line
        assert load_error(write_text(tmp_path, text.replace("\n", "\r\n"))) == f"line 4: {message}"

    def test_malformed_token_before_a_short_line_is_reported(self, tmp_path):
        assert load_error(write_text(tmp_path, "a 1 x\n")) == INVALID
        assert load_error(write_text(tmp_path, "n +\n")) == INVALID
        assert load_error(write_text(tmp_path, "p min 1.0\n")) == INVALID


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
