"""The split methods: how each supply node's supply is shared among the commodities.

One table of their names (as the command line and the companion's functions take them), their
numbers (the module's ``method=`` argument and the method field of a multicommodity file) and what
each does. A new method is one more row here and one more value of the module's SplitMethod.
"""

from __future__ import annotations

from typing import NamedTuple

__all__ = ["BETA_BINOMIAL", "METHODS", "NAMES", "SPREAD", "UNIFORM", "SplitMethod", "by_name", "name_of"]


class SplitMethod(NamedTuple):
    """One split method: its name, its number in the module and its files, and what it does. (A
    named tuple rather than a dataclass: every command's parser reads this table, and dataclasses
    costs a command's start-up more than the rest of its parser.)"""

    name: str
    number: int
    doc: str


SPREAD = SplitMethod("spread", 0, "each total cut at K - 1 seeded uniform points; the shares lie between them")
UNIFORM = SplitMethod("uniform", 1, "each total in K equal shares, remainders dealt round the commodities; no draws")
BETA_BINOMIAL = SplitMethod(
    "beta-binomial", 2, "each total cut by seeded beta-binomial draws, the more uneven the smaller the concentration"
)

METHODS: tuple[SplitMethod, ...] = (SPREAD, UNIFORM, BETA_BINOMIAL)
NAMES: tuple[str, ...] = tuple(method.name for method in METHODS)

_BY_NAME = {method.name: method for method in METHODS}
_BY_NUMBER = {method.number: method for method in METHODS}


def by_name(name: str) -> SplitMethod:
    """The method called ``name``; ValueError naming the known ones otherwise."""
    try:
        return _BY_NAME[name]
    except KeyError:
        raise ValueError(f"unknown method {name!r}: one of {', '.join(NAMES)}") from None


def name_of(number: int) -> str:
    """The name of the method numbered ``number``, or the number itself where no method has it
    (a file may carry any number)."""
    method = _BY_NUMBER.get(number)
    return method.name if method else str(number)
