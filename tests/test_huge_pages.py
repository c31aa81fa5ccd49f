"""Huge pages behind large arrays: the free 2 MiB blocks counted from /proc/buddyinfo against a
count written from the kernel's description of that file, and PELMORA_HUGE_PAGES obeyed."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

HUGE = 2 << 20


def reference_blocks(zones: list[tuple[int, str, list[int]]], page: int) -> int:
    """Column k of a zone's line counts free blocks of 2^k pages; those of 2 MiB or more, in 2 MiB."""
    return sum(count * (page << k) // HUGE for _, _, counts in zones for k, count in enumerate(counts)
               if page << k >= HUGE)


def buddyinfo_text(zones: list[tuple[int, str, list[int]]]) -> str:
    """As the kernel prints it: "Node %d, zone %8s " and "%6lu " per order."""
    return "".join(f"Node {node}, zone {name:>8} " + "".join(f"{c:>6} " for c in counts) + "\n"
                   for node, name, counts in zones)


@pytest.fixture(scope="module")
def readers_check(native_program):
    return str(native_program("readers_check"))


zones_strategy = st.lists(
    st.tuples(st.integers(0, 7), st.sampled_from(["DMA", "DMA32", "Normal", "Movable", "HighMem"]),
              st.lists(st.integers(0, 10**7), min_size=11, max_size=16)),
    max_size=8)


@settings(max_examples=60, deadline=None)
@given(zones=zones_strategy, page=st.sampled_from([4096, 16384, 65536]))
def test_free_blocks_counted_as_the_kernel_describes_them(readers_check, zones, page):
    out = subprocess.run([readers_check, "buddyinfo", str(page)], input=buddyinfo_text(zones),
                         capture_output=True, text=True, check=True)
    assert int(out.stdout) == reference_blocks(zones, page)


def test_lines_without_a_zone_count_nothing(readers_check):
    text = "garbage 1 2 3 4 5 6 7 8 9 10 11\n\nNode 0, zone Normal 0 0 0 0 0 0 0 0 0 3 2\nNode 1, zone"
    out = subprocess.run([readers_check, "buddyinfo", "4096"], input=text, capture_output=True, text=True, check=True)
    assert int(out.stdout) == 3 + 2 * 2


PROBE = r"""
import sys
import pelmora
instance = pelmora.load_min_instance(sys.argv[1])
with open("/proc/self/smaps") as f:
    print(any(line.startswith("VmFlags:") and " hg" in line for line in f))
"""


@pytest.mark.skipif(not Path("/proc/self/smaps").exists(), reason="needs Linux's /proc/self/smaps")
@pytest.mark.parametrize(("policy", "asked"), [("always", True), ("never", False)])
def test_policy_decides_whether_huge_pages_are_asked_for(tmp_path, policy, asked):
    # 200,000 arcs: the arc array (about 10 MB) is large enough to be asked huge pages for.
    path = tmp_path / "big.min"
    arcs = 200_000
    with open(path, "w") as f:
        f.write(f"p min 1000 {arcs}\n")
        f.writelines(f"a {a % 1000 + 1} {(a * 7) % 1000 + 1} 0 10 {a % 97}\n" for a in range(arcs))
    env = {**os.environ, "PELMORA_HUGE_PAGES": policy}
    out = subprocess.run([sys.executable, "-c", PROBE, str(path)], capture_output=True, text=True, env=env, check=True)
    assert out.stdout.strip() == str(asked)
