"""The multi-commodity file's reader: load_multi_commodity_instance reads it (and the variations it
accepts), its errors, and a saved data set reads back as the format promises."""

from __future__ import annotations

import math

import pytest
from hypothesis import given
from hypothesis import strategies as st
from mcf_support import (
    HEADER,
    INVALID,
    TOO_LARGE,
    U64_MAX,
    instance_of,
    load,
    load_error,
    same_float,
)

import pelmora

# --------------------------------------------------------------------------------------------
# Reader.


class TestReader:
    def test_compressed_file_reads_back(self, tmp_path):
        text = HEADER + "p min 4 3 2 0 0 1 0 0 0\nn 1 6 3 3\nn 4 -6 -3 -3\na 1 2 0 10 10 3\na 2 4 1 8 8 5\na 1 4 0 6 6 9\n"
        p = load(tmp_path, text)
        assert (p.num_nodes, p.num_arcs, p.num_commodities) == (4, 3, 2)
        assert (p.randomized_capacities, p.randomized_weights, p.method, p.cap_zero, p.cap_zero_param, p.seed) == (
            False, False, 1, False, 0.0, 0)
        assert p.nodes == [1, 4, 2]
        assert p.supplies == {1: 6, 4: -6} and p.commodity_supply_demand_data == {1: [3, 3], 4: [-3, -3]}
        assert p.edges == [(1, 2, 0), (2, 4, 0), (1, 4, 0)] and p.capacities == [10, 8, 6]
        assert p.start_nodes == [1, 2, 1] and p.end_nodes == [2, 4, 4]
        assert p.commodity_capacities == {(1, 2, 0): [10, 10], (1, 4, 0): [6, 6], (2, 4, 0): [8, 8]}
        assert list(p.commodity_capacities) == [(1, 2, 0), (1, 4, 0), (2, 4, 0)]
        assert p.commodity_weights == {(1, 2, 0): [3, 3], (1, 4, 0): [9, 9], (2, 4, 0): [5, 5]}
        assert p.commodity_edges == [(0, 1, 2, 0), (0, 2, 4, 0), (0, 1, 4, 0), (1, 1, 2, 0), (1, 2, 4, 0), (1, 1, 4, 0)]
        assert p.commodity_bundle_capacities == [10, 8, 6, 10, 8, 6]
        assert p.arc_indices == {(1, 2): [0], (1, 4): [2], (2, 4): [1]} and p.parallel is False
        assert p.topology() == [(1, 2), (2, 4), (1, 4)]

    def test_bundle_capacities_are_commodity_major(self, tmp_path):
        p = load(tmp_path, "p min 2 2 3 1 0 0 0 0 1\na 1 2 0 9 1 2 3 7\na 2 1 0 9 4 5 6 7\n")
        assert p.commodity_bundle_capacities == [1, 4, 2, 5, 3, 6]
        assert p.commodity_edges == [(k, *e) for k in range(3) for e in [(1, 2, 0), (2, 1, 0)]]
        assert p.commodity_weights == {(1, 2, 0): [7, 7, 7], (2, 1, 0): [7, 7, 7]}

    def test_exclusion_flag_alone_expands_capacities(self, tmp_path):
        p = load(tmp_path, "p min 2 1 2 0 0 0 1 0.5 0\na 1 2 0 9 4 5 6\n")
        assert p.commodity_capacities == {(1, 2, 0): [4, 5]} and p.commodity_weights == {(1, 2, 0): [6, 6]}
        assert p.cap_zero and not p.randomized_capacities and p.cap_zero_param == 0.5

    def test_expanded_costs_after_expanded_capacities(self, tmp_path):
        p = load(tmp_path, "p min 2 1 2 1 1 0 0 0 0\na 1 2 0 9 4 5 6 7 extra tokens\n")
        assert p.commodity_capacities == {(1, 2, 0): [4, 5]} and p.commodity_weights == {(1, 2, 0): [6, 7]}

    def test_flags_are_any_nonzero_integer(self, tmp_path):
        p = load(tmp_path, "p min 2 1 1 7 -1 5 +0002 0 9\na 1 2 0 9 4 6\n")
        assert p.randomized_capacities and p.randomized_weights and p.cap_zero and p.method == 5 and p.seed == 9
        assert load_error(tmp_path, "p min 2 1 1 x 0 0 0 0 9\n") == INVALID

    def test_lower_bound_is_never_parsed(self, tmp_path):
        p = load(tmp_path, "p min 2 1 1 0 0 0 0 0 0\na 1 2 low 9 4 6\na 1 2 1e99 9 4 6\n")
        assert p.edges == [(1, 2, 0), (1, 2, 1)] and p.parallel
        assert p.arc_indices == {(1, 2): [0, 1]} and p.commodity_capacities == {(1, 2, 0): [4], (1, 2, 1): [4]}

    def test_node_lines_as_they_come(self, tmp_path):
        p = load(tmp_path, "p min 2 0 2 0 0 0 0 0 0\nn 5 100 1 2 3 4\nn 3 0\nn 5 -1 -1\n")
        assert p.commodity_supply_demand_data == {3: [], 5: [-1]} and p.supplies == {3: 0, 5: -1}
        assert p.nodes == [5, 3]

    def test_unsigned_tokens(self, tmp_path):
        assert load(tmp_path, f"p min 0 0 +3 0 0 0 0 0 {U64_MAX}\n").seed == U64_MAX
        assert load(tmp_path, f"p min 0 0 {U64_MAX} 0 0 0 0 0 0\n").num_commodities == U64_MAX
        assert load_error(tmp_path, "p min 0 0 -1 0 0 0 0 0 0\n") == INVALID
        assert load_error(tmp_path, "p min 0 0 1 0 0 0 0 0 -0\n") == INVALID
        assert load_error(tmp_path, f"p min 0 0 {U64_MAX + 1} 0 0 0 0 0 0\n") == TOO_LARGE
        assert load_error(tmp_path, f"p min 0 0 1 0 0 0 0 0 {U64_MAX}0\n") == TOO_LARGE

    @pytest.mark.parametrize("token,value", [
        ("5e-2", 0.05), ("0.05", 0.05), ("+1.5E+3", 1500.0), ("1.", 1.0), (".5", 0.5), ("-0", -0.0), ("007.50", 7.5),
        ("inf", math.inf), ("-Infinity", -math.inf), ("INF", math.inf), ("+iNfInItY", math.inf), ("NaN", math.nan),
        ("-nan", math.nan), ("1e400", math.inf), ("-1e400", -math.inf), ("1e-400", 0.0), ("2.2250738585072011e-308", 2.225073858507201e-308),
        ("0.1000000000000000055511151231257827021181583404541015625", 0.1), ("9007199254740993", 9007199254740992.0),
    ])
    def test_exclusion_fraction_forms(self, tmp_path, token, value):
        got = load(tmp_path, f"p min 0 0 1 0 0 0 0 {token} 0\n").cap_zero_param
        assert same_float(got, value) or (math.isnan(value) and math.isnan(got))

    @pytest.mark.parametrize("token", ["abc", ".", "e5", "1e", "1e+", "0x1p3", "1,5", "in", "nan(1)", "+", "--1", "1.5.2",
                                       "1e5.0", "infinit", "\u0661", "1_0"])
    def test_malformed_exclusion_fraction(self, tmp_path, token):
        assert load_error(tmp_path, f"p min 0 0 1 0 0 0 0 {token} 0\n") == "invalid float literal"

    def test_problem_tokens_parse_in_their_order(self, tmp_path):
        big = "9" * 30
        # node count, arc count, K, then the seed, then the flags and method, then the fraction
        assert load_error(tmp_path, f"p min x {big} 0 0 0 0 0 abc {big}\n") == INVALID
        assert load_error(tmp_path, f"p min 1 {big} x 0 0 0 0 abc x\n") == TOO_LARGE
        assert load_error(tmp_path, f"p min 1 1 1 x 0 0 0 abc {big}\n") == TOO_LARGE
        assert load_error(tmp_path, f"p min 1 1 1 0 0 0 {big} abc 0\n") == TOO_LARGE
        assert load_error(tmp_path, "p min 1 1 1 0 0 0 0 abc 0\n") == "invalid float literal"

    def test_accepted_variations(self, tmp_path):
        text = (
            "c comment\n\n   \t\r\n"
            "  c indented comment\r\n"
            "p\tanything   2  2 2 0 0 1 0 0 5 extra\r\n"
            "x ignored line\n"
            "comment line\n"
            "n 2 +4 002 2\n"
            "a 1 2 0 9 3 4 trailing\n"
            "\n"
            "a\t1\u30002 0 9 3 4\n"
            "n 1 -4 -2 -2\n"
            "a 2 1 0 9 3 4"
        )
        p = load(tmp_path, text)
        assert p.nodes == [2, 1] and p.supplies == {1: -4, 2: 4}
        assert p.commodity_supply_demand_data == {1: [-2, -2], 2: [2, 2]}
        assert p.edges == [(1, 2, 0), (1, 2, 1), (2, 1, 0)] and p.parallel and p.seed == 5

    def test_empty_and_comment_only_files(self, tmp_path):
        for text in ["", "c nothing\n\n"]:
            p = load(tmp_path, text)
            assert (p.num_nodes, p.num_arcs, p.num_commodities, p.method, p.seed) == (0, 0, 0, 0, 0)
            assert not (p.randomized_capacities or p.randomized_weights or p.cap_zero or p.parallel)
            assert same_float(p.cap_zero_param, 0.0)
            for field in ["nodes", "edges", "capacities", "commodity_edges", "start_nodes", "end_nodes",
                          "commodity_bundle_capacities", "topology"]:
                value = getattr(p, field)
                assert (value() if callable(value) else value) == []
            for field in ["supplies", "commodity_supply_demand_data", "commodity_capacities", "commodity_weights",
                          "arc_indices"]:
                assert getattr(p, field) == {}

    def test_later_problem_line_with_the_same_layout_overwrites(self, tmp_path):
        p = load(tmp_path, "p min 1 1 2 1 0 0 0 0 1\na 1 2 0 9 4 5 6\np min 7 8 2 3 0 2 0 0.25 11\n")
        assert (p.num_nodes, p.num_arcs, p.method, p.cap_zero_param, p.seed) == (7, 8, 2, 0.25, 11)
        assert p.commodity_capacities == {(1, 2, 0): [4, 5]}

    def test_arc_lines_longer_than_the_buffer(self, tmp_path):
        k = 3000
        caps, costs = list(range(1, k + 1)), list(range(-k, 0))
        line = "a 5 6 0 9 " + " ".join(map(str, caps)) + "\t" + " ".join(map(str, costs))
        p = load(tmp_path, f"p min 2 2 {k} 1 1 0 0 0 0\n{line}\n{line}")
        assert len(line) > 8192
        assert p.commodity_capacities == {(5, 6, 0): caps, (5, 6, 1): caps}
        assert p.commodity_weights == {(5, 6, 0): costs, (5, 6, 1): costs}

    def test_huge_declared_arc_count_is_a_hint(self, tmp_path):
        for count in [2**63 - 1, -5]:
            p = load(tmp_path, f"p min 1 {count} 1000 0 0 0 0 0 0\na 1 2 0 9 4 6\n")
            assert p.num_arcs == count and p.commodity_weights == {(1, 2, 0): [6] * 1000}


