"""The benchmark report's per-workload sections: each turns one benchmark's figures into a Markdown
section with its tables and adds what it measured against its target."""

from __future__ import annotations

from report_format import Figures, Targets, mib, relation, sec, table


def section_rng(f: Figures, targets: Targets) -> str:
    rates = f["gb_per_s"]
    rows = [[name, f"{rate:.2f} GB/s"] for name, rate in rates.items()]
    main = rates.get("StdRng::next_u64")
    if main is not None:
        targets.add("Random generator (StdRng::next_u64, one core)", f"{main:.2f} GB/s", "≥ 1 GB/s", main >= 1)
    return (f"## Random generator\n\n`bench/bench_rng.py`: {f['megabytes']} MiB of output per line, one core; "
            "the module's ChaCha12 stream compiled as CMake compiles it. `StdRng::next_u64` is what every draw "
            "goes through; the refill lines are the bare block function.\n\n" + table(["stream", "rate"], rows))


def floor_note(floor: Figures | None, result_bytes: int, peer_s: float, peer: str, work: str) -> str:
    """What reading the file through the 64 KiB buffer and faulting in the result cost before any
    parsing (bench/read_floor.cpp), against the 5× budget."""
    if not floor:
        return ""
    before = floor["read_s"] + floor["fault_s"]
    return (f"; before parsing a token, reading the file through the 64 KiB buffer and finding its lines takes "
            f"{sec(floor['read_s'])} and faulting in the {mib(result_bytes)} of results {sec(floor['fault_s'])}: "
            f"{before / peer_s:.1f}× {peer} together, leaving {sec(max(0.0, 5 * peer_s - before))} to {work}")


def section_load(f: Figures, scaling: Figures | None, targets: Targets) -> str:
    m, ours = f["arcs"], f["load_s"]
    peers = [("`cat file > /dev/null`", f["cat_s"]), ("LEMON `readDimacsMin`", f.get("lemon_s"))]
    row = next((r for r in scaling["rows"] if r["arcs"] == m), None) if scaling else None
    glpk_note = ("not installed" if scaling and not scaling["glpk"] else
                 "the scaling sweep has no instance of this size" if not row else "")
    peers.append(("GLPK `glp_read_mincost` (scaling sweep, same file)", row.get("glpk") if row else None))
    peers.append(("pandas `read_csv` of the arc lines alone", f.get("pandas_s")))
    peers.append(("plain-Python reader (same lists and dicts, GC off)", f["python_s"]))
    rows = [["`load_min_instance`", sec(ours), "—"]]
    for name, t in peers:
        rows.append([name, sec(t), relation(ours, t) if t else "skipped: " + (glpk_note if "GLPK" in name
                                                                               else "not installed")])
    targets.within(f"`load_min_instance`, {m:,} arcs", ours, f["cat_s"], "`cat`", 5)
    targets.note(f"`cat > /dev/null` only copies the file out of the page cache ({f['file_bytes'] / f['cat_s'] / 1e9:.1f} "
                 "GB/s, process start included; writing to /dev/null costs nothing): 5× `cat` means reading, "
                 f"parsing and indexing at {f['file_bytes'] / (5 * f['cat_s']) / 1e9:.2f} GB/s"
                 + floor_note(f.get("floor"), f["held"], f["cat_s"], "`cat`", "parse 5 integers a line, number the "
                              "nodes and sort the arcs by node pair"))
    if f.get("lemon_s"):
        targets.faster(f"`load_min_instance`, {m:,} arcs", ours, f["lemon_s"], "LEMON", 3)
    else:
        targets.add(f"`load_min_instance`, {m:,} arcs", "LEMON not installed", "≥ 3× faster than LEMON", None)
    if f.get("pandas_s"):
        targets.faster(f"`load_min_instance`, {m:,} arcs", ours, f["pandas_s"], "pandas `read_csv`", 3)
    if f.get("busy"):
        b = f["busy"]
        targets.faster(f"`load_min_instance`, {m:,} arcs, a spinning process on each of the {b['cores']} cores "
                       "(medians of the rounds)", b["load_s"], b["pandas_s"], "pandas `read_csv`", 3)
        if b.get("pandas_best_s"):
            alone = b["pandas_best_s"] <= 1.1 * f["pandas_s"]
            targets.note(f"best rounds: pelmora {sec(b['load_best_s'])}, pandas {sec(b['pandas_best_s'])} "
                         f"({b['pandas_best_s'] / b['load_best_s']:.1f}×)"
                         + (f"; pandas's quiet time is {sec(f['pandas_s'])}: in its best busy round the scheduler "
                            "left it a core of its own" if alone else ""))
    targets.faster(f"`load_min_instance`, {m:,} arcs", ours, f["python_s"], "plain Python", 15)
    bound = 80 * m + 40 * f["nodes"]
    targets.add("Memory held by a loaded instance", f"{f['held'] / m:.1f} B/arc ({mib(f['held'])})",
                f"≤ 80 B/arc + 40 B/node ({mib(bound)})", f["held"] <= bound)
    targets.add("Peak memory while loading", f"{mib(f['peak'])} = {f['peak'] / f['held']:.2f}× held",
                "≤ 2× held", f["peak"] <= 2 * f["held"])
    return (f"## Loading a `.min` file\n\n`bench/bench_load.py`: NETGEN-like instance of {m:,} arcs and "
            f"{f['nodes']:,} nodes ({f['file_bytes'] / 1e6:.1f} MB), page cache warm; best of {f['repeat']} rounds in which `cat`, "
            f"pelmora, LEMON and pandas each run once in turn (the busy-machine pair too), so that all see the "
            f"same moments of the shared machine; the plain-Python reader best of 2. "
            f"Same content as the plain-Python reader: {f['same']}.\n\n"
            + table(["reader", "time", "pelmora against it"], rows)
            + f"\nMemory (fresh interpreter): the instance holds {mib(f['held'])} = {f['held'] / m:.1f} B/arc; "
            f"the peak while loading is {mib(f['peak'])} above the interpreter's baseline.\n")


