"""The feasible mode's flags on the command line. Argument parsing only: ``--help`` reads this
module, so it imports nothing heavy (the certificate's reading and checks are in _certificate)."""

from __future__ import annotations

import argparse

from . import _args


def _tightness(text: str) -> float:
    value = float(text)
    if not 0.0 <= value <= 1.0:  # NaN fails both
        raise ValueError
    return value


TIGHTNESS = _args.typed(_tightness, "a number from 0 to 1")
TIGHTNESS_LIST = _args.typed(lambda text: tuple(dict.fromkeys(_tightness(t) for t in text.split(","))),
                             "comma-separated numbers from 0 to 1, such as 0,0.5,1")


# The feasible mode's costs unless --costs or --keep-costs say otherwise: every commodity pays its
# own draw in [0.5, 1.5) x the arc's cost, so the commodities' cheapest routes differ and the optimum
# is not the certificate's cost known before solving; a factor of 3 at most between two commodities
# keeps the instance's own cost structure (lengths, tariffs) in charge of the routes.
DEFAULT_COSTS = (0.5, 1.5)


def add_flags(parser: argparse.ArgumentParser, *, sweep: bool = False) -> None:
    parser.add_argument("--feasible", action="store_true",
                        help="commodities that follow a min-cost flow of the instance, with a certificate (needs "
                             "ortools); --close then closes only unused pairs; costs randomised in "
                             f"[{DEFAULT_COSTS[0]}, {DEFAULT_COSTS[1]}) x cost unless --costs or --keep-costs")
    parser.add_argument("--keep-costs", action="store_true",
                        help="with --feasible: every commodity pays the instance's own costs (negative ones "
                             "included), so the certificate is an optimum: solved by construction")
    parser.add_argument("--congestion", type=TIGHTNESS, metavar="C",
                        help="with --feasible: make a seeded share C/2 of the used arcs hot (cheaper by C for every "
                             "commodity, mutual capacity at the certified flow) so the commodities compete for them "
                             "(0 to 1, default 0: no change)")
    if sweep:
        parser.add_argument("--tightness", type=TIGHTNESS_LIST, metavar="T,T,...",
                            help="with --feasible: each tightness in turn (default 0)")
        return
    parser.add_argument("--tightness", type=TIGHTNESS, metavar="T",
                        help="with --feasible: lower each used arc's capacity toward its certified flow (0 to 1, "
                             "default 0)")
    parser.add_argument("--certificate", metavar="FILE.npy", help="with --feasible: write the certificate there")


def check_flags(args: argparse.Namespace) -> None:
    """Refuses the feasible mode's flags without it, and a certificate name without ".npy"."""
    if not args.feasible:
        for flag in ("tightness", "certificate", "congestion"):
            if getattr(args, flag, None) is not None:
                args.parser.error(f"--{flag} applies with --feasible only")
        if args.keep_costs:
            args.parser.error("--keep-costs applies with --feasible only")
    elif args.keep_costs and args.costs is not None:
        args.parser.error("--keep-costs and --costs ask for different costs: give one")
    check_certificate_name(args)


def check_certificate_name(args: argparse.Namespace) -> None:
    """A certificate is a NumPy .npy file and is written under exactly its name: a name without the
    suffix (which NumPy would add behind the user's back) is refused."""
    name = getattr(args, "certificate", None)
    if name is not None and not name.endswith(".npy"):
        args.parser.error(f"--certificate {name}: the certificate is a NumPy file, its name must end in .npy")


def costs_of(args: argparse.Namespace, costs: tuple[float, float] | None) -> tuple[float, float] | None:
    """The cost multipliers a generation uses: the feasible mode randomises by default."""
    if args.feasible and costs is None and not args.keep_costs:
        return DEFAULT_COSTS
    return costs
