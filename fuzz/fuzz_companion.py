"""Python-level fuzz target: the companion package's file paths on any bytes taken as a file, as
the ``pelmora`` command runs them: ``load_arrays``, ``pelmora info`` (the data set read as the
command reads it, its description, its text and its JSON) and the exports (``export_mnetgen``;
``write_model`` to MPS when highspy is installed). atheris (libFuzzer's engine driving CPython, coverage from the package's bytecode)
mutates the inputs; fuzz/run.py runs it beside the native targets with the same options.

    python fuzz/fuzz_companion.py [libFuzzer options] [corpus directories]

Every call must give a result or raise RuntimeError, OSError or ValueError (or the command line's
Failure) with a one-line message: any other exception, a crash, a timeout or memory past the limit
is a finding. A result must hold together: the arrays pass ``DataSetArrays.validate()`` and name
the nodes and K that one of the module's own readers finds in the file; the command reads the same
arrays; the description gives K and one supply and closed-arc count per commodity, renders as text
and is strict JSON; the mnetgen files, read back by the reader below (written from
docs/format.md), hold the arrays; HiGHS reads the MPS file back with one column per arc and
commodity. Files declaring more than 1024 commodities are skipped, as by the native targets.

The arrays also go to ``verify_certificate`` with two certificates (all zeros, and each capacity
clamped at 0): its verdict must be the one a plain check by hand gives; and with one column a row
short, or its native ``verify`` with one column a value short, it must refuse in one line.
"""

from __future__ import annotations

import io
import json
import os
import re
import sys
import tempfile
from pathlib import Path
from typing import Any

import atheris

with atheris.instrument_imports():
    import numpy as np

    import pelmora
    import pelmora_tools as pt
    from pelmora_tools import _native
    from pelmora_tools.cli._inputs import read_data_set
    from pelmora_tools.cli._output import write_json
    from pelmora_tools.cli._status import Failure
    from pelmora_tools.cli.info import render
    from pelmora_tools.summary import describe

try:
    import highspy
except ModuleNotFoundError:
    highspy = None

# Where the input and the exports are written: FUZZ_WORK (fuzz/run.py gives one directory in the
# build tree, reused by every run, since libFuzzer's exit skips the interpreter's clean-up), else a
# new temporary directory.
WORK = Path(os.environ.get("FUZZ_WORK") or tempfile.mkdtemp(prefix="fuzz_companion."))
WORK.mkdir(parents=True, exist_ok=True)
FILE = WORK / "input"
REFUSALS = (RuntimeError, OSError, ValueError, Failure)
K_LIMIT = 1024
LP_LIMIT = 5_000  # arcs x commodities written as MPS and read back


def declares_huge_k(data: bytes) -> bool:
    """Whether a problem line names more than K_LIMIT commodities (tokens split as the readers do)."""
    for line in data.decode("utf-8", "replace").splitlines():
        tokens = line.split()
        if len(tokens) > 4 and tokens[0] == "p":
            try:
                if abs(int(tokens[4])) > K_LIMIT:
                    return True
            except ValueError:
                pass
    return False


def refused(call: Any) -> tuple[bool, Any]:
    """(False, result), or (True, None) for a refusal in one line; anything else propagates."""
    try:
        return False, call()
    except REFUSALS as error:
        message = str(error)
        if not message or "\n" in message:
            raise AssertionError(f"{type(error).__name__} without a one-line message: {message!r}") from error
        return True, None


def module_views(path: str) -> list[tuple[list[int], int]]:
    """(sorted node ids, K) as each of the module's readers that accepts the file sees it."""
    views = []
    failed, parsed = refused(lambda: pelmora.load_multi_commodity_instance(path))
    if not failed:
        views.append((sorted(parsed.nodes), parsed.num_commodities))
    failed, instance = refused(lambda: pelmora.load_min_instance(path))
    if not failed:
        views.append((sorted(instance.nodes), 1))
    return views


def mnetgen_rows(prefix: Path, suffix: str, fields: int) -> list[list[int]]:
    text = prefix.with_name(prefix.name + suffix).read_text()
    assert re.fullmatch(r"(-?\d+(\t-?\d+)*\n)*", text), suffix
    rows = [[int(cell) for cell in line.split("\t")] for line in text.splitlines()]
    assert all(len(row) == fields for row in rows), suffix
    return rows