def section_huge_pages(f: Figures, targets: Targets) -> str:
    names = {"quiet": "quiet machine", "busy": "a spinning process on each core",
             "memory_held": f"another program holding {mib(f['held_bytes'])} in scattered pages"}
    rows = []
    for name, s in f["scenarios"].items():
        for policy in ("default", "always", "never"):
            p = s[policy]
            rows.append([names[name] if policy == "default" else "", f"`{policy}`", f"{sec(p['s'])}",
                         sec(p["worst_s"]), f"{p['kernel_share']:.0%}", f"{p['faults']:,.0f}", mib(p["huge_bytes"])])
        faster = min(s["always"]["s"], s["never"]["s"])
        targets.add(f"Huge pages behind a load of {f['arcs']:,} arcs, {names[name]}",
                    f"default {sec(s['default']['s'])}, always {sec(s['always']['s'])}, never {sec(s['never']['s'])}",
                    "default ≤ 1.1× the faster of always and never", s["default"]["s"] <= 1.1 * faster)
    return (f"## Huge pages behind a load\n\n`bench/bench_huge_pages.py`: `load_min_instance` of {f['arcs']:,} arcs in a "
            f"fresh process per load, {f['rounds']} interleaved rounds, medians; under each `PELMORA_HUGE_PAGES` policy: "
            "the default asks for huge pages (`madvise(MADV_HUGEPAGE)`) while the kernel has free 2 MiB blocks enough, "
            f"`always` and `never` regardless. Transparent huge pages: `{f['thp']}`. The kernel's share is of the load's "
            "CPU time (`getrusage`, sampled).\n\n"
            + table(["machine", "policy", "median", "worst", "kernel share", "page faults", "on huge pages"], rows))


