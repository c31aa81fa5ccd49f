"""The multi-commodity file's writer: save_multi_commodity_instance writes it byte for byte, shows
the exclusion fraction as the reader takes it back, and reports the operating system's errors."""

from __future__ import annotations

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest
from hypothesis import given
from hypothesis import strategies as st

import pelmora

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "bench"))
# The benchmark's plain-Python writer formats the fraction with this too, which keeps it honest.
from common import float_text  # noqa: E402
from mcf_support import (
    HEADER,
    NET,
    U64_MAX,
    instance_of,
    load,
    same_float,
    save_error,
    saved,
)

# --------------------------------------------------------------------------------------------
# Writer: whole files worked out by hand.


# (generation arguments, expected file after the header) for NET. Multipliers with a == b make
# no random draw: each capacity is max(1, ceil(0.5 * up)), each cost ceil(2 * cost).
HALF_CAPS = {"randomize_caps": True, "cap_a": 0.5, "cap_b": 0.5}
DOUBLE_COSTS = {"randomize_costs": True, "cost_a": 2.0, "cost_b": 2.0}
WRITTEN = {
    "compressed groups, seed written as 0": (
        {"num_commodities": 2, "seed": 99},
        "p min 4 3 2 0 0 1 0 0 0\nn 1 6 3 3\nn 4 -6 -3 -3\n"
        "a 1 2 0 10 10 3\na 2 4 1 8 8 5\na 1 4 0 6 6 9\n"),
    "expanded capacities keep the seed": (
        {"num_commodities": 3, "seed": 42, **HALF_CAPS},
        "p min 4 3 3 1 0 1 0 0 42\nn 1 6 2 2 2\nn 4 -6 -2 -2 -2\n"
        "a 1 2 0 10 5 5 5 3\na 2 4 1 8 4 4 4 5\na 1 4 0 6 3 3 3 9\n"),
    "expanded costs keep the seed": (
        {"num_commodities": 2, "seed": 7, **DOUBLE_COSTS},
        "p min 4 3 2 0 1 1 0 0 7\nn 1 6 3 3\nn 4 -6 -3 -3\n"
        "a 1 2 0 10 10 6 6\na 2 4 1 8 8 10 10\na 1 4 0 6 6 18 18\n"),
    "both groups expanded": (
        {"num_commodities": 2, "seed": U64_MAX, **HALF_CAPS, **DOUBLE_COSTS},
        f"p min 4 3 2 1 1 1 0 0 {U64_MAX}\nn 1 6 3 3\nn 4 -6 -3 -3\n"
        "a 1 2 0 10 5 5 6 6\na 2 4 1 8 4 4 10 10\na 1 4 0 6 3 3 18 18\n"),
}