def check_mnetgen(arrays: pt.DataSetArrays, prefix: Path, mapping: Any) -> None:
    assert np.array_equal(mapping, arrays.node_ids)
    k, n, m = arrays.num_commodities, arrays.num_nodes, arrays.num_arcs
    open_arcs = np.flatnonzero((arrays.capacities > 0).any(axis=1)).tolist()
    assert [row[0] for row in mnetgen_rows(prefix, ".nod", 1)] == [k, n, m, len(open_arcs)]
    assert mnetgen_rows(prefix, ".mut", 2) == [[p + 1, int(arrays.up[a])] for p, a in enumerate(open_arcs)]
    pointer = {a: p + 1 for p, a in enumerate(open_arcs)}
    number = {int(node): i + 1 for i, node in enumerate(arrays.node_ids)}
    want = [[a + 1, number[int(arrays.tails[a])], number[int(arrays.heads[a])], j + 1, int(arrays.costs[a, j]),
             int(arrays.capacities[a, j]), pointer[a]] for a, j in np.argwhere(arrays.capacities > 0).tolist()]
    assert mnetgen_rows(prefix, ".arc", 7) == want
    supplies = [[i + 1, j + 1, int(arrays.supplies[i, j])] for i, j in np.argwhere(arrays.supplies != 0).tolist()]
    assert mnetgen_rows(prefix, ".sup", 3) == supplies


def check_mps(arrays: pt.DataSetArrays, path: Path) -> None:
    highs = highspy.Highs()
    highs.setOptionValue("output_flag", False)
    assert highs.readModel(str(path)) != highspy.HighsStatus.kError
    assert highs.getLp().num_col_ == arrays.num_arcs * arrays.num_commodities


def feasible_by_hand(arrays: pt.DataSetArrays, certificate: Any) -> bool:
    """Whether the certificate meets every bound and conserves every supply, in Python integers."""
    row = {node: i for i, node in enumerate(arrays.node_ids.tolist())}
    balance = [[0] * arrays.num_commodities for _ in row]
    ends = zip(arrays.tails.tolist(), arrays.heads.tolist(), arrays.low.tolist(), arrays.up.tolist(), strict=True)
    for a, (tail, head, low, up) in enumerate(ends):
        flows = certificate[a].tolist()
        if any(not 0 <= f <= c for f, c in zip(flows, arrays.capacities[a].tolist(), strict=True)):
            return False
        if not low <= sum(flows) <= up:
            return False
        for j, f in enumerate(flows):
            balance[row[tail]][j] += f
            balance[row[head]][j] -= f
    return balance == arrays.supplies.tolist()


COLUMNS = ("node_ids", "tails", "heads", "low", "up", "costs", "capacities", "supplies")


def check_certificates(arrays: pt.DataSetArrays) -> None:
    for certificate in (np.zeros_like(arrays.capacities), np.maximum(arrays.capacities, 0)):
        failed, verdict = refused(lambda c=certificate: pt.verify_certificate(arrays, c))
        assert not failed and (verdict is None) == feasible_by_hand(arrays, certificate), verdict
        fields = {name: getattr(arrays, name) for name in COLUMNS}
        for name in ("heads", "low", "up", "capacities", "supplies"):
            if fields[name].shape[0]:
                short = pt.DataSetArrays(**{**fields, name: fields[name][:-1]})
                assert refused(lambda s=short, c=certificate: pt.verify_certificate(s, c))[0], name
        columns = [np.ascontiguousarray(fields[name]).ravel() for name in COLUMNS if name != "costs"]
        for i in range(2, len(columns)):
            if columns[i].size:
                cut = [*columns[:i], columns[i][:-1], *columns[i + 1 :]]
                assert refused(lambda c=cut, x=certificate: _native.verify(arrays.num_commodities, *c, x))[0], i


def test_one_input(data: bytes) -> None:
    if declares_huge_k(data):
        return
    FILE.write_bytes(data)
    path = str(FILE)
    failed, arrays = refused(lambda: pt.load_arrays(path))
    if not failed:
        arrays.validate()
        seen = (arrays.node_ids.tolist(), arrays.num_commodities)
        assert seen in module_views(path), "load_arrays disagrees with every module reader"
    failed, read = refused(lambda: read_data_set(path))
    if not failed:
        problem, command_arrays = read
        if arrays is not None:
            for name in ("node_ids", "tails", "heads", "low", "up", "costs", "capacities", "supplies"):
                assert np.array_equal(getattr(command_arrays, name), getattr(arrays, name)), name
        info = describe(path, problem, command_arrays)
        k = command_arrays.num_commodities
        assert info["commodities"] == k and len(info["supply"]) == k and len(info["closed_arcs"]) == k
        assert isinstance(render(info), str)
        text = io.StringIO()
        write_json(text, info)
        json.loads(text.getvalue())  # raises on anything but one strict JSON value
    if arrays is None:
        return
    if arrays.num_arcs * arrays.num_commodities <= LP_LIMIT:
        check_certificates(arrays)
    prefix = WORK / "out"
    failed, mapping = refused(lambda: pt.export_mnetgen(arrays, prefix))
    if failed:
        assert arrays.low.any(), "export_mnetgen refused arrays without lower bounds"
    else:
        check_mnetgen(arrays, prefix, mapping)
    if highspy is not None and 0 < arrays.num_arcs * arrays.num_commodities <= LP_LIMIT:
        mps = WORK / "out.mps"
        failed, _ = refused(lambda: pt.write_model(arrays, mps))
        if not failed:
            check_mps(arrays, mps)


def main() -> None:
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