def section_views(f: Figures, targets: Targets) -> str:
    rows = []
    for r in f["reads"]:
        ratio = r["s"] / r["peer_s"]
        rows.append([f"`{r['read']}`", sec(r["s"]), f"`{r['peer']}`", sec(r["peer_s"]), f"{ratio:.2f}×"])
        targets.add(f"Read `{r['read']}`", f"{ratio:.2f}× CPython's `{r['peer']}`", "≤ 1.5×", ratio <= 1.5)
    m, pairs = f["arcs"], f["arcs"] * f["k"]
    bound = 20 * pairs + 64 * m
    targets.add(f"Memory held by `MultiCommodityData` (K = {f['k']})",
                f"{f['data_held_bytes'] / pairs:.1f} B/pair ({mib(f['data_held_bytes'])})",
                f"≤ 20 B/(arc, commodity) + 64 B/arc ({mib(bound)})", f["data_held_bytes"] <= bound)
    return (f"## Attribute reads and memory held\n\n`bench/bench_views.py`: {m:,} arcs, {f['nodes']:,} nodes, "
            f"K = {f['k']}; each read beside CPython building an equal object from ready-made data.\n\n"
            + table(["read", "pelmora", "CPython builds the same", "CPython", "ratio"], rows)
            + f"\nHeld: the instance {mib(f['instance_held_bytes'])} = {f['instance_held_bytes'] / m:.1f} B/arc; "
            f"the data set (uniform split, both randomisations, 10% closed) {mib(f['data_held_bytes'])} = "
            f"{f['data_held_bytes'] / pairs:.1f} B per (arc, commodity) pair.\n")


def section_generate(f: Figures, rng: Figures | None, targets: Targets) -> str:
    rows = [["NumPy, same arithmetic (2·m·K draws, scale, ceil, clamp, exclude)", sec(f["numpy_s"]), "—", "—"],
            ["NumPy, bare draws of 2·m·K uniforms only", sec(f["numpy_bare_s"]), "—", "—"]]
    for r in f["runs"]:
        rows.append([f"`generate_multi_commodity_data`, {r['variant']}", sec(r["s"]),
                     f"{r['s'] / f['numpy_s']:.2f}×", f"{r['s'] / f['numpy_bare_s']:.2f}×"])
        if r["variant"] != "no randomisation":
            targets.within(f"`generate_multi_commodity_data`, {r['variant']}", r["s"], f["numpy_s"],
                           "NumPy (same arithmetic)", 1.5)
    # The performance issue words the same target against "NumPy's bare draws": reported as well.
    worst = max(r["s"] for r in f["runs"] if r["variant"] != "no randomisation")
    targets.within("`generate_multi_commodity_data`, slowest split, against the draws alone", worst,
                   f["numpy_bare_s"], "NumPy's bare draws", 1.5)
    rate = rng["gb_per_s"].get("StdRng::next_u64") if rng else None
    if rate and worst > 1.5 * f["numpy_bare_s"]:
        stream = 2 * f["arcs"] * f["k"] * 8 / (rate * 1e9)
        targets.note(f"the 2·m·K draws of the ChaCha12 stream the results are defined by take {sec(stream)} alone at "
                     f"the measured {rate:.2f} GB/s, {stream / f['numpy_bare_s']:.1f}× NumPy's bare (PCG64) draws, "
                     "before any arithmetic or the 160 MB of results")
    return (f"## Generating a multi-commodity data set\n\n`bench/bench_generate.py`: {f['arcs']:,} arcs, "
            f"{f['nodes']:,} nodes, K = {f['k']}, both randomisations, 10% of the arcs closed per commodity. "
            "The generation issue sets the target against NumPy doing the same arithmetic; the performance "
            "issue words it against NumPy's bare draws (PCG64, one thread), so both are reported. Every result is "
            "defined by one ChaCha12 stream; pelmora draws it on two threads, the second half of the arcs from "
            "the stream position where the first half ends.\n\n"
            + table(["implementation", "time", "÷ NumPy same arithmetic", "÷ NumPy bare draws"], rows))