class TestWrittenBytes:
    @pytest.mark.parametrize("case", list(WRITTEN))
    def test_uniform_split_files(self, tmp_path, case):
        args, body = WRITTEN[case]
        instance = instance_of(tmp_path, NET)
        data = pelmora.generate_multi_commodity_data(instance, method=1, **args)
        assert saved(tmp_path, instance, data) == HEADER + body

    def test_exclusion_expands_capacities_only(self, tmp_path):
        # m = 4, K = 3, p = 0.5: commodity 0 loses arcs 0 and 2, commodity 1 arcs 1 and 3,
        # commodity 2 arcs 2 and 0; no arc loses all three, so nothing is restored.
        instance = instance_of(tmp_path, NET + ["a 4 1 0 2 1"])
        data = pelmora.generate_multi_commodity_data(instance, 3, 1, cap_zero=True, cap_zero_param=0.5, seed=5)
        assert saved(tmp_path, instance, data) == HEADER + (
            "p min 4 3 3 0 0 1 1 0.5 0\n"
            "n 1 6 2 2 2\n"
            "n 4 -6 -2 -2 -2\n"
            "a 1 2 0 10 0 10 0 3\n"
            "a 2 4 1 8 8 0 8 5\n"
            "a 1 4 0 6 0 6 0 9\n"
            "a 4 1 0 2 2 0 2 1\n"
        )

    def test_negative_identifiers_and_numeric_node_order(self, tmp_path):
        instance = instance_of(tmp_path, ["p min 3 -2", "n 10 2", "n -5 -4", "n 2 2", "a -5 10 -3 7 -2"])
        data = pelmora.generate_multi_commodity_data(instance, 1, 1)
        assert saved(tmp_path, instance, data) == HEADER + (
            "p min 3 -2 1 0 0 1 0 0 0\n"
            "n -5 -4 -4\n"
            "n 2 2 2\n"
            "n 10 2 2\n"
            "a -5 10 -3 7 7 -2\n"
        )

    def test_smallest_file(self, tmp_path):
        instance = instance_of(tmp_path, [])
        data = pelmora.generate_multi_commodity_data(instance, 1, 1)
        assert saved(tmp_path, instance, data) == HEADER + "p min 0 0 1 0 0 1 0 0 0\n"

    def test_node_without_arcs_and_arcs_without_nodes(self, tmp_path):
        instance = instance_of(tmp_path, ["n 9 0", "a 1 1 0 3 4"])
        data = pelmora.generate_multi_commodity_data(instance, 2, 1)
        assert saved(tmp_path, instance, data) == HEADER + "p min 0 0 2 0 0 1 0 0 0\nn 9 0 0 0\na 1 1 0 3 3 4\n"

    def test_spread_method_tokens(self, tmp_path):
        instance = instance_of(tmp_path, NET)
        data = pelmora.generate_multi_commodity_data(instance, 3, 0, randomize_caps=True, seed=42)
        lines = saved(tmp_path, instance, data).splitlines()
        assert lines[1].split()[4:] == ["3", "1", "0", "0", "0", "0", "42"]
        partition = data.supply_partition
        assert lines[2:4] == [f"n {n} {sum(v)} " + " ".join(map(str, v)) for n, v in partition.items()]
        arcs = [line.split() for line in lines[4:]]
        assert [len(a) for a in arcs] == [9, 9, 9]
        by_arc = data.capacities_by_arc
        assert [list(map(int, a[5:8])) for a in arcs] == [by_arc[p] for p in range(3)]
        assert [int(a[8]) for a in arcs] == [3, 5, 9]

    def test_only_the_instance_arcs_are_written(self, tmp_path):
        # A data set for more arcs than the instance holds: the extra entries are ignored.
        bigger = instance_of(tmp_path, NET + ["a 4 1 0 2 1"])
        data = pelmora.generate_multi_commodity_data(bigger, 2, 1)
        instance = instance_of(tmp_path, NET)
        assert saved(tmp_path, instance, data).count("\na ") == 3


FLOAT_TEXTS = [
    (0.0, "0"), (1.0, "1"), (0.25, "0.25"), (0.1, "0.1"), (0.05, "0.05"), (-0.0, "-0"), (1e-7, "0.0000001"),
    (1e21, "1" + "0" * 21), (1e23, "1" + "0" * 23), (0.1 + 0.2, "0.30000000000000004"), (123456.789, "123456.789"),
    (-2.5, "-2.5"), (5e-324, "0." + "0" * 323 + "5"), (1.7976931348623157e308, "17976931348623157" + "0" * 292),
    (float("nan"), "NaN"), (float("inf"), "inf"), (float("-inf"), "-inf"),
]


class TestFloatDisplay:
    @pytest.mark.parametrize("value,text", FLOAT_TEXTS)
    def test_exclusion_fraction_text(self, tmp_path, value, text):
        instance = instance_of(tmp_path, NET)
        data = pelmora.generate_multi_commodity_data(instance, 1, 1, cap_zero_param=value)
        problem = saved(tmp_path, instance, data).splitlines()[1]
        assert problem == f"p min 4 3 1 0 0 1 0 {text} 0"
        assert float_text(value) == text

    @given(st.floats(allow_nan=True, allow_infinity=True))
    def test_any_fraction_is_positional_shortest_and_reads_back(self, tmp_path_factory, value):
        tmp = tmp_path_factory.mktemp("float")
        instance = instance_of(tmp, ["a 1 2 0 1 1"])
        data = pelmora.generate_multi_commodity_data(instance, 1, 1, cap_zero_param=value)
        text = saved(tmp, instance, data).splitlines()[1].split()[9]
        assert text == float_text(value)
        assert re.fullmatch(r"NaN|-?inf|-?\d+(\.\d+)?", text)
        assert same_float(load(tmp, saved(tmp, instance, data)).cap_zero_param, value)


