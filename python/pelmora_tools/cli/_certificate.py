"""The feasible mode's runs and the certificate that ``generate`` writes and ``info --check`` and
``solve`` verify: imported when a command runs, with NumPy and the solvers behind it."""

from __future__ import annotations

import math
import os
from typing import Any

import numpy as np

import pelmora

from .._mcf_file import Problem
from .._min_cost_flow import flow_problem
from ..arrays import DataSetArrays, Int64Array, arrays_from_min, as_int64
from ..feasible import FeasibleDataSet, NoFeasibleFlow, verify_certificate
from ._feasible import DEFAULT_COSTS
from ._inputs import read_data_set
from ._status import Failure, Status, about


def generated(make: Any) -> FeasibleDataSet:
    """Runs a feasible generation, its refusals mapped to the command's statuses: an instance
    without a feasible flow ends with status 1, a bad parameter or total with status 2."""
    try:
        return make()  # type: ignore[no-any-return]
    except NoFeasibleFlow as error:
        raise Failure(str(error), Status.NO_OPTIMUM) from error
    except ValueError as error:
        raise Failure(str(error)) from error


def refuse_unsolvable(instance: pelmora.NetworkInstance) -> None:
    """Supplies that do not balance, or totals past 2^63 - 1, refused before a sweep starts: every
    data set of the network would fail alike."""
    single = arrays_from_min(instance)
    try:
        flow_problem(single.node_ids, single.tails, single.heads, single.low, as_int64(single.up),
                     as_int64(single.costs[:, 0]), as_int64(single.supplies[:, 0]))
    except NoFeasibleFlow as error:
        raise Failure(str(error), Status.NO_OPTIMUM) from error
    except ValueError as error:
        raise Failure(str(error)) from error


def report(made: FeasibleDataSet, costs: tuple[float, float] | None) -> str:
    """What ``generate --feasible`` says about the data set it wrote, ``costs`` the multipliers used."""
    lines = [f"certificate cost  {made.cost} (bounds the optimum from above)"]
    if costs == DEFAULT_COSTS:
        lines.append(f"costs             randomised per commodity in [{costs[0]}, {costs[1]}) x cost (the default; "
                     "--keep-costs keeps the instance's own)")
    if made.requested:
        short = made.closed < made.requested
        lines.append(f"closed pairs      {made.closed} of {made.requested} asked for"
                     + (" (only so many carry no certified flow)" if short else ""))
    if made.optimal:
        lines.append("solved by construction: costs are not randomised and the certificate costs the "
                     "single-commodity optimum, so it is an optimum")
    return "\n".join(lines)


def read_certificate(path: str, arrays: DataSetArrays) -> Int64Array:
    """An int64 .npy of shape (arcs, K); its header's shape is checked against the file's size
    before anything is allocated."""
    with about(path), open(path, "rb") as handle:
        try:
            version = np.lib.format.read_magic(handle)
            read_header = np.lib.format.read_array_header_1_0 if version == (1, 0) else np.lib.format.read_array_header_2_0
            shape, fortran, dtype = read_header(handle)
        except (ValueError, EOFError) as error:
            raise Failure(f"{path}: not a NumPy .npy file ({error})") from error
        expected = (arrays.num_arcs, arrays.num_commodities)
        if dtype != np.dtype(np.int64) or tuple(shape) != expected:
            raise Failure(f"{path}: the certificate must be int64 of shape {expected}, got {dtype} {tuple(shape)}")
        left, wanted = os.fstat(handle.fileno()).st_size - handle.tell(), math.prod(expected) * 8
        if left < wanted:
            raise Failure(f"{path}: cut short")
        if left > wanted:
            raise Failure(f"{path}: {left - wanted} byte(s) after the certificate's array: not a .npy file of one array")
        values = np.fromfile(handle, dtype=np.int64, count=math.prod(expected))
    return values.reshape(expected, order="F" if fortran else "C")


# Values of an (arcs, K) array multiplied at a time: the cost costs a block, not a copy of each array.
_BLOCK_VALUES = 1 << 20


def _largest(values: Int64Array) -> float:
    """The largest magnitude (np.abs would wrap -2^63 around)."""
    return max(abs(float(values.min())), abs(float(values.max())))


def _cost(certificate: Int64Array, costs: Int64Array) -> int:
    """The certificate's cost, exactly: each block of arcs in int64 where its terms cannot pass 2^62
    together, else as Python integers."""
    total = 0
    rows = max(1, _BLOCK_VALUES // max(1, certificate.shape[1]))
    for start in range(0, certificate.shape[0], rows):
        x, c = certificate[start : start + rows], costs[start : start + rows]
        if x.size == 0:
            continue
        bound = _largest(x) * _largest(c) * x.size
        total += int(np.vdot(x, c)) if bound < 2.0**62 else int((x.astype(object) * c.astype(object)).sum())
    return total


def certificate_json(certified: tuple[int, str]) -> dict[str, Any]:
    """The ``certificate`` object of ``--json``: feasible (a failing one is refused) and its cost."""
    return {"feasible": True, "cost": certified[0]}


def read_with_certificate(
    path: str, certificate: str | None
) -> tuple[Problem | None, DataSetArrays, tuple[int, str] | None]:
    """The data set a command reads (``info``, ``solve``), and its certificate verified if one is given."""
    problem, arrays = read_data_set(path)
    if certificate and not arrays.is_integral:
        raise Failure(f"{certificate}: a certificate is an integer flow; {path} holds decimals or unbounded values")
    return problem, arrays, verify(certificate, arrays) if certificate else None


def verify(path: str, arrays: DataSetArrays) -> tuple[int, str]:
    """The certificate's cost and a line saying it is feasible; a failing one is a Failure."""
    certificate = read_certificate(path, arrays)
    failure = verify_certificate(arrays, certificate)
    if failure is not None:
        raise Failure(f"{path}: the certificate fails ({failure})", Status.NO_OPTIMUM)
    cost = _cost(certificate, arrays.costs.astype(np.int64, copy=False))  # integral: read_with_certificate
    return cost, f"certificate     feasible (conservation, per-commodity and mutual bounds), cost {cost}"