def section_splits(f: Figures, targets: Targets) -> str:
    rows = []
    for r in f["splits"]:
        speedup = r["python_s"] / r["s"]
        rows.append([f"`split_supplies_{r['split']}`", sec(r["s"]), sec(r["python_s"]), f"{speedup:.1f}×",
                     sec(r["result_dict_s"])])
        targets.faster(f"`split_supplies_{r['split']}`, {f['nodes']:,} nodes", r["s"], r["python_s"],
                       "plain Python", 30)
        targets.note(f"CPython alone builds the result dict in {sec(r['result_dict_s'])}: a split costing nothing "
                     f"else would be {r['python_s'] / r['result_dict_s']:.0f}× faster than plain Python")
    return (f"## Splits\n\n`bench/bench_splits.py`: {f['nodes']:,} nodes, K = {f['k']}, beside plain-Python "
            "implementations of the same algorithms. The last column is what CPython alone needs to build a "
            "dict equal to the result from ready-made rows: every call pays about that for its result.\n\n"
            + table(["split", "pelmora", "plain Python", "speed-up", "result dict alone"], rows))


def section_balance(f: Figures, targets: Targets) -> str:
    rows = []
    for r in f["runs"]:
        rate = f"{r['visits'] / r['s']:.2e}" if r["visits"] else "-"
        ref = sec(r["unit_by_unit_s"]) if r["unit_by_unit_s"] else "-"
        rows.append([r["split"], str(r["seed"]), sec(r["s"]), f"{r['passes']:,}", f"{r['visits']:,}", rate, ref])
    worst = max(r["s"] for r in f["runs"])
    targets.add(f"Balancing at scale ({f['nodes']} nodes, totals ±{f['scale']:.0e}, K = {f['k']})",
                f"worst split {sec(worst)}", "< 2 s per split", worst < 2)
    return (f"## Balancing at scale\n\n`bench/bench_balance.py`: spread and beta-binomial splits of {f['nodes']} "
            f"nodes whose totals lie around ±{f['scale']:.0e}, K = {f['k']}, seeded and balanced. Passes and "
            "visits are those of the unit-by-unit algorithm on the same partition (a native helper runs it and "
            "checks that the results are identical); visits/s is that count over pelmora's time.\n\n"
            + table(["split", "seed", "pelmora", "passes", "visits", "visits/s", "unit-by-unit (native)"], rows)
            + section_many_commodities(f.get("many", []), targets))


def section_many_commodities(runs: list[Figures], targets: Targets) -> str:
    rows = [[f"{r['total']:.0e}", f"{r['k']:.0e}", sec(r["call_s"]), sec(r["balance_s"]), f"{r['passes']:,}",
             sec(r["unit_by_unit_s"] or None), f"{r['unit_by_unit_s'] / r['balance_s']:.0f}×" if r["unit_by_unit_s"]
             else "-"] for r in runs]
    for r in runs:
        if r["k"] == 10**5 and r["unit_by_unit_s"]:
            targets.faster("Balancing 10^5 commodities (`split_supplies_spread({1: 10**6, 2: -10**6}, 10**5, 1)`)",
                           r["balance_s"], r["unit_by_unit_s"], "the unit-by-unit balancing", 50)
    return ("\n### Many commodities\n\n`split_supplies_spread({1: T, 2: -T}, K, 1)`: the whole call, and its "
            "balancing beside the unit-by-unit one (which rebuilds both commodity lists from all K net totals "
            "every pass) on the same partition, results checked identical.\n\n"
            + table(["T", "K", "call", "balancing", "passes", "unit-by-unit (native)", "speed-up"], rows)) if runs else ""


