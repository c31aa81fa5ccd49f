"""How strongly a data set's commodities are coupled: its LP solved with the bundle rows (the mutual
capacities the commodities share) and without them (each commodity routed independently)."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np

from . import lp
from .arrays import DataSetArrays

__all__ = ["CouplingReport", "coupling"]

# A bundle row is binding when its total lies this close to a bound (relative to the bound, at
# least absolute), and its dual counts as non-zero above DUAL_TOLERANCE: HiGHS's own feasibility
# and optimality tolerances are 1e-7.
BINDING_TOLERANCE = 1e-6
DUAL_TOLERANCE = 1e-7


@dataclass
class CouplingReport:
    """The two solves and what the bundle rows do at the optimum.

    ``bundled`` and ``independent`` are the solves with and without the bundle rows. ``gap`` is
    (bundled - independent) / |independent|, None unless both are optimal or when the independent
    optimum is 0 (then ``bundled == independent`` says whether they differ). ``binding`` counts the
    bundle rows whose total sits at ``up`` (or at ``low`` above 0) in the bundled optimum, and
    ``priced`` those with a non-zero dual (the rows whose capacity changes the optimum at the
    margin); both are None without a bundled optimum. ``iterations`` are HiGHS's (simplex and
    interior point together) for each solve."""

    bundled: lp.SolveResult
    independent: lp.SolveResult
    arcs: int
    binding: int | None
    priced: int | None
    iterations_bundled: int
    iterations_independent: int

    @property
    def gap(self) -> float | None:
        with_rows, without = self.bundled.objective, self.independent.objective
        if with_rows is None or without is None or without == 0:
            return None
        return (with_rows - without) / abs(without)

    def to_dict(self) -> dict[str, Any]:
        """The ``coupling`` object of ``pelmora solve --coupling --json`` (keys in docs/solvers.md)."""
        share = None if self.arcs == 0 else 1 / self.arcs
        return {
            "bundled": self.bundled.to_dict() | {"iterations": self.iterations_bundled},
            "independent": self.independent.to_dict() | {"iterations": self.iterations_independent},
            "gap": self.gap,
            "binding_rows": self.binding,
            "binding_share": None if self.binding is None or share is None else self.binding * share,
            "priced_rows": self.priced,
            "priced_share": None if self.priced is None or share is None else self.priced * share,
        }

    def summary(self) -> str:
        def objective(result: lp.SolveResult) -> str:
            return result.status if result.objective is None else repr(result.objective)

        gap = "-" if self.gap is None else f"{100 * self.gap:.3f}%"
        lines = [
            f"with bundle rows     {objective(self.bundled)} ({self.iterations_bundled} iterations, "
            f"{self.bundled.seconds:.3f} s)",
            f"without bundle rows  {objective(self.independent)} ({self.iterations_independent} iterations, "
            f"{self.independent.seconds:.3f} s)",
            f"coupling gap         {gap} (with - without) / |without|",
        ]
        if self.binding is not None and self.priced is not None and self.arcs:
            lines.append(f"bundle rows binding  {self.binding} of {self.arcs} arcs ({100 * self.binding / self.arcs:.2f}%), "
                         f"{self.priced} with a non-zero dual ({100 * self.priced / self.arcs:.2f}%)")
        return "\n".join(lines)


def _iterations(highs: Any) -> int:
    info = highs.getInfo()
    return int(info.simplex_iteration_count) + max(int(info.ipm_iteration_count), 0)


def coupling(arrays: DataSetArrays, *, time_limit: float | None = None) -> CouplingReport:
    """Solves the data set's LP with and without the bundle rows and reports the coupling.

    Parameters
    ----------
    arrays : DataSetArrays
        The data set.
    time_limit : float, optional
        Seconds of HiGHS's own solve, for each of the two solves.

    Returns
    -------
    CouplingReport
        Ctrl-C stops the solve under way (status "interrupted"); the other is not started then.
    """
    arrays.validate()
    n, m, k = arrays.num_nodes, arrays.num_arcs, arrays.num_commodities
    if m * k == 0:  # no columns: lp.solve decides such a model without HiGHS
        bundled, independent = lp.solve(arrays), lp.solve(arrays, bundle=False)
        return CouplingReport(bundled, independent, m, 0 if bundled.objective is not None else None,
                              0 if bundled.objective is not None else None, 0, 0)
    highs = lp.build_model(arrays, bundle=True)
    bundled = lp.run(highs, time_limit, False, (m, k))
    iterations_bundled = _iterations(highs)
    binding = priced = None
    if bundled.objective is not None:
        solution = highs.getSolution()
        total = np.asarray(solution.row_value, dtype=np.float64)[n * k :]
        dual = np.asarray(solution.row_dual, dtype=np.float64)[n * k :]
        up, low = arrays.up.astype(np.float64), arrays.low.astype(np.float64)
        at_up = total >= up - BINDING_TOLERANCE * np.maximum(1.0, np.abs(up))
        at_low = (low > 0) & (total <= low + BINDING_TOLERANCE * np.maximum(1.0, np.abs(low)))
        binding = int((at_up | at_low).sum())
        priced = int((np.abs(dual) > DUAL_TOLERANCE).sum())
    del highs
    if bundled.status == "interrupted":
        independent = lp.SolveResult("interrupted", None, 0.0)
        return CouplingReport(bundled, independent, m, binding, priced, iterations_bundled, 0)
    highs = lp.build_model(arrays, bundle=False)
    independent = lp.run(highs, time_limit, False, (m, k))
    return CouplingReport(bundled, independent, m, binding, priced, iterations_bundled, _iterations(highs))

