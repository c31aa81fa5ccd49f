"""Companion tools of the pelmora module, from a data set to a solver.

Public modules (everything listed in ``__all__`` is re-exported here):

- ``arrays``: a data set as NumPy arrays (``DataSetArrays``), from generated data, a multicommodity
  file or a ".min" file;
- ``mnetgen``: the four mnetgen files, written and read back;
- ``lp``: the multicommodity min-cost flow LP for HiGHS, solved; ``model_files``: the LP written as
  MPS or CPLEX LP;
- ``check``: why a data set cannot be solved (each commodity alone, the bundle, the cut);
- ``feasible``: data sets that can be solved by construction, with a certificate flow;
- ``netgen``: the classic NETGEN networks from their 15 parameters;
- ``families``: the classic GRIDGEN and GOTO networks and MNETGEN's four files;
- ``sources``: the generators that can stand for an input file (``netgen:...``);
- ``generation``, ``summary`` and ``sweep``: one generation, the numbers a study reports, and
  many data sets on a dask.distributed cluster;
- ``cli``: the ``pelmora`` command, one module per subcommand.

Modules whose names start with an underscore are private: the native part ``_native``, the flow
solvers behind ``check`` and ``feasible``, the cluster plumbing and the problem line of a file.
Each name is imported from its module when first used (PEP 562), so that importing the package,
as the command does before it knows what it will run, costs next to nothing: NumPy and the
solvers load with the first name that needs them. The LP, the check and the feasible mode need
``pip install 'pelmora[solve]'`` (highspy, scipy, OR-Tools); the sweep needs ``pelmora[sweep]``.
"""

from __future__ import annotations

import importlib
import sys
import types

TYPE_CHECKING = False  # typing's, without importing typing before a command needs it
if TYPE_CHECKING:
    from typing import Any

    from .arrays import DataSetArrays, arrays_from_data, arrays_from_file, arrays_from_min, load_arrays
    from .check import CommodityCheck, FeasibilityReport, check_feasibility
    from .families import (
        FamilySummary,
        GotoParams,
        GridgenParams,
        MnetgenParams,
        goto,
        gridgen,
        mnetgen_files,
        parse_goto_params,
        parse_gridgen_params,
        parse_mnetgen_params,
    )
    from .feasible import FeasibleDataSet, NoFeasibleFlow, generate_feasible, verify_certificate
    from .lp import SolveResult, build_model, solve
    from .mnetgen import export_mnetgen, load_mnetgen
    from .model_files import write_model
    from .netgen import NetgenParams, NetgenSummary, netgen, parse_netgen_file, parse_netgen_params

__all__ = [
    "DataSetArrays",
    "arrays_from_data",
    "arrays_from_file",
    "arrays_from_min",
    "load_arrays",
    "export_mnetgen",
    "load_mnetgen",
    "SolveResult",
    "build_model",
    "write_model",
    "solve",
    "CommodityCheck",
    "FeasibilityReport",
    "check_feasibility",
    "FeasibleDataSet",
    "NoFeasibleFlow",
    "generate_feasible",
    "verify_certificate",
    "NetgenParams",
    "NetgenSummary",
    "netgen",
    "parse_netgen_params",
    "parse_netgen_file",
    "FamilySummary",
    "GridgenParams",
    "GotoParams",
    "MnetgenParams",
    "gridgen",
    "goto",
    "mnetgen_files",
    "parse_gridgen_params",
    "parse_goto_params",
    "parse_mnetgen_params",
]

# The module that defines each name of __all__.
_HOMES = {
    **dict.fromkeys(("DataSetArrays", "arrays_from_data", "arrays_from_file", "arrays_from_min", "load_arrays"), "arrays"),
    **dict.fromkeys(("export_mnetgen", "load_mnetgen"), "mnetgen"),
    **dict.fromkeys(("SolveResult", "build_model", "solve"), "lp"),
    "write_model": "model_files",
    **dict.fromkeys(("CommodityCheck", "FeasibilityReport", "check_feasibility"), "check"),
    **dict.fromkeys(("FeasibleDataSet", "NoFeasibleFlow", "generate_feasible", "verify_certificate"), "feasible"),
    **dict.fromkeys(("NetgenParams", "NetgenSummary", "netgen", "parse_netgen_params", "parse_netgen_file"), "netgen"),
    **dict.fromkeys(("FamilySummary", "GridgenParams", "GotoParams", "MnetgenParams", "gridgen", "goto", "mnetgen_files",
                     "parse_gridgen_params", "parse_goto_params", "parse_mnetgen_params"), "families"),
}


def __getattr__(name: str) -> Any:
    home = _HOMES.get(name)
    if home is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(f".{home}", __name__), name)
    globals()[name] = value  # found directly from now on
    return value


def __dir__() -> list[str]:
    return sorted({*globals(), *__all__})


class _Package(types.ModuleType):
    """The package's own module type: the function ``netgen`` keeps its name when its module, of
    the same name, is first imported (the import system binds a submodule to the package's
    attribute of its name)."""

    def __setattr__(self, name: str, value: object) -> None:
        if not (name == "netgen" and isinstance(value, types.ModuleType)):
            super().__setattr__(name, value)


sys.modules[__name__].__class__ = _Package