def section_threads(f: Figures, targets: Targets) -> str:
    rows = [[r["work"], sec(r["serial_s"]), sec(r["parallel_s"]), f"{r['ratio']:.2f}×",
             f"{r['cores_busy']:.2f}" if "cores_busy" in r else "—"] for r in f["pairs"]]
    for r in f["pairs"]:
        targets.add(f"Two threads, {r['work']} ({f['arcs']:,} arcs each)", f"{r['ratio']:.2f}× one after the other",
                    "≤ 0.65×", r["ratio"] <= 0.65)
    worst = f["interrupt_worst_s"]
    targets.add("SIGINT to KeyboardInterrupt during a long balance",
                f"median {sec(f['interrupt_median_s'])}, worst {sec(worst)}", "< 0.1 s", worst < 0.1)
    return (f"## Two threads, and Ctrl-C\n\n`bench/bench_threads.py`: two different files of {f['arcs']:,} arcs, "
            f"loaded, then a data set generated on each (K = {f['k']}, both randomisations), on two Python threads "
            f"at once against one after the other (best of {f['repeat']}). Loading a file of a megabyte or more "
            "and generating already work on two threads each: the last column (CPU time over wall time one after "
            "the other) shows how much of the machine's cores one caller leaves to a second. SIGINT during a long "
            f"balance, {len(f['interrupt_s'])} child interpreters.\n\n"
            + table(["work", "one after the other", "both at once", "ratio", "cores busy one after the other"], rows))


def section_mcf(f: Figures, targets: Targets) -> str:
    rows = [["`save_multi_commodity_instance`, new file", sec(f["save_s"]), "—"],
            ["`save_multi_commodity_instance` over a file that size", sec(f["save_replace_s"]), "—"],
            ["plain-Python writer (same bytes)", sec(f["python_writer_s"]), relation(f["save_s"], f["python_writer_s"])],
            ["`cat file > /dev/null`", sec(f["cat_s"]), relation(f["save_s"], f["cat_s"])],
            ["`load_multi_commodity_instance`", sec(f["load_s"]), "—"],
            ["`wc -l file`", sec(f["wc_l_s"]), relation(f["load_s"], f["wc_l_s"])]]
    targets.faster(f"`save_multi_commodity_instance`, {f['arcs']:,} arcs, K = {f['k']}", f["save_s"],
                   f["python_writer_s"], "a plain-Python writer", 15)
    targets.within(f"`load_multi_commodity_instance`, {f['arcs']:,} arcs, K = {f['k']}", f["load_s"], f["wc_l_s"],
                   "`wc -l`", 5)
    if f.get("floor"):
        targets.note(floor_note(f["floor"], f["result_bytes"], f["wc_l_s"], "`wc -l`",
                                f"parse {4 + 2 * f['k']} integers a line, number the nodes and sort the arcs by node "
                                "pair").lstrip("; "))
    return (f"## The multi-commodity file\n\n`bench/bench_mcf.py`: {f['arcs']:,} arcs, K = {f['k']}, both "
            f"randomisations on (expanded groups), {f['file_bytes'] / 1e6:.1f} MB. The plain-Python writer wrote "
            f"the same bytes: {f['same']}. Both writers create a new file; replacing one adds the kernel's work of "
            "dropping its old pages, shown on the second line.\n\n" + table(["step", "time", "pelmora against it"], rows))


def section_hostile(f: Figures, targets: Targets) -> str:
    targets.within(f"`load_min_instance`, {f['nodes']:,} colliding identifiers", f["colliding_s"], f["random_s"],
                   "random identifiers", 1.5)
    return (f"## Identifiers chosen to collide\n\n`bench/bench_hostile.py`: {f['nodes']:,} nodes and as many arcs "
            "whose identifiers all share one slot of a table hashed with the golden-ratio constant, beside random "
            "identifiers in a file of the same shape.\n\n"
            + table(["identifiers", "`load_min_instance`"], [["colliding", sec(f["colliding_s"])],
                                                             ["random", sec(f["random_s"])]]))