class TestReaderErrors:
    def test_os_errors_are_runtime_errors(self, tmp_path):
        for path, message in [
            (tmp_path / "missing.mcf", "No such file or directory (os error 2)"),
            (tmp_path, "Is a directory (os error 21)"),
            (str(tmp_path / "a\0b"), "file name contained an unexpected NUL byte"),
        ]:
            with pytest.raises(RuntimeError) as info:
                pelmora.load_multi_commodity_instance(str(path))
            assert type(info.value) is RuntimeError and info.value.args == (message,)

    def test_invalid_utf8(self, tmp_path):
        path = tmp_path / "bad.mcf"
        path.write_bytes(b"p min 0 0 1 0 0 0 0 0 0\nc \xe9t\xe9\n")
        with pytest.raises(RuntimeError, match="^stream did not contain valid UTF-8$"):
            pelmora.load_multi_commodity_instance(str(path))

    @pytest.mark.parametrize("line", ["n x 1", "n 1 x", "n 1 1 2 x", "a x 2 0 1 1 1", "a 1 x 0 1 1 1", "a 1 2 0 x 1 1",
                                      "a 1 2 0 1 x 1", "a 1 2 0 1 1 x", "p min x 0 1 0 0 0 0 0 0", "p min 0 x 1 0 0 0 0 0 0"])
    def test_integer_messages_at_every_position(self, tmp_path, line):
        head = "" if line.startswith("p") else "p min 0 0 1 0 0 0 0 0 0\n"
        assert load_error(tmp_path, head + line + "\n") == INVALID
        assert load_error(tmp_path, head + line.replace("x", "9" * 20) + "\n") == TOO_LARGE
        assert load_error(tmp_path, head + line.replace("x", "-" + "9" * 20) + "\n") == "number too small to fit in target type"

    @pytest.mark.parametrize("problem,arc,message", [
        ("0 0 0", "a 1 2 0 9", "capacity (token 5)"),
        ("0 0 0", "a 1 2 0 9 4", "cost (token 6)"),
        ("1 0 0", "a 1 2 0 9 4", "capacity of commodity 1 (token 6)"),
        ("1 0 0", "a 1 2 0 9 4 5", "cost (token 7)"),
        ("0 1 0", "a 1 2 0 9 4 6", "cost of commodity 1 (token 7)"),
        ("1 1 0", "a 1 2 0 9 4 5 6", "cost of commodity 1 (token 8)"),
        ("0 0 1", "a 1 2 0 9 4", "capacity of commodity 1 (token 6)"),
        ("0 0 0", "a 1 2 0", "capacity (token 4)"),
        ("0 0 0", "a 1 2", "lower bound (token 3)"),
        ("0 0 0", "a 1", "head (token 2)"),
        ("0 0 0", "a", "tail (token 1)"),
    ])
    def test_short_arc_lines(self, tmp_path, problem, arc, message):
        caps, costs, exclusion = problem.split()
        text = f"c\np min 2 1 2 {caps} {costs} 0 {exclusion} 0 0\n{arc}\n"
        assert load_error(tmp_path, text) == f"line 3: arc line is missing the {message}"

    def test_short_node_and_problem_lines(self, tmp_path):
        assert load_error(tmp_path, "p min 1 1 1 0 0 0 0 0 0\n\nn 5\n") == "line 3: node line is missing the total (token 2)"
        assert load_error(tmp_path, "n\n") == "line 1: node line is missing the node identifier (token 1)"
        for line, message in [
            ("p", "problem type (token 1)"), ("p min", "node count (token 2)"), ("p min 1", "arc count (token 3)"),
            ("p min 1 1", "number of commodities (token 4)"),
            ("p min 1 1 2", "seed (token 10)"), ("p min 1 1 2 0 0 0 0 0", "seed (token 10)"),
        ]:
            assert load_error(tmp_path, line + "\n") == f"line 1: problem line is missing the {message}"
        # earlier tokens are parsed first
        assert load_error(tmp_path, "p min 1 x\n") == INVALID
        assert load_error(tmp_path, "p min 1 1 2 0 0 0 0 x\n") == "line 1: problem line is missing the seed (token 10)"

    def test_arc_line_before_the_problem_line(self, tmp_path):
        assert load_error(tmp_path, "c\na 1 2 0 9 4 6\np min 2 1 1 0 0 0 0 0 0\n") == "line 2: arc line before the problem line"

    def test_problem_line_changing_the_layout_after_arcs(self, tmp_path):
        head = "p min 2 1 2 0 0 0 0 0 0\na 1 2 0 9 4 6\n"
        assert load_error(tmp_path, head + "p min 2 1 3 0 0 0 0 0 0\n") == (
            "line 3: problem line changes the number of commodities from 2 to 3 after arc lines were read")
        for later in ["p min 2 1 2 1 0 0 0 0 0", "p min 2 1 2 0 1 0 0 0 0", "p min 2 1 2 0 0 0 1 0 0"]:
            assert load_error(tmp_path, head + later + "\n") == (
                "line 3: problem line changes the capacity, cost or exclusion flags after arc lines were read")
        # before any arc line the layout may change freely
        p = load(tmp_path, "p min 2 1 5 1 1 0 1 0 0\np min 2 1 1 0 0 0 0 0 0\na 1 2 0 9 4 6\n")
        assert p.num_commodities == 1 and p.commodity_capacities == {(1, 2, 0): [4]}

    def test_absurd_number_of_commodities(self, tmp_path):
        for k in [2**40, U64_MAX]:
            text = f"p min 2 1 {k} 0 0 0 0 0 0\na 1 2 0 9 4 6\n"
            assert load_error(tmp_path, text) == (
                f"line 2: {k} commodities are more than the available memory can hold for 1 arcs")
            # expanded groups fail at the first missing value without allocating K of them
            expanded = f"p min 2 1 {k} 1 1 0 0 0 0\na 1 2 0 9 4 6\n"
            assert load_error(tmp_path, expanded) == (
                f"line 2: {k} commodities are more than the available memory can hold for 1 arcs")


