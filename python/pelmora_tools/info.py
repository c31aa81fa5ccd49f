"""What a ".min" or multicommodity file holds, as a dict (the JSON of ``pelmora info``) and as text."""

from __future__ import annotations

import dataclasses
import os
from typing import TYPE_CHECKING, Any

import pelmora

from . import _mcf_file
from .arrays import DataSetArrays, arrays_from_file, arrays_from_min
from .sweep import METHODS, commodity_volumes, heterogeneity

if TYPE_CHECKING:
    from .check import FeasibilityReport

METHOD_NAMES = {number: name for name, number in METHODS.items()}


def describe(path: str | os.PathLike[str]) -> tuple[dict[str, Any], DataSetArrays]:
    """Counts (as the problem line declares them), K, the generation's flags and seed, per-commodity
    supply volume and closed arcs and the heterogeneity score; and the file's arrays."""
    name = os.fspath(path)
    header: dict[str, Any]
    if _mcf_file.is_multicommodity(name):
        parsed = pelmora.load_multi_commodity_instance(name)
        header = {
            "kind": "multicommodity", "nodes": parsed.num_nodes, "arcs": parsed.num_arcs,
            "method": METHOD_NAMES.get(parsed.method, str(parsed.method)), "seed": parsed.seed,
            "randomized_capacities": parsed.randomized_capacities, "randomized_costs": parsed.randomized_weights,
            "closing": parsed.cap_zero, "closed_fraction": parsed.cap_zero_param,
        }
        arrays = arrays_from_file(name)
    else:
        instance = pelmora.load_min_instance(name)
        header = {
            "kind": "min", "nodes": instance.num_nodes, "arcs": instance.num_arcs, "method": None, "seed": None,
            "randomized_capacities": False, "randomized_costs": False, "closing": False, "closed_fraction": 0.0,
        }
        arrays = arrays_from_min(instance)
    supply, closed = commodity_volumes(arrays)
    described = {"file": name, **header, "commodities": arrays.num_commodities, "supply": supply,
                 "closed_arcs": closed, "heterogeneity": heterogeneity(arrays)}
    return described, arrays


def explain(arrays: DataSetArrays, bundled_status: str) -> FeasibilityReport:
    """Why a solve found no optimum: each commodity routed alone, beside the bundled model's status
    (already known, so the model is not solved again)."""
    from .check import check_feasibility

    return dataclasses.replace(check_feasibility(arrays, bundled=False), bundled_status=bundled_status)


def _yes(flag: bool) -> str:
    return "yes" if flag else "no"


def render(described: dict[str, Any]) -> str:
    """The text of ``pelmora info``."""
    lines = [
        f"file            {described['file']} ({described['kind']})",
        f"nodes, arcs     {described['nodes']}, {described['arcs']} (as declared)",
        f"commodities     {described['commodities']}",
    ]
    if described["kind"] == "multicommodity":
        closing = f"yes, fraction {described['closed_fraction']!r}" if described["closing"] else "no"
        lines += [
            f"method, seed    {described['method']}, {described['seed']}",
            f"randomised      capacities {_yes(described['randomized_capacities'])}, "
            f"costs {_yes(described['randomized_costs'])}",
            f"closing         {closing}",
        ]
    lines.append(f"heterogeneity   {described['heterogeneity']:.6f}")
    lines.append("commodity  supply  closed arcs")
    width = max(len("supply"), *(len(str(s)) for s in described["supply"]))
    for c, (supply, closed) in enumerate(zip(described["supply"], described["closed_arcs"], strict=True), 1):
        lines.append(f"{c:>9}  {supply:>{width}}  {closed:>11}")
    return "\n".join(lines)