def section_tools(f: Figures, targets: Targets) -> str:
    """The companion package on the data set of the file bench: export, model, check against solve."""
    size = f"{f['arcs']:,} arcs, K = {f['k']}"
    targets.within(f"`export_mnetgen`, {size}", f["export_s"], f["save_s"], "`save_multi_commodity_instance`", 3)
    targets.within(f"`build_model`, {size}", f["build_s"], f["generate_s"], "`generate_multi_commodity_data`", 2)
    targets.add(f"`build_model` peak memory, {size}", f"{mib(f['build_peak_bytes'])} = "
                f"{f['build_peak_bytes'] / f['handed_bytes']:.2f}× the arrays handed to HiGHS ({mib(f['handed_bytes'])})",
                "≤ 2× those arrays", f["build_peak_bytes"] <= 2 * f["handed_bytes"])
    rows = [[name, sec(f[key])] for name, key in [
        ("`generate_multi_commodity_data`", "generate_s"), ("`save_multi_commodity_instance`", "save_s"),
        ("`arrays_from_data`", "arrays_s"), ("`arrays_from_file`", "file_arrays_s"),
        ("`export_mnetgen` (four files)", "export_s"), ("`build_model` (bundled)", "build_s"),
        ("`check_feasibility`, per commodity", "check_big_s")]]
    return (f"## From data set to solver\n\n`bench/bench_tools.py`: {size}, both randomisations on; the four "
            f"mnetgen files hold {f['export_bytes'] / 1e6:.1f} MB. On {f['solve_arcs']:,} arcs (K = {f['k']}) HiGHS "
            f"solves the bundled LP in {sec(f['solve_s'])} ({f['solve_status']}); the per-commodity check of the "
            f"same data takes {sec(f['check_s'])} ({f['check_s'] / f['solve_s']:.1%} of it)"
            + (f"; the check of the bundled model {sec(f['check_cheap_s'])} for the cheap steps "
               f"({f['check_cheap_verdict']}, by {f['check_cheap_by']}) and {sec(f['check_whole_s'])} in all "
               f"({f['check_whole_verdict']}, by {f['check_whole_by']}: {f['check_whole_s'] / f['solve_s']:.2f}× "
               f"the solve)" if "check_whole_s" in f else "")
            + ".\n\n"
            + table(["step", "time"], rows))


def section_mnetgen_load(f: Figures, targets: Targets) -> str:
    """The four mnetgen files read back, per byte, against the multicommodity file of the same data set."""
    size = f"{f['arcs']:,} arcs, K = {f['k']}"
    ratio = f["per_byte_ratio"]
    rate = f"{f['four_bytes'] / f['four_s'] / 1e6:.0f} MB/s against {f['mcf_bytes'] / f['mcf_s'] / 1e6:.0f} MB/s"
    targets.add(f"`load_mnetgen`, {size}, per byte", f"{ratio:.2f}× `load_multi_commodity_instance`'s rate ({rate})",
                "≥ 1× per byte", ratio >= 1)
    rows = [["`load_multi_commodity_instance` (multicommodity file)", sec(f["mcf_s"]), f"{f['mcf_bytes'] / 1e6:.1f} MB"],
            ["`arrays_from_file` (the same file)", sec(f["arrays_s"]), f"{f['mcf_bytes'] / 1e6:.1f} MB"],
            ["`load_mnetgen` (the four files)", sec(f["four_s"]), f"{f['four_bytes'] / 1e6:.1f} MB"]]
    return (f"## The four mnetgen files read back\n\n`bench/bench_mnetgen_load.py`: the data set of the tools "
            f"bench ({size}) as a multicommodity file and as mnetgen's four files, read back.\n\n"
            + table(["reader", "time", "bytes"], rows))


