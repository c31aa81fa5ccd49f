"""Native part of the companion package (built with the pelmora module)."""

from collections.abc import Buffer
from typing import Literal, final

import pelmora

@final
class Column:
    """int64 values, native-endian, as a writable buffer."""

    def __buffer__(self, flags: int, /) -> memoryview: ...

# (K, node_ids, tails, heads, low, up, costs, capacities, supplies)
_Columns = tuple[int, Column, Column, Column, Column, Column, Column, Column, Column]

def arrays(instance: pelmora.NetworkInstance, data: pelmora.MultiCommodityData | None = None, /) -> _Columns: ...
def read_arrays(path: str, /) -> _Columns: ...
def read_mnetgen(
    prefix: str, /
) -> tuple[int, Column, Column, Column, Column, Column, Column, Column, bool, bool, bool, bool]: ...
def write_mnetgen(
    prefix: str,
    num_commodities: int,
    node_ids: Buffer,
    tails: Buffer,
    heads: Buffer,
    up: Buffer,
    costs: Buffer,
    capacities: Buffer,
    supplies: Buffer,
    write_map: bool,
    /,
) -> None: ...
def write_model(
    path: str,
    format: Literal["mps", "lp"],
    bundle: bool,
    num_commodities: int,
    node_ids: Buffer,
    tails: Buffer,
    heads: Buffer,
    up: Buffer,
    costs: Buffer,
    capacities: Buffer,
    supplies: Buffer,
    low: Buffer,
    /,
) -> None: ...

# The feasible mode: the result record (kept for saving), its arrays, certificate (m x K), cost,
# pairs closed and pairs asked for.
def feasible(
    instance: pelmora.NetworkInstance,
    flow: Buffer,
    num_commodities: int,
    method: int,
    seed: int,
    concentration: float,
    randomize_caps: bool,
    cap_a: float,
    cap_b: float,
    randomize_costs: bool,
    cost_a: float,
    cost_b: float,
    close: float,
    tightness: float,
    /,
) -> tuple[object, _Columns, Column, int, int, int]: ...
def save_feasible(result: object, path: str, costs: Buffer, capacities: Buffer, /) -> None: ...
def verify(
    num_commodities: int,
    node_ids: Buffer,
    tails: Buffer,
    heads: Buffer,
    low: Buffer,
    up: Buffer,
    capacities: Buffer,
    supplies: Buffer,
    certificate: Buffer,
    /,
) -> str: ...
def potentials(n: int, tails: Buffer, heads: Buffer, capacity: Buffer, costs: Buffer, flow: Buffer, /) -> Column: ...
def peel(n: int, tails: Buffer, heads: Buffer, supplies: Buffer, /) -> tuple[Column, Column]: ...
def netgen(params: tuple[int, ...], path: str, min_form: bool, /) -> tuple[Literal["min", "asn", "max"], int, int]: ...
def gridgen(ints: tuple[int, ...], floats: tuple[float, ...], path: str, /) -> tuple[int, int]: ...
def goto(ints: tuple[int, ...], path: str, /) -> tuple[int, int]: ...
def mnetgen(ints: tuple[int, ...], floats: tuple[float, ...], prefix: str, /) -> tuple[int, int]: ...
def netgen_network(params: tuple[int, ...], /) -> pelmora.NetworkInstance: ...
