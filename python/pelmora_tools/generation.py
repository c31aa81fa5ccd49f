"""One generation in the command line's terms: the arguments of a generate_multi_commodity_data call."""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import TYPE_CHECKING

import pelmora

from .methods import BETA_BINOMIAL, by_name

if TYPE_CHECKING:
    from collections.abc import Callable

    from .feasible import FeasibleDataSet


@dataclass(frozen=True)
class Generation:
    """The arguments of one generate_multi_commodity_data call, in the command line's terms:
    a pair of multipliers switches its randomisation on, a closing fraction switches closing on."""

    commodities: int
    method: str
    seed: int = 42
    caps: tuple[float, float] | None = None
    costs: tuple[float, float] | None = None
    concentration: float = 3.0
    close: float | None = None
    feasible: bool = False
    tightness: float = 0.0
    congestion: float = 0.0

    def run_feasible(
        self, instance: pelmora.NetworkInstance, on_stage: Callable[[str], None] | None = None
    ) -> FeasibleDataSet:
        """The feasible mode with these arguments (see generate_feasible)."""
        from .feasible import generate_feasible

        return generate_feasible(instance, self.commodities, self.method, seed=self.seed, caps=self.caps,
                                 costs=self.costs, close=self.close, concentration=self.concentration,
                                 tightness=self.tightness, congestion=self.congestion, on_stage=on_stage)

    def refusal(self, instance: pelmora.NetworkInstance) -> str | None:
        """Why the module would fail on this generation over ``instance``, or None.

        The beta-binomial split cuts each total with Beta(C, m C), m = K - 1 first, whose sampler
        adds its two parameters: where C + (K - 1) C overflows, every draw is NaN and the module
        raises (a ValueError where (K - 1) C itself overflows, a PanicException otherwise).
        Smaller C and K draw finite values throughout, and a network without supply draws nothing.
        """
        c, k = self.concentration, self.commodities
        if self.method != BETA_BINOMIAL.name or k < 2 or math.isfinite(c + float(k - 1) * c):
            return None
        if not any(instance.supplies.values()):
            return None
        return (f"--concentration {c!r} is too large for {k} commodities: the beta-binomial split needs "
                f"K x C below about 1.8e308")

    def run(self, instance: pelmora.NetworkInstance) -> pelmora.MultiCommodityData:
        cap_a, cap_b = self.caps or (0.8, 1.0)
        cost_a, cost_b = self.costs or (0.8, 1.2)
        return pelmora.generate_multi_commodity_data(
            instance,
            self.commodities,
            by_name(self.method).number,
            randomize_caps=self.caps is not None,
            cap_a=cap_a,
            cap_b=cap_b,
            randomize_costs=self.costs is not None,
            cost_a=cost_a,
            cost_b=cost_b,
            concentration_param=self.concentration,
            cap_zero=self.close is not None,
            cap_zero_param=self.close or 0.0,
            seed=self.seed,
        )
