"""``pelmora generate``: a multicommodity file from a ".min" instance."""

from __future__ import annotations

import argparse
from typing import Any

import pelmora

from .. import methods
from ..generation import Generation
from . import _args, _feasible, _progress
from ._setup import require
from ._status import Failure, Status, about, step
from ._targets import refuse_collisions


def register(commands: Any) -> None:
    parser = commands.add_parser(
        "generate", help="a multicommodity file from a DIMACS .min file",
        description="Generates a multicommodity data set from a DIMACS .min file and writes it as "
                    "save_multi_commodity_instance does.")
    parser.add_argument("instance", metavar="INSTANCE.min",
                        help='a .min file, or netgen:"15 integers" (or netgen:FILE) for the network NETGEN makes')
    parser.add_argument("out", metavar="OUT", help="the multicommodity file to write")
    parser.add_argument("--commodities", "-k", type=_args.POSITIVE_INT, required=True, metavar="K")
    parser.add_argument("--method", choices=methods.NAMES, required=True, help=_args.methods_help())
    parser.add_argument("--seed", type=_args.SEED, default=42, help="default 42")
    _args.generation_flags(parser)
    _feasible.add_flags(parser)
    parser.set_defaults(run=run, parser=parser)


def point_of(args: argparse.Namespace) -> Generation:
    """The generation the flags ask for, its multiplier pairs checked."""
    return Generation(
        args.commodities, args.method, args.seed, _args.pair(args.parser, "--caps", args.caps),
        _feasible.costs_of(args, _args.pair(args.parser, "--costs", args.costs)), args.concentration, args.close,
        args.feasible, args.tightness or 0.0, args.congestion or 0.0,
    )


def run(args: argparse.Namespace) -> int:
    from . import _certificate
    from ._inputs import read_instance, source_of

    _feasible.check_flags(args)
    point = point_of(args)
    source = source_of(args.instance)
    refuse_collisions(source.files(), [args.out, *filter(None, [args.certificate])])
    if args.feasible:
        require("ortools")
    with _progress.Steps(args) as steps:
        if source.family is None:
            steps(f"read {args.instance}", moving="read")
        else:
            steps(f"generate the {source.family.name} network")
        instance = read_instance(args.instance)
        if reason := point.refusal(instance):
            raise Failure(reason)
        if args.feasible:
            with step(f"generate {args.commodities} feasible commodities over {instance.num_arcs} arcs"):
                made = _certificate.generated(lambda: point.run_feasible(instance, on_stage=steps))
            steps(f"write {args.out}", moving="written")
            with about(args.out):
                made.save(args.out)
            if args.certificate:
                with about(args.certificate):
                    made.save_certificate(args.certificate)
            steps.end()
            print(_certificate.report(made, point.costs))
            _progress.done(args, f"wrote {_progress.sizes(*filter(None, (args.out, args.certificate)))}: "
                                 f"{args.commodities} feasible commodities over {instance.num_arcs:,} arcs")
            return Status.OK
        steps(f"generate {args.commodities} commodities")
        with step(f"generate {args.commodities} commodities over {instance.num_arcs} arcs"):
            data = point.run(instance)
        steps(f"write {args.out}", moving="written")
        with about(args.out):
            pelmora.save_multi_commodity_instance(args.out, instance, data)
    _progress.done(args, f"wrote {_progress.sizes(args.out)}: {args.commodities} commodities over "
                         f"{instance.num_arcs:,} arcs")
    return Status.OK
