"""Companion tools of the pelmora module, from a data set to a solver.

Public modules (everything listed in ``__all__`` is re-exported here):

- ``arrays``: a data set as NumPy arrays (``DataSetArrays``), from generated data, a multicommodity
  file or a ".min" file;
- ``mnetgen``: the four mnetgen files;
- ``lp``: the multicommodity min-cost flow LP for HiGHS, solved; ``model_files``: the LP written as
  MPS or CPLEX LP;
- ``check``: why a data set cannot be solved (each commodity alone, the bundle, the cut);
- ``coupling``: how strongly the commodities are coupled (the LP with and without the bundle rows);
- ``feasible``: data sets that can be solved by construction, with a certificate flow;
- ``netgen``: the classic NETGEN networks from their 15 parameters;
- ``sources``: the generators that can stand for an input file (``netgen:...``);
- ``generation``, ``summary`` and ``sweep``: one generation, the numbers a study reports, and
  many data sets on a dask.distributed cluster;
- ``cli``: the ``pelmora`` command, one module per subcommand.

Modules whose names start with an underscore are private: the native part ``_native``, the flow
solvers behind ``check`` and ``feasible``, the cluster plumbing and the problem line of a file.
The LP, the check and the feasible mode need ``pip install 'pelmora[solve]'`` (highspy, scipy,
OR-Tools); the sweep needs ``pelmora[sweep]``.
"""

from .arrays import DataSetArrays, arrays_from_data, arrays_from_file, arrays_from_min, load_arrays
from .check import CommodityCheck, FeasibilityReport, check_feasibility
from .coupling import CouplingReport, coupling
from .feasible import FeasibleDataSet, NoFeasibleFlow, generate_feasible, verify_certificate
from .lp import SolveResult, build_model, solve
from .mnetgen import export_mnetgen
from .model_files import write_model
from .netgen import NetgenParams, NetgenSummary, netgen, parse_netgen_file, parse_netgen_params

__all__ = [
    "DataSetArrays",
    "arrays_from_data",
    "arrays_from_file",
    "arrays_from_min",
    "load_arrays",
    "export_mnetgen",
    "SolveResult",
    "build_model",
    "write_model",
    "solve",
    "CommodityCheck",
    "FeasibilityReport",
    "check_feasibility",
    "CouplingReport",
    "coupling",
    "FeasibleDataSet",
    "NoFeasibleFlow",
    "generate_feasible",
    "verify_certificate",
    "NetgenParams",
    "NetgenSummary",
    "netgen",
    "parse_netgen_params",
    "parse_netgen_file",
]
