"""Data sets solvable by construction: the commodities follow one feasible flow of the
single-commodity instance, and that flow, split among them, is the certificate."""

from __future__ import annotations

import os
from collections.abc import Callable
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
    congestion: float = 0.0,
    solver: str = "ortools",
    on_stage: Callable[[str], None] | None = None,
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
    congestion
        In [0, 1]: makes a seeded share C/2 of the arcs the certificate uses hot, for every
        commodity cheaper by the fraction C of its cost, with the mutual capacity at the certified
        total and each commodity's capacity at least the arc's own ``up`` (unless ``close``
        closes the pair): routed alone, every
        commodity would crowd them, together they cannot, so the bundle rows bind (see
        ``coupling``). 0 leaves the data set as it is without the knob. The certificate stays
        feasible; ``optimal`` stays true only while no arc is hot.
    solver
        ``"ortools"`` (needs ``pelmora[feasible]``) or ``"networkx"`` (slow; a second solver to
        check that the result does not depend on the solver).
    on_stage
        Called with the name of each long stage as it begins (the flow's solve, then the
        decomposition and split), for a progress display.

    Returns
    -------
    FeasibleDataSet
        The arrays, the certificate, its cost, the pairs closed, and ``optimal``: true when the
        costs were not randomised and the certificate costs what the single-commodity optimum
        costs (the flow is proven optimal, and its negative-cost cycles are kept in the
        certificate), which bounds every multicommodity flow from below. It is never said
        without that proof: with randomised costs it is false.

    Raises
    ------
    ValueError
        A parameter out of range, supplies that do not balance, totals past 2^63 - 1.
    NoFeasibleFlow
        The instance itself has no feasible flow.
    """
    cap_a, cap_b = caps if caps is not None else (0.8, 1.0)
    cost_a, cost_b = costs if costs is not None else (0.8, 1.2)
    # Checked here, before the flow is solved.
    options = _native.feasible_options(
        num_commodities,
        by_name(method).number,
        seed=seed,
        concentration=concentration,
        randomize_caps=caps is not None,
        cap_a=cap_a,
        cap_b=cap_b,
        randomize_costs=costs is not None,
        cost_a=cost_a,
        cost_b=cost_b,
        close=close or 0.0,
        tightness=tightness,
        congestion=congestion,
    )
    single = arrays_from_min(instance)
    problem = _min_cost_flow.flow_problem(
        single.node_ids, single.tails, single.heads, single.low, as_int64(single.up), as_int64(single.costs[:, 0]),
        as_int64(single.supplies[:, 0]),
    )
    if on_stage is not None:
        on_stage("min-cost flow")
    flow = _min_cost_flow.feasible_flow(problem, solver)
    if on_stage is not None:
        on_stage(f"decompose, split among {num_commodities}")
    result, columns, certificate, cost, closed, requested = _native.feasible(instance, flow, options)
    arrays = _wrap(columns)
    flow_cost = int(np.dot(single.costs[:, 0].astype(object), flow.astype(object))) if costs is None and congestion == 0 else None
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
