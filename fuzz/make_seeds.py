"""Writes the seed corpus of the fuzz targets into OUT/<target>/ (default build/fuzz/seeds).

- parse_min: small networks cut out of every instance in tests/data (a problem line, the first
  120 arc lines and the node lines of their ends), the GLPK sample whole, and hand-written files for
  the corners of the line rules (CRLF, Unicode white space, signs and leading zeros, the 64-bit
  limits, a line longer than the reader's 8192-byte buffer, no final line feed).
- parse_multi_min: files written by save_multi_commodity_instance from those networks with every
  method, both randomisations, arc closing and awkward exclusion fractions, plus hand-written files
  for what the reader accepts beyond the writer (flags other than 0 and 1, float spellings, extra
  node values).
- roundtrip: eight option bytes (see fuzz_roundtrip.cpp) in front of each small network.
- tools: the parse_multi_min seeds, each behind one byte choosing the change fuzz_tools.cpp makes to
  the columns before writing (the eight changes in turn), plus files for the companion's corners
  (lower bounds, a K of 1024 over nodes only, node lines naming nodes no arc uses, ids at the 64-bit
  limits, arcs closed to every commodity).
- mnetgen_reader: the four files (".nod", ".arc", ".sup", ".mut", joined by NUL bytes) that
  export_mnetgen writes for a few of the parse_multi_min seeds, and hand-written files in the forms
  of MNETGEN and the published collections (decimals, -1 capacities and commodities, a three-number
  ".nod", pointers on some arcs only, exponent spellings, a missing file).
- companion (fuzz_companion.py): the parse_min and parse_multi_min seeds and the companion's
  corners above, as they are (".min" and multicommodity files both go through load_arrays).

Needs the pelmora module (run with the venv's python).
"""

from __future__ import annotations

import argparse
import hashlib
import math
import tempfile
from pathlib import Path

import pelmora
import pelmora_tools

ROOT = Path(__file__).resolve().parent.parent
DATA = ROOT / "tests" / "data"


def small_networks(max_arcs: int = 120) -> dict[str, str]:
    """name -> .min text: per bundled instance, its first arc lines and the node lines of their ends."""
    out = {}
    for path in sorted(DATA.glob("*.min")):
        text = path.read_text()
        if len(text) < 8192:
            out[path.stem] = text
            continue
        node_lines, arcs = {}, []
        for line in text.splitlines():
            t = line.split()
            if t and t[0] == "n":
                node_lines[int(t[1])] = line
            elif t and t[0] == "a" and len(arcs) < max_arcs:
                arcs.append(line)
        ends = {int(x) for line in arcs for x in line.split()[1:3]}
        nodes = [node_lines[n] for n in sorted(ends) if n in node_lines]
        lines = [f"c cut from {path.name}", f"p min {len(ends)} {len(arcs)}", *nodes, *arcs]
        out[f"{path.stem}-cut"] = "\n".join(lines) + "\n"
    return out


HAND_MIN = {
    "crlf": "c crlf\r\np min 3 2\r\nn 1 4\r\nn 3 -4\r\na 1 2 0 5 1\r\na 2 3 0 5 1\r\n",
    "unicode-space": "p\u3000min 2 1\nn\u00a01 3\u2028\nn 2\u2003-3\na 1\u205f2 0 4 7\u0085\n",
    "signs": "p min +002 -0\nn -0 +5\nn 007 -5\na +7 -0 0 +10 -3\na 7 0 -1 10 00\n",
    "limits": "p min 9223372036854775807 -9223372036854775808\n"
    "n -9223372036854775808 9223372036854775807\na -9223372036854775808 9223372036854775807 0 0 0\n",
    "parallel": "p min 2 5\na 1 2 0 1 1\na 1 2 0 2 2\na 2 1 0 3 3\na 1 2 0 4 4\na 1 1 0 5 5\n",
    "comments": "c\n  c leading\ncomment\nx 1 2\narc 1 2 3\np min 1 0\n\n\t\nn 1 0 extra tokens\n",
    "no-final-newline": "p min 2 1\nn 1 2\nn 2 -2\na 1 2 0 3 4",
    "long-line": "c " + "x" * 9000 + "\np min 2 1\nn 1 1\n" + "a 1 2 0 3 4 " + "9 " * 5000 + "\n",
    "later-problem": "a 5 6 0 1 1\np min 1 1\nn 6 -1\np min 9 9\n",
    "empty": "",
}

