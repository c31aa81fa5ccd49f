"""Data sets solvable by construction: the commodities follow one feasible flow of the
single-commodity instance, and that flow, split among them, is the certificate."""

from __future__ import annotations

import math
import os
from dataclasses import dataclass

import numpy as np

import pelmora

from . import _min_cost_flow, _native
from ._min_cost_flow import NoFeasibleFlow
from .arrays import DataSetArrays, Int64Array, _wrap, arrays_from_min, as_int64
from .methods import by_name

__all__ = ["FeasibleDataSet", "NoFeasibleFlow", "generate_feasible", "verify_certificate"]


@dataclass(frozen=True)
class FeasibleDataSet:
    """A feasible-mode data set, its certificate and what the generation did."""

    arrays: DataSetArrays
    certificate: Int64Array  # (m, K): commodity k's flow on arc a, arcs in the file's order
    cost: int  # the certificate's cost: an upper bound on the optimum
    closed: int  # (arc, commodity) pairs closed
    requested: int  # pairs the closing fraction asked for
    optimal: bool  # the certificate is an optimum (see generate_feasible)
    _result: object

    def save(self, path: str | os.PathLike[str]) -> None:
        """Writes the multicommodity file (what ``pelmora.load_multi_commodity_instance`` reads), with
        the costs and capacities ``arrays`` holds now."""
        costs, capacities = (
            np.ascontiguousarray(a, dtype=np.int64) for a in (self.arrays.costs, self.arrays.capacities)
        )
        _native.save_feasible(self._result, os.fspath(path), costs, capacities)

    def save_certificate(self, path: str | os.PathLike[str]) -> None:
        """Writes the certificate as a NumPy ``.npy`` file (int64, arcs x commodities) under exactly
        the name given (``np.save`` would add ``.npy`` to a name without it)."""
        with open(path, "wb") as handle:
            np.save(handle, self.certificate, allow_pickle=False)


def _check(num_commodities: int, method: str, close: float | None, concentration: float, tightness: float) -> None:
    if num_commodities < 1:
        raise ValueError(f"the number of commodities must be at least 1, got {num_commodities}")
    by_name(method)
    if not (math.isfinite(concentration) and concentration > 0):
        raise ValueError(f"the concentration must be a finite number above zero, got {concentration}")
    if close is not None and not 0 <= close < 1:
        raise ValueError(f"the closing fraction must lie in [0, 1), got {close}")
    if not 0 <= tightness <= 1:
        raise ValueError(f"the tightness must lie in [0, 1], got {tightness}")


def generate_feasible(
    instance: pelmora.NetworkInstance,
    num_commodities: int,
    method: str,
    *,
    seed: int = 42,
    caps: tuple[float, float] | None = None,
    costs: tuple[float, float] | None = None,
    close: float | None = None,
    concentration: float = 3.0,
    tightness: float = 0.0,
    solver: str = "ortools",
) -> FeasibleDataSet:
    """A data set whose commodities follow a feasible flow of ``instance``.

    Parameters
    ----------
    instance
        The single-commodity network.
    num_commodities
        K, at least 1.
    method
        How each supply node's supply is shared among the commodities: ``"spread"``,
        ``"uniform"`` or ``"beta-binomial"`` (the module's cuts, drawn from its streams).
    seed
        Seeds the shares, the cost and capacity draws (the module's own for that seed) and the
        closing.
    caps, costs
        Multipliers (a, b) to randomise per-commodity capacities and costs as the module does;
        capacities are then raised to the commodity's certified flow.
    close
        Fraction of the (arc, commodity) pairs to close, chosen among pairs without certified flow.
    concentration
        The beta-binomial split's concentration.
    tightness
        In [0, 1]: lowers the mutual capacity of every arc the certificate uses toward its
        certified total (1: exactly that total).
    solver
        ``"ortools"`` (needs ``pelmora[feasible]``) or ``"networkx"`` (slow; a second solver to
        check that the result does not depend on the solver).

    Returns
    -------
    FeasibleDataSet
        The arrays, the certificate, its cost, the pairs closed, and ``optimal``: true when the
        costs were not randomised and no cycle of the flow was cancelled, so the certificate
        costs the single-commodity optimum, which bounds every multicommodity flow from below.

    Raises
    ------
    ValueError
        A parameter out of range, supplies that do not balance, totals past 2^63 - 1.
    NoFeasibleFlow
        The instance itself has no feasible flow.
    """
    _check(num_commodities, method, close, concentration, tightness)
    single = arrays_from_min(instance)
    problem = _min_cost_flow.flow_problem(
        single.node_ids, single.tails, single.heads, single.low, as_int64(single.up), as_int64(single.costs[:, 0]),
        as_int64(single.supplies[:, 0]),
    )
    flow = _min_cost_flow.feasible_flow(problem, solver)
    cap_a, cap_b = caps if caps is not None else (0.8, 1.0)
    cost_a, cost_b = costs if costs is not None else (0.8, 1.2)
    result, columns, certificate, cost, closed, requested = _native.feasible(
        instance,
        flow,
        num_commodities,
        by_name(method).number,
        seed,
        concentration,
        caps is not None,
        cap_a,
        cap_b,
        costs is not None,
        cost_a,
        cost_b,
        close or 0.0,
        tightness,
    )
    arrays = _wrap(columns)
    flow_cost = int(np.dot(single.costs[:, 0].astype(object), flow.astype(object))) if costs is None else None
    return FeasibleDataSet(
        arrays,
        np.frombuffer(certificate, dtype=np.int64).reshape(arrays.num_arcs, num_commodities),
        cost,
        closed,
        requested,
        flow_cost == cost,
        result,
    )


def verify_certificate(arrays: DataSetArrays, certificate: Int64Array) -> str | None:
    """Checks in one pass that ``certificate`` (arcs x commodities) is a feasible flow of the data
    set: per-commodity bounds, mutual bounds, conservation. Returns ``None`` when it is, else one
    line saying which check fails first and where.

    Raises
    ------
    ValueError
        For arrays that do not form one data set (``DataSetArrays.validate``).
    """
    arrays.validate()
    if not isinstance(certificate, np.ndarray):
        return f"type: the certificate is a {type(certificate).__name__}, not a NumPy array"
    if certificate.dtype != np.int64:
        return f"dtype: the certificate holds {certificate.dtype}, not int64"
    if certificate.shape != arrays.capacities.shape:
        return f"shape: the certificate is {certificate.shape}, the data set has {arrays.capacities.shape}"
    failure = _native.verify(
        arrays.num_commodities,
        arrays.node_ids,
        arrays.tails,
        arrays.heads,
        arrays.low,
        arrays.up,
        np.ascontiguousarray(arrays.capacities),
        np.ascontiguousarray(arrays.supplies),
        np.ascontiguousarray(certificate, dtype=np.int64),
    )
    return failure or None
