#!/usr/bin/env python3
"""Draws docs/families.png: a small GRIDGEN network and a small GOTO network, as pelmora_tools
generates them (matplotlib and networkx).

    python docs/families_pictures.py [OUT.png]
"""

from __future__ import annotations

import sys
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import networkx as nx  # noqa: E402
from matplotlib.axes import Axes  # noqa: E402

import pelmora  # noqa: E402
import pelmora_tools as pt  # noqa: E402

GRIDGEN = "0 7 12 4 2 2 2 100 1 1 9 1 1 9"  # a one-way 4 x 3 grid, 2 sources, 2 sinks, a super node
GOTO = "15 90 8 8 1"  # the smallest: a 5 x 3 torus


def draw(ax: Axes, instance: pelmora.NetworkInstance, positions: dict[int, tuple[float, float]],
         title: str, bend: float) -> None:  # fmt: skip
    graph = nx.MultiDiGraph()
    graph.add_nodes_from(positions)
    for e in instance.edges:
        graph.add_edge(e.tail, e.head)
    supplies = instance.supplies
    colors = ["tab:green" if supplies.get(n, 0) > 0 else "tab:red" if supplies.get(n, 0) < 0 else "lightgray"
              for n in graph.nodes]  # fmt: skip
    nx.draw_networkx_nodes(graph, positions, ax=ax, node_color=colors, node_size=320, edgecolors="black")
    nx.draw_networkx_labels(graph, positions, ax=ax, font_size=8)
    nx.draw_networkx_edges(graph, positions, ax=ax, arrows=True, arrowsize=9, width=0.7, alpha=0.6, node_size=320,
                           connectionstyle=f"arc3,rad={bend}")  # fmt: skip
    ax.set_title(f"{title}\n{instance.num_nodes} nodes, {len(instance.edges)} arcs", fontsize=10)
    ax.axis("off")


def main() -> None:
    out = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).with_name("families.png")
    grid = pt.gridgen(GRIDGEN)
    goto = pt.goto(GOTO)
    width = 4
    grid_pos = {n: (float((n - 1) % width), -float((n - 1) // width)) for n in range(1, grid.num_nodes)}
    grid_pos[grid.num_nodes] = (1.5, 1.2)  # the super node, above the grid
    columns = 5
    goto_pos = {n: (float((n - 1) % columns), -float((n - 1) // columns)) for n in range(1, goto.num_nodes + 1)}
    fig, axes = plt.subplots(1, 2, figsize=(11, 4.6))
    draw(axes[0], grid, grid_pos, f'GRIDGEN "{GRIDGEN}"', 0.08)
    draw(axes[1], goto, goto_pos, f'GOTO "{GOTO}"', 0.25)
    fig.text(0.5, 0.02, "green: supply, red: demand; GRIDGEN's super node (top) joins every source and sink",
             ha="center", fontsize=9)  # fmt: skip
    fig.savefig(out, dpi=110, bbox_inches="tight")
    print(f"wrote {out}")


if __name__ == "__main__":
    main()
