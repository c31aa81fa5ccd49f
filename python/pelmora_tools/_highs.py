"""HiGHS as this package uses it: imported on demand, quiet, its process-wide effects (the banner,
the worker threads) handled once per program, presolve's one uninterruptible search switched off,
and a solve that Ctrl-C stops."""

from __future__ import annotations

import contextlib
import os
import sys
import threading
from collections.abc import Callable, Iterator
from typing import Any

# presolve_rule_off's bit for "Dependent equations" (HiGHS 1.16's numbering of presolve rules).
_DEPENDENT_EQUATIONS_BIT = 1 << 10
# How long the waiting thread sleeps between looks at a running solve: Ctrl-C is obeyed within it.
_POLL_SECONDS = 0.1


def highspy_module() -> Any:
    try:
        import highspy
    except ModuleNotFoundError as error:
        raise ModuleNotFoundError("solving needs highspy: pip install 'pelmora[solve]'") from error
    return highspy


def quiet_highs(hs: Any) -> Any:
    """A HiGHS instance that prints nothing from here on (its banner is ``highs_process``'s concern)."""
    highs = hs.Highs()
    highs.setOptionValue("output_flag", False)
    return highs


def absorb_banner() -> None:
    """Creates the process's first ``Highs()`` with file descriptor 1 pointed at /dev/null, so that
    the banner HiGHS prints then, before any option can be set, goes nowhere. Process-wide (it
    redirects a file descriptor for a moment): for a program's start, or a worker process's setup,
    before any thread writes to standard output. Needs highspy."""
    hs = highspy_module()
    sys.stdout.flush()
    saved = os.dup(1)
    null = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(null, 1)
        hs.Highs()
    finally:
        os.dup2(saved, 1)
        os.close(saved)
        os.close(null)


@contextlib.contextmanager
def highs_process() -> Iterator[None]:
    """Sets up, once for a whole program, the two effects HiGHS has on its process.

    On entering, ``absorb_banner``: HiGHS's banner would spoil output meant for machines (JSON on
    standard output). On leaving, HiGHS's pool of worker threads is stopped, so that the process
    ends (or forks) without idle solver threads. Both are process-wide, which is why the library
    never does them itself: a program's main function (the ``pelmora`` command) enters this once,
    around all its solves. Without highspy it does nothing.

    Yields
    ------
    None
    """
    try:
        hs = highspy_module()
    except ModuleNotFoundError:
        yield
        return
    absorb_banner()
    try:
        yield
    finally:
        hs.Highs.resetGlobalScheduler(True)


def skip_dependent_equations(highs: Any) -> None:
    """Switches off presolve's search for dependent equations. The balance rows of each commodity
    are dependent by construction (they sum to zero over each connected part of the network), the
    simplex copes with that by itself, and the search is the one step HiGHS neither interrupts
    nor, without a time limit, cuts short: on 20,000 arcs with K = 10 it took 75 s of a 79 s solve,
    which ends in 3.8 s without it, at the same optimum. The rule's bit in ``presolve_rule_off``
    is HiGHS's numbering since 1.16 (tests check the name HiGHS logs for it); earlier versions
    keep the search."""
    from importlib.metadata import version

    major, minor = (int(part) for part in version("highspy").split(".")[:2])
    if (major, minor) >= (1, 16):
        highs.setOptionValue("presolve_rule_off", _DEPENDENT_EQUATIONS_BIT)


def status_name(hs: Any, status: Any) -> str:
    names = {
        hs.HighsModelStatus.kOptimal: "optimal",
        hs.HighsModelStatus.kInfeasible: "infeasible",
        # Every column has finite bounds, so no ray exists: presolve's "unbounded or infeasible"
        # can only mean infeasible here.
        hs.HighsModelStatus.kUnboundedOrInfeasible: "infeasible",
        hs.HighsModelStatus.kUnbounded: "unbounded",
        hs.HighsModelStatus.kTimeLimit: "time-limit",
        hs.HighsModelStatus.kIterationLimit: "iteration-limit",
        hs.HighsModelStatus.kMemoryLimit: "memory-limit",
        hs.HighsModelStatus.kInterrupt: "interrupted",
    }
    return names.get(status, "error")


# What a solve has reached: simplex and interior-point iterations, objective, seconds.
Iterate = tuple[int, float, float]


def run_interruptible(highs: Any, watch: Callable[[Iterate], object] | None = None) -> None:
    """Runs HiGHS so that Ctrl-C stops it within ``_POLL_SECONDS``: the solve runs on a helper
    thread (HiGHS releases the interpreter lock while it works) while this thread waits in short
    steps; a KeyboardInterrupt sets a flag that HiGHS's interrupt callbacks read, and HiGHS ends
    with its "interrupt" status. Only the main thread receives signals, so elsewhere (a worker
    thread) the solve simply runs where it was called. ``watch``, on the main thread, is handed
    what the solve has reached (from the same callbacks) at each of those steps."""
    if threading.current_thread() is not threading.main_thread():
        highs.run()
        return
    stop = threading.Event()
    reached: list[Iterate] = []

    def poll(event: Any) -> None:
        if stop.is_set():
            event.interrupt()
        if watch is not None:
            out = event.data_out
            iterations = int(out.simplex_iteration_count) + int(out.ipm_iteration_count)
            reached[:] = [(iterations, float(out.objective_function_value), float(out.running_time))]

    highs.cbSimplexInterrupt += poll
    highs.cbIpmInterrupt += poll
    highs.cbMipInterrupt += poll
    failure: list[BaseException] = []

    def work() -> None:
        try:
            highs.run()
        except BaseException as error:  # handed to the waiting thread
            failure.append(error)

    solver = threading.Thread(target=work, name="highs-solve", daemon=True)
    solver.start()
    while solver.is_alive():
        try:
            solver.join(_POLL_SECONDS)
            if watch is not None and reached:
                watch(reached[0])
        except KeyboardInterrupt:
            stop.set()
    highs.cbSimplexInterrupt -= poll
    highs.cbIpmInterrupt -= poll
    highs.cbMipInterrupt -= poll
    if failure:
        raise failure[0]