# --------------------------------------------------------------------------------------------
# Round trip: every instance and every generation argument reads back as the format promises.

node_ids = st.one_of(st.integers(-4, 8), st.integers(-(2**63), 2**63 - 1))
fractions = st.one_of(
    st.sampled_from([math.nan, math.inf, -math.inf, -0.0, 1e-7, 1e21, 0.0, 0.5, 0.3, 1.0, 0.999]),
    st.floats(allow_nan=True, allow_infinity=True))


@st.composite
def networks(draw):
    ids = draw(st.lists(node_ids, min_size=1, max_size=8, unique=True))
    pick = st.sampled_from(ids)
    arcs = draw(st.lists(st.tuples(pick, pick, st.integers(-5, 5), st.integers(0, 50), st.integers(-20, 20)), max_size=12))
    arcs += [arcs[i] for i in draw(st.lists(st.integers(0, len(arcs) - 1), max_size=4))] if arcs else []
    arcs = draw(st.permutations(arcs))
    with_supply = draw(st.lists(pick, unique=True, max_size=len(ids)))
    supplies = {n: draw(st.integers(-40, 40)) for n in with_supply}
    declared = (draw(st.integers(-1, 20)), draw(st.integers(-1, 30)))
    lines = [f"p min {declared[0]} {declared[1]}"] + [f"n {n} {s}" for n, s in supplies.items()]
    lines += [f"a {t} {h} {lo} {up} {c}" for t, h, lo, up, c in arcs]
    return lines