def section_netgen(f: Figures, targets: Targets) -> str:
    """NETGEN built in against the classic C program and against pynetgen."""
    m, ours = f["arcs"], f["file_s"]
    rows = [["`pelmora_tools.netgen(params, out=FILE)`", sec(ours), "—"],
            ["`pelmora_tools.netgen(params)` (a `NetworkInstance`)", sec(f["instance_s"]), "—"]]
    workload = f"`netgen`, NETGEN-8 of {m:,} arcs, written to a file"
    if f.get("c_s"):
        rows.append(["C NETGEN (`-O2`, its output redirected to a file)", sec(f["c_s"]), relation(ours, f["c_s"])])
        targets.within(workload, ours, f["c_s"], "the C program", 1)
        targets.note(f"the same problem, node and arc lines as the C program's: {'yes' if f.get('same_as_c') else 'NO'}")
    else:
        targets.add(workload, "C program not at hand (NETGEN_C_PROGRAM unset)", "≤ 1× the C program", None)
    py = ""
    if f.get("pynetgen_s"):
        py_arcs = f["pynetgen_arcs"]
        rows.append([f"pynetgen, {py_arcs:,} arcs", sec(f["pynetgen_s"]),
                     f"pelmora {sec(f['pynetgen_ours_s'])}: {relation(f['pynetgen_ours_s'], f['pynetgen_s'])}"])
        py = (f" pynetgen is timed at {py_arcs:,} arcs, where it finishes in seconds; its network "
              f"{'is' if f.get('pynetgen_same') else 'is not'} the C program's.")
    else:
        py = " pynetgen was not installed."
    return (f"## NETGEN built in\n\n`bench/bench_netgen.py`: `{f['params']}` ({m:,} arcs, {f['nodes']:,} nodes, "
            f"{f['file_bytes'] / 1e6:.1f} MB), best of {f['repeat']}.{py}\n\n" + table(["generator", "time", "ratio"], rows))


def section_families(f: Figures, targets: Targets) -> str:
    """GRIDGEN, GOTO and MNETGEN built in against their classic C programs."""
    rows = []
    for family in ("gridgen", "goto", "mnetgen"):
        g = f[family]
        workload = f"`pelmora {family}` (the whole command), {g['arcs']:,} arc records"
        c = g.get("c_s")
        rows.append([f"`{family}` `{g['params']}`", sec(g["command_s"]), sec(g["library_s"]),
                     sec(c) if c else "not at hand", relation(g["command_s"], c) if c else "—",
                     ("yes" if g.get("same_as_c") else "NO") if c else "—"])
        if c:
            targets.within(workload, g["command_s"], c, "the C program's whole run", 1)
        else:
            targets.add(workload, "C program not at hand (its *_C_PROGRAM unset)", "≤ 1× the C program", None)
    return (f"## GRIDGEN, GOTO and MNETGEN built in\n\n`bench/bench_families.py`: each family at about "
            f"{f['arcs']:,} arcs, best of {f['repeat']}; the command includes the interpreter's start and the "
            "package's imports, the C programs (`-O2`) write to files as well.\n\n"
            + table(["problem", "command", "library call", "C program", "ratio", "same output"], rows))


def section_sweep(f: Figures, targets: Targets) -> str:
    """The sweep's cost per extra tiny data set against a plain loop, and its fixed start-up."""
    small, large = f["small"], f["large"]
    targets.within(f"`sweep`, each extra data set of 1,000 arcs ({small} against {large}, 2 workers)", f["extra_s"],
                   f["loop_s"], "a plain loop over `run_point`", 2)
    fixed = f["fixed_s"]
    targets.add("`sweep`, fixed start-up (cluster, imports)", sec(fixed), "< 1.5 s", fixed < 1.5)
    rows = [["plain loop, per data set", sec(f["loop_s"])], [f"sweep of {small}", sec(f["small_s"])],
            [f"sweep of {large}", sec(f["large_s"])], ["each extra data set", sec(f["extra_s"])],
            ["fixed", sec(fixed)]]
    return ("## Sweep\n\n`bench/bench_sweep.py`: a NETGEN network of 1,000 arcs, K = 4, uniform and spread splits, "
            f"2 local worker processes (spawned); data sets of known small size run "
            f"several to a task; each sweep the best of {f.get('repeat', 1)}.\n\n"
            + table(["what", "time"], rows))