HAND_MULTI = {
    "flags-any-nonzero": "c x\np min 2 1 2 7 -1 2 0 0 5\nn 1 4 1 3\nn 2 -4 -1 -3\na 1 2 0 9 1 2 3 4\n",
    "closing-only": "c x\np min 2 2 3 0 0 0 1 5e-2 9\nn 1 3 1 1 1\na 1 2 0 9 9 0 9 2\na 1 2 x 9 0 9 9 2\n",
    "float-spellings": "p min 1 0 1 0 0 1 0 -InFiNiTy 0\np min 1 0 1 0 0 1 0 .5 0\np min 1 0 1 0 0 1 0 1. 0\n"
    "p min 1 0 1 0 0 1 0 NaN 18446744073709551615\n",
    "extra-node-values": "p min 1 1 2 0 1 2 0 0 1\nn 1 10 1 2 3 4\na 1 1 junk 5 6 7 8 extra\n",
    "crlf-unicode": "c x\r\np min 2 1 1 0 0 1 0 0 0\r\nn\u30001 1 1\r\na 1\u00a02 0 1 1 1\r\n",
}

HAND_TOOLS = {
    "lower-bounds": "p min 3 3 2 0 1 1 0 0 9\nn 1 6 2 4\nn 3 -6 -2 -4\na 1 2 +003 10 10 5 6\na 2 3 -2 10 1 1\n"
    "a 3 3 0 4 7 8\n",
    "k1024-nodes-only": "p min 2 0 1024 0 0 0 0 0 0\nn 1 3 1 2\nn 9 -3 -1 -2\n",
    "nodes-without-arcs": "p min 4 1 2 1 0 0 0 0 1\nn 7 0 0 5\nn -4 0 0 -5\na 1 2 0 3 4 0 1\n",
    "limits": "p min 2 1 1 0 0 0 0 0 0\nn -9223372036854775808 1\nn 9223372036854775807 -1\n"
    "a -9223372036854775808 9223372036854775807 0 9223372036854775807 -9223372036854775808 7\n",
    "closed-everywhere": "p min 2 3 2 1 0 0 1 0.5 3\nn 1 2 1 1\nn 2 -2 -1 -1\na 1 2 0 5 0 0 1\n"
    "a 1 2 0 5 -3 4 2\na 2 1 0 5 0 0 3\n",
}

# (num_commodities, method, randomize_caps, randomize_costs, cap_zero, cap_zero_param)
OPTIONS = [
    (1, 1, False, False, False, 0.0),
    (2, 0, True, False, False, 0.0),
    (3, 2, False, True, False, 0.3),
    (2, 1, True, True, True, 0.05),
    (4, 0, False, False, True, 0.5),
    (3, 2, True, False, True, 1e-7),
    (2, 1, False, False, True, 1e21),
    (2, 0, False, True, True, math.nan),
    (1, 2, True, True, True, -0.0),
    (2, 1, False, False, False, math.inf),
]