generation_args = st.fixed_dictionaries({
    "num_commodities": st.integers(1, 4),
    "method": st.integers(0, 2),
    "randomize_caps": st.booleans(),
    "cap_a": st.floats(0.1, 2.0),
    "cap_b": st.floats(0.1, 2.0),
    "randomize_costs": st.booleans(),
    "cost_a": st.floats(0.1, 2.0),
    "cost_b": st.floats(0.1, 2.0),
    "concentration_param": st.floats(0.5, 10.0),
    "cap_zero": st.booleans(),
    "cap_zero_param": fractions,
    "seed": st.integers(0, U64_MAX),
})


@given(lines=networks(), args=generation_args)
def test_saved_data_reads_back(tmp_path_factory, lines, args):
    tmp = tmp_path_factory.mktemp("round")
    instance = instance_of(tmp, lines)
    data = pelmora.generate_multi_commodity_data(instance, **args)
    path = tmp / "round.mcf"
    pelmora.save_multi_commodity_instance(str(path), instance, data)
    first = path.read_bytes()
    pelmora.save_multi_commodity_instance(str(path), instance, data)
    assert path.read_bytes() == first
    p = pelmora.load_multi_commodity_instance(str(path))

    k = args["num_commodities"]
    arcs = instance.arcs
    partition = data.supply_partition
    assert (p.num_nodes, p.num_arcs, p.num_commodities) == (instance.num_nodes, instance.num_arcs, k)
    assert (p.randomized_capacities, p.randomized_weights, p.cap_zero, p.method) == (
        args["randomize_caps"], args["randomize_costs"], args["cap_zero"], args["method"])
    assert same_float(p.cap_zero_param, args["cap_zero_param"])
    plain_uniform = args["method"] == 1 and not (args["randomize_caps"] or args["randomize_costs"])
    assert p.seed == (0 if plain_uniform else args["seed"])
    assert p.commodity_supply_demand_data == partition
    assert p.supplies == {n: sum(v) for n, v in partition.items()}
    endpoints = [n for t, h, _ in arcs for n in (t, h)]
    assert p.nodes == list(dict.fromkeys(sorted(partition) + endpoints))
    assert p.edges == arcs and p.capacities == instance.capacities
    assert p.start_nodes == [a[0] for a in arcs] and p.end_nodes == [a[1] for a in arcs]
    assert p.arc_indices == instance.arc_indices and p.parallel == instance.parallel
    assert p.commodity_capacities == data.commodity_capacities
    assert p.commodity_weights == data.commodity_weights
    assert p.commodity_edges == sorted(data.commodity_edges, key=lambda e: e[0])
    by_arc = data.capacities_by_arc
    assert p.commodity_bundle_capacities == [by_arc[a][c] for c in range(k) for a in range(len(arcs))]
