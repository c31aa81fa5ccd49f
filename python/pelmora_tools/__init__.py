"""Companion tools of the pelmora module: arrays of a data set, export to solver formats, the
multicommodity min-cost flow LP, solvability checks, NETGEN networks and the ``pelmora`` command line."""

from .arrays import DataSetArrays, arrays_from_data, arrays_from_file, arrays_from_min, load_arrays
from .check import CommodityCheck, FeasibilityReport, check_feasibility
from .lp import SolveResult, build_model, solve, write_model
from .mnetgen import export_mnetgen
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
    "NetgenParams",
    "NetgenSummary",
    "netgen",
    "parse_netgen_params",
    "parse_netgen_file",
]
