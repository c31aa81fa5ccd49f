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
def netgen(params: tuple[int, ...], path: str, min_form: bool, /) -> tuple[Literal["min", "asn", "max"], int, int]: ...