def write(directory: Path, name: str, content: bytes) -> None:
    directory.mkdir(parents=True, exist_ok=True)
    digest = hashlib.sha1(content).hexdigest()[:10]
    (directory / f"{name}-{digest}").write_bytes(content)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=Path, default=ROOT / "build" / "fuzz" / "seeds")
    args = parser.parse_args()

    networks = small_networks()
    min_seeds = {**networks, **HAND_MIN}
    for name, text in min_seeds.items():
        write(args.out / "parse_min", name, text.encode())

    multi: dict[str, bytes] = {}
    with tempfile.TemporaryDirectory() as tmp:
        for name, text in networks.items():
            src = Path(tmp) / f"{name}.min"
            src.write_text(text)
            instance = pelmora.load_min_instance(str(src))
            for i, (k, method, caps, costs, zero, param) in enumerate(OPTIONS):
                data = pelmora.generate_multi_commodity_data(
                    instance, k, method, randomize_caps=caps, randomize_costs=costs,
                    cap_zero=zero, cap_zero_param=param, seed=1000 + i)
                out = Path(tmp) / "out.mcf"
                pelmora.save_multi_commodity_instance(str(out), instance, data)
                multi[f"{name}-{i}"] = out.read_bytes()
    multi.update((name, text.encode()) for name, text in HAND_MULTI.items())
    for name, content in multi.items():
        write(args.out / "parse_multi_min", name, content)
    tools = {**multi, **{name: text.encode() for name, text in HAND_TOOLS.items()}}
    for i, (name, content) in enumerate(tools.items()):
        write(args.out / "tools", name, bytes([i % 8]) + content)
        write(args.out / "companion", name, content)
    for name, text in min_seeds.items():
        write(args.out / "companion", name, text.encode())
    with tempfile.TemporaryDirectory() as tmp:
        for name, content in mnetgen_seeds(multi, Path(tmp)).items():
            write(args.out / "mnetgen_reader", name, content)

    prefixes = [bytes([k, m + 1, flags, frac, 0, 1, 0, seed])
                for k, m, flags, frac, seed in [(2, 1, 0, 0, 1), (3, 0, 3, 1, 2), (1, 2, 7, 4, 3),
                                                (4, 2, 4, 12, 4), (0, 1, 0, 0, 5), (2, 3, 1, 6, 6)]]
    for name, text in min_seeds.items():
        if len(text) > 16384:
            continue
        for j, prefix in enumerate(prefixes):
            write(args.out / "roundtrip", f"{name}-{j}", prefix + text.encode())


# Four files joined by NUL bytes, as fuzz_mnetgen_reader.cpp cuts its input.
HAND_MNETGEN = {
    "mnetgen-form": ["2\n4\n3\n1\n", "1\t1\t2\t1\t12.5\t-1\t1\n1\t1\t2\t2\t3.25\t40\t1\n2\t2\t4\t1\t1e+04\t-1\t0\n"
                     "3\t1\t3\t2\t7\t-1\t0\n", "1\t1\t9\n4\t1\t-9\n1\t2\t0\n3\t2\t0\n", "1\t30\n"],
    "collection-form": ["3\n4\n2\n", "1\t1\t4\t-1\t9981.000000\t48.000000\t1\n2\t4\t1\t-1\t1.5\t-1\t2\n",
                        "1\t1\t4.000000\n4\t1\t-4.000000\n4\t3\t2\n1\t3\t-2\n", "1\t-1\n2\t7.5\n"],
    "missing-mut": ["1\n2\n1\n", "1\t1\t2\t1\t1\t-1\t0\n", "1\t1\t1\n2\t1\t-1\n"],
    "claims": ["1\n1000000000000\n1000000000000\n0\n", "999999999999\t1\t999999999999\t1\t5\t-1\t0\n",
               "1\t1\t2\n999999999999\t1\t-2\n", ""],
}


def mnetgen_seeds(multi: dict[str, bytes], tmp: Path) -> dict[str, bytes]:
    """The four files export_mnetgen writes for every fifth multicommodity seed, and the hand-written ones."""
    out = {name: "\0".join(parts).encode() for name, parts in HAND_MNETGEN.items()}
    for name in sorted(multi)[::5]:
        path = tmp / "seed.mcf"
        path.write_bytes(multi[name])
        try:
            arrays = pelmora_tools.arrays_from_file(path)
            pelmora_tools.export_mnetgen(arrays, tmp / "seed")
        except (ValueError, RuntimeError, OSError):  # lower bounds, or a file the reader refuses
            continue
        out[f"export-{name}"] = b"\0".join((tmp / f"seed{suffix}").read_bytes() for suffix in (".nod", ".arc", ".sup", ".mut"))
    return out


if __name__ == "__main__":
    main()
