"""The sweep's dask.distributed cluster with every wait bounded: the scheduler must answer within a
timeout, and while no task finishes some worker must be connected.

distributed's own connect bounds the TCP connection but not the handshake that follows it, so a
listener that accepts and never answers would hold ``Client()`` forever: the handshake is tried
first, on its own, under a timeout.
"""

from __future__ import annotations

import asyncio
import contextlib
import signal
import threading
import time
from collections.abc import Iterator, Sequence
from concurrent.futures import ThreadPoolExecutor
from typing import Any

# How often the client looks at the cluster while no task finishes.
_POLL_S = 0.05
_LOOK_S = 1.0
_OVER = ("finished", "error", "cancelled")


class Lost(Exception):
    """The cluster can make no more progress: the scheduler does not answer, or no worker is left."""


def answers(address: str, timeout: float) -> None:
    """Raises TimeoutError unless the scheduler at ``address`` completes distributed's handshake
    within ``timeout`` seconds; OSError if it cannot be reached at all."""
    from distributed.comm.core import connect as open_comm

    async def handshake() -> None:
        comm = await open_comm(address, timeout=timeout)  # type: ignore[no-untyped-call]
        await comm.close()

    # On a thread of its own: the caller may be running an event loop already (a notebook).
    try:
        with ThreadPoolExecutor(1) as thread:
            thread.submit(asyncio.run, asyncio.wait_for(handshake(), timeout)).result()
    except TimeoutError:
        raise TimeoutError(f"the scheduler at {address} did not answer within {timeout:g} s") from None


def _quiet_highs_on_workers(client: Any) -> None:
    """Each worker process, present or to come, creates its first HiGHS instance at its setup with
    its standard output pointed away: the banner HiGHS prints then would otherwise land on the
    standard output the local workers share with the command."""
    from distributed.diagnostics.plugin import WorkerPlugin

    class QuietHighs(WorkerPlugin):
        def setup(self, worker: Any) -> None:
            from ._highs import absorb_banner

            with contextlib.suppress(ModuleNotFoundError):
                absorb_banner()

    client.register_plugin(QuietHighs(), name="pelmora-quiet-highs")


def _local_workers_leave_ctrl_c_to_the_command(client: Any) -> None:
    """A terminal's Ctrl-C reaches the whole process group, the command's own worker processes
    included; the command answers it by closing its cluster, so a worker need not (and would only
    print the interrupted event loop's traceback on the shared standard error)."""
    from distributed.diagnostics.plugin import WorkerPlugin

    class LeaveCtrlC(WorkerPlugin):
        def setup(self, worker: Any) -> None:
            if threading.current_thread() is threading.main_thread():
                signal.signal(signal.SIGINT, signal.SIG_IGN)

    client.register_plugin(LeaveCtrlC(), name="pelmora-leave-ctrl-c")


@contextlib.contextmanager
def connect(scheduler: str | None, workers: int, timeout: float, start_method: str | None = None) -> Iterator[Any]:
    """A client of the given scheduler, or of a LocalCluster of worker processes (started by
    ``start_method``, multiprocessing's name; distributed's default otherwise) closed afterwards."""
    import dask
    from distributed import Client, LocalCluster

    # distributed's constructors carry no annotations, hence the ignores under mypy --strict.
    if scheduler:
        answers(scheduler, timeout)
        client = Client(scheduler, timeout=timeout, set_as_default=False)  # type: ignore[no-untyped-call]
        try:
            _quiet_highs_on_workers(client)
            yield client
        finally:
            client.close(timeout=timeout)  # type: ignore[no-untyped-call]
        return
    # A task whose worker dies is tried again on another (the death may have been a neighbour's
    # doing) until distributed's allowed-failures, then finishes as KilledWorker: a row, not a wait.
    # The scheduler serves its HTTP routes even without a dashboard, on port 8787 unless told: on a
    # free port instead, so that a second sweep (or anyone's cluster) warns of no port in use.
    method = {"distributed.worker.multiprocessing-method": start_method} if start_method else {}
    with (
        dask.config.set(method),
        LocalCluster(  # type: ignore[no-untyped-call]
            n_workers=workers, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=None,
            scheduler_kwargs={"dashboard_address": "127.0.0.1:0"},
        ) as cluster,
        Client(cluster, set_as_default=False) as client,  # type: ignore[no-untyped-call]
    ):
        _quiet_highs_on_workers(client)
        _local_workers_leave_ctrl_c_to_the_command(client)
        yield client


def finished(client: Any, futures: Sequence[Any], timeout: float) -> Iterator[tuple[Any, Any]]:
    """Yields (future, outcome) as each future finishes: its result, its error as (type, value,
    traceback), or its cancellation, fetched by the client's event loop as they come. While none
    finishes, looks at the cluster every second: raises Lost when the scheduler does not answer
    within ``timeout`` seconds, or no worker has been connected for ``timeout`` seconds."""
    from distributed import as_completed

    pending: Any = as_completed(  # type: ignore[no-untyped-call]
        futures, loop=client.loop, with_results=True, raise_errors=False
    )
    seen_worker = looked = time.monotonic()
    while not pending.is_empty():
        if pending.has_ready():
            for future, outcome in pending.next_batch(block=False):
                if future.status in _OVER:
                    yield future, outcome
                else:  # its result died with its worker before it was fetched: computed again
                    pending.add(future)
            seen_worker = looked = time.monotonic()
            continue
        time.sleep(_POLL_S)
        now = time.monotonic()
        if now - looked < _LOOK_S:
            continue
        looked = now
        try:
            connected = client.nthreads(callback_timeout=timeout)
        except (TimeoutError, OSError) as error:
            raise Lost(f"the scheduler did not answer within {timeout:g} s ({type(error).__name__})") from None
        if connected:
            seen_worker = now
        elif now - seen_worker > timeout:
            raise Lost(f"no worker connected for {timeout:g} s")