class TestWriterFiles:
    def test_writing_twice_gives_identical_bytes_and_replaces_longer_files(self, tmp_path):
        instance = instance_of(tmp_path, NET)
        data = pelmora.generate_multi_commodity_data(instance, 3, 2, randomize_caps=True, randomize_costs=True)
        path = tmp_path / "out.mcf"
        path.write_text("x" * 100000)
        pelmora.save_multi_commodity_instance(str(path), instance, data)
        first = path.read_bytes()
        pelmora.save_multi_commodity_instance(str(path), instance, data)
        assert path.read_bytes() == first and first.startswith(HEADER.encode()) and len(first) < 1000
        assert oct(path.stat().st_mode & 0o777) == oct(0o666 & ~current_umask())

    def test_large_files_stream_through_the_buffer(self, tmp_path):
        lines = ["p min 300 5000"] + [f"a {i % 300} {(i * 7) % 300} 0 {i} {i % 13}" for i in range(5000)]
        instance = instance_of(tmp_path, lines)
        data = pelmora.generate_multi_commodity_data(instance, 7, 0, randomize_caps=True, randomize_costs=True)
        text = saved(tmp_path, instance, data)
        arcs = [list(map(int, line.split()[5:])) for line in text.splitlines()[2:]]
        capacities, weights = data.capacities_by_arc, data.weights_by_arc  # each read builds the whole map
        assert arcs == [capacities[p] + weights[p] for p in range(5000)]

    def test_lines_longer_than_the_buffer(self, tmp_path):
        # 2·K values of up to 7 digits per arc line: each line is far longer than 8192 bytes.
        instance = instance_of(tmp_path, ["p min 3 2", "n 1 5000000000", "n 3 -5000000000",
                                          "a 1 2 0 9000000 99999", "a 2 3 0 9000000 99999"])
        k = 1500
        data = pelmora.generate_multi_commodity_data(instance, k, 1, randomize_caps=True, randomize_costs=True)
        lines = saved(tmp_path, instance, data).splitlines()
        assert all(len(line) > 8192 for line in lines[2:])
        partition = data.supply_partition
        assert lines[2:4] == [f"n {n} {sum(v)} {' '.join(map(str, v))}" for n, v in partition.items()]
        capacities, weights = data.capacities_by_arc, data.weights_by_arc
        assert lines[4:] == [f"a {t} {h} 0 9000000 {' '.join(map(str, capacities[p] + weights[p]))}"
                             for p, (t, h, _) in enumerate(instance.arcs)]

    @given(arcs=st.lists(st.tuples(*[st.integers(-2**63, 2**63 - 1)] * 5), min_size=1, max_size=6))
    def test_any_64_bit_values_are_written_in_decimal(self, tmp_path_factory, arcs):
        tmp = tmp_path_factory.mktemp("wide")
        instance = instance_of(tmp, [f"a {t} {h} {lo} {up} {c}" for t, h, lo, up, c in arcs])
        data = pelmora.generate_multi_commodity_data(instance, 1, 1)
        lines = saved(tmp, instance, data).splitlines()
        assert lines[2:] == [f"a {t} {h} {lo} {up} {up} {c}" for t, h, lo, up, c in arcs]

    def test_write_failure_after_many_buffers(self, tmp_path):
        # A file size limit fails a write deep into a large file: the error is reported and the
        # bytes before it are those of the complete file.
        lines = ["p min 300 20000"] + [f"a {i % 300} {(i * 7) % 300} 0 {i} {i % 13}" for i in range(20000)]
        instance = instance_of(tmp_path, lines)
        data = pelmora.generate_multi_commodity_data(instance, 7, 0, randomize_caps=True, randomize_costs=True)
        complete = saved(tmp_path, instance, data, "complete.mcf").encode()
        limit = 700_000  # far past the buffers written before the helper thread takes over
        assert len(complete) > limit
        script = f"""
import resource, signal, pelmora
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
instance = pelmora.load_min_instance({str(tmp_path / "net.min")!r})
data = pelmora.generate_multi_commodity_data(instance, 7, 0, randomize_caps=True, randomize_costs=True)
resource.setrlimit(resource.RLIMIT_FSIZE, ({limit}, {limit}))
try:
    pelmora.save_multi_commodity_instance({str(tmp_path / "cut.mcf")!r}, instance, data)
except OSError as error:
    print(type(error).__name__, error.args)
"""
        done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
        assert done.returncode == 0, done.stderr
        assert done.stdout == "OSError ('File too large (os error 27)',)\n"
        assert (tmp_path / "cut.mcf").read_bytes() == complete[:limit]

    @pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
    def test_full_device(self, tmp_path):
        instance = instance_of(tmp_path, NET)
        data = pelmora.generate_multi_commodity_data(instance, 2, 1)
        assert save_error("/dev/full", instance, data) == "No space left on device (os error 28)"

    def test_os_errors(self, tmp_path):
        instance = instance_of(tmp_path, NET)
        data = pelmora.generate_multi_commodity_data(instance, 2, 1)
        assert save_error(tmp_path, instance, data) == "Is a directory (os error 21)"
        assert save_error(tmp_path / "no" / "x.mcf", instance, data) == "No such file or directory (os error 2)"
        assert save_error(tmp_path / "a\0b", instance, data) == "file name contained an unexpected NUL byte"
        assert not list(tmp_path.glob("a*"))

    @pytest.mark.skipif(os.geteuid() == 0, reason="root writes files whatever their permission bits")
    def test_permission_denied(self, tmp_path):
        instance = instance_of(tmp_path, NET)
        data = pelmora.generate_multi_commodity_data(instance, 2, 1)
        target = tmp_path / "ro.mcf"
        target.write_text("")
        target.chmod(0o444)
        assert save_error(target, instance, data) == "Permission denied (os error 13)"

    def test_data_set_for_fewer_arcs_is_refused_before_the_file_is_touched(self, tmp_path):
        small = instance_of(tmp_path, NET)
        data = pelmora.generate_multi_commodity_data(small, 2, 1)
        bigger = instance_of(tmp_path, NET + ["a 4 1 0 2 1"])
        existing = tmp_path / "keep.mcf"
        existing.write_text("previous content\n")
        message = save_error(existing, bigger, data, ValueError)
        assert message == "data set does not fit the network: it holds capacities and costs for 3 arcs, the network has 4"
        assert existing.read_text() == "previous content\n"
        save_error(tmp_path / "new.mcf", bigger, data, ValueError)
        assert not (tmp_path / "new.mcf").exists()

    def test_zero_commodities(self, tmp_path):
        # Without commodities a compressed group has no value to write; expanded groups are empty.
        instance = instance_of(tmp_path, ["p min 2 1", "a 1 2 0 10 3"])
        data = pelmora.generate_multi_commodity_data(instance, 0, 1)
        target = tmp_path / "keep.mcf"
        target.write_text("kept")
        assert save_error(target, instance, data, ValueError) == (
            "data set does not fit the network: with 0 commodities the compressed capacity group has no value to write")
        data = pelmora.generate_multi_commodity_data(instance, 0, 1, randomize_caps=True)
        assert save_error(target, instance, data, ValueError) == (
            "data set does not fit the network: with 0 commodities the compressed cost group has no value to write")
        assert target.read_text() == "kept"
        data = pelmora.generate_multi_commodity_data(instance, 0, 1, randomize_caps=True, randomize_costs=True, seed=3)
        text = saved(tmp_path, instance, data)
        assert text == HEADER + "p min 2 1 0 1 1 1 0 0 3\na 1 2 0 10  \n"
        parsed = load(tmp_path, text)
        assert parsed.num_commodities == 0 and parsed.edges == [(1, 2, 0)] and parsed.commodity_capacities == {(1, 2, 0): []}
        # no arcs at all: nothing to refuse
        empty = instance_of(tmp_path, ["p min 0 0"])
        assert saved(tmp_path, empty, pelmora.generate_multi_commodity_data(empty, 0, 1)) == HEADER + "p min 0 0 0 0 0 1 0 0 0\n"


def current_umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask
