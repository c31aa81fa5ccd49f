"""Long calls let other Python threads run, and Ctrl-C stops them.

Each signal case runs in a child interpreter (pytest keeps its own SIGINT handler), sends SIGINT
to its own process as a terminal would once the call is under way (blocked on its FIFO, fed or
drained as far as the other end goes, or writing), and reports what the call raised, the open
descriptors before and after, and whether the module still works afterwards. Every call would
go on for ever (or, for "save", write the whole file) without the signal; nothing depends on how
fast the machine is.
"""

import dis
import faulthandler
import json
import os
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

import pelmora

DATA = Path(__file__).parent / "data"
NETWORK = str(DATA / "own-net-5000n-12500a.min")

CHILD = r"""
import json, os, signal, sys, threading, time
import pelmora

# A parent that ignores SIGINT (a job started in the background) passes that on to this process.
signal.signal(signal.SIGINT, signal.default_int_handler)
case, scratch = sys.argv[1], sys.argv[2]
network = pelmora.load_min_instance(sys.argv[3])
fifo = os.path.join(scratch, "fifo")
os.mkfifo(fifo)
sent = []

caller = threading.get_native_id()
def blocked_on_fifo():  # the kernel's wait of an open for the FIFO's other end
    while open(f"/proc/self/task/{caller}/wchan").read() != "wait_for_partner":
        time.sleep(0.001)

def interrupt(when):
    def send():
        when()
        sent.append(True)
        signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)  # the caller, blocked in the call
    threading.Thread(target=send, daemon=True).start()

def descriptors():
    return len(os.listdir("/proc/self/fd"))

release = threading.Event()  # a FIFO's other end lets go once the call has stopped
served = threading.Event()  # ... and says when it has done its part
def other_end(flags, act):
    def run():
        fd = os.open(fifo, flags)
        act(fd)
        served.set()
        release.wait()
        os.close(fd)
    thread = threading.Thread(target=run)
    thread.start()
    return thread

big = pelmora.generate_multi_commodity_data(network, 400, 0, randomize_caps=True, randomize_costs=True)
target = os.path.join(scratch, "big.mcf")
before = descriptors()
helper = None
looping = threading.Event()
if case == "balance":
    # Until the signal, whatever the balancer's speed: the signal may land between two calls.
    def call():
        while True:
            looping.set()
            pelmora.split_supplies_spread({1: 10**12, 2: -10**12, 3: 10**12, 4: -10**12}, 10, 7)
    when = looping.wait
elif case == "min open":
    call, when = lambda: pelmora.load_min_instance(fifo), blocked_on_fifo
elif case == "mcf open":
    call, when = lambda: pelmora.load_multi_commodity_instance(fifo), blocked_on_fifo
elif case == "save open":
    call, when = lambda: pelmora.save_multi_commodity_instance(fifo, network, big), blocked_on_fifo
elif case == "load stalled":  # a large part of the file arrives, then nothing more
    text = open(sys.argv[3], "rb").read() + b"c more to come\n" * 100_000
    helper = other_end(os.O_WRONLY, lambda fd: os.write(fd, text))  # returns once the call has read it
    def stalled():  # all of it read, and the call back in the kernel's wait for more
        served.wait()
        while not open(f"/proc/self/task/{caller}/wchan").read().endswith("pipe_read"):
            time.sleep(0.001)
    call, when = lambda: pelmora.load_min_instance(fifo), stalled
elif case == "load signalled":  # the signal comes while the call parses, then the stream stalls
    def signal_then_write(fd):
        sent.append(True)
        signal.raise_signal(signal.SIGINT)  # taken by this thread: no read of the call is cut short
        os.write(fd, b"c nothing more to come\n" * 2000)  # fits the pipe: written at once
    helper = other_end(os.O_WRONLY, signal_then_write)
    call, when = lambda: pelmora.load_min_instance(fifo), None
elif case == "save stalled":  # the reader takes a few buffers, then stops reading
    helper = other_end(os.O_RDONLY, lambda fd: os.read(fd, 1 << 18))
    call, when = lambda: pelmora.save_multi_commodity_instance(fifo, network, big), served.wait
elif case == "save":  # the signal comes once the file has started to grow
    def when():
        while not os.path.exists(target) or os.path.getsize(target) == 0:
            time.sleep(0.001)
    call = lambda: pelmora.save_multi_commodity_instance(target, network, big)
try:
    if when:
        interrupt(when)
    call()
    raised = None
except BaseException as error:
    raised = type(error).__name__
release.set()
if helper:
    helper.join()
partial = os.path.getsize(target) if case == "save" else None
whole = os.path.join(scratch, "whole.mcf")
pelmora.save_multi_commodity_instance(whole, network, big)
usable = (pelmora.load_multi_commodity_instance(whole).num_commodities == 400
          and pelmora.split_supplies_uniform({1: 4, 2: -4}, 2) == {1: [2, 2], 2: [-2, -2]})
print(json.dumps({"raised": raised, "sent": bool(sent), "before": before, "after": descriptors(),
                  "usable": usable, "partial": partial, "whole": os.path.getsize(whole)}))
"""

CASES = ["balance", "min open", "mcf open", "save open", "load stalled", "load signalled", "save stalled", "save"]


@pytest.mark.parametrize("case", CASES)
def test_sigint_stops_the_call(case, tmp_path):
    done = subprocess.run([sys.executable, "-c", CHILD, case, str(tmp_path), NETWORK],
                          capture_output=True, text=True, timeout=600)  # a hang guard, for a loaded machine
    assert done.returncode == 0, done.stderr
    report = json.loads(done.stdout)
    # Every one of these calls would go on for ever (or write the whole file): the signal ended it.
    assert report["raised"] == "KeyboardInterrupt" and report["sent"]
    assert report["after"] == report["before"]
    assert report["usable"]
    if case == "save":
        assert report["partial"] < report["whole"]


@pytest.fixture(scope="module")
def large_network(tmp_path_factory):
    path = tmp_path_factory.mktemp("large") / "net.min"
    n, m = 20_000, 400_000
    arcs = (f"a {i % n + 1} {i * 7919 % n + 1} 0 {i % 97 + 1} {i % 13}\n" for i in range(m))
    path.write_text(f"p min {n} {m}\nn 1 {m}\nn {n} -{m}\n" + "".join(arcs))
    return str(path)


def let_in_during(call, raising=None):
    """Whether another thread ran Python code while this thread was inside ``call``'s native
    function. That thread, finding this one on the call instruction, signals the process; the
    handler runs in this thread at the native function's next interrupt poll, still on the call
    instruction. A call that held the interpreter lock would let the other thread in only once it
    had returned, and the handler would run further on. With ``raising``, the handler raises that
    exception when it runs inside the call."""
    caller = threading.get_ident()
    code = call.__code__
    calls = {i.offset for i in dis.get_instructions(code) if i.opname.startswith("CALL")}
    inside: list[bool] = []
    handled = threading.Event()
    done = threading.Event()

    def handler(signum, frame):
        inside.append(frame is not None and frame.f_code is code and frame.f_lasti in calls)
        handled.set()
        if raising and inside[-1]:
            raise raising

    def watch():
        while not done.is_set() and not any(inside):
            frame = sys._current_frames().get(caller)
            if frame is not None and frame.f_code is code and frame.f_lasti in calls:
                handled.clear()
                os.kill(os.getpid(), signal.SIGUSR1)
                handled.wait(120)  # a hang guard: the handler runs at this thread's next poll
            time.sleep(0.001)

    previous = signal.signal(signal.SIGUSR1, handler)
    watcher = threading.Thread(target=watch)
    watcher.start()
    try:
        call()
    finally:
        done.set()
        watcher.join()
        signal.signal(signal.SIGUSR1, previous)
    return any(inside)


def feasible_step():
    """The feasible mode's native step (decomposition, split, closing, the congestion knob) on a
    flow solved beforehand: the call that must poll, since the flow's solve is OR-Tools'."""
    pytest.importorskip("ortools")
    import pelmora_tools as pt
    from pelmora_tools import _min_cost_flow, _native
    from pelmora_tools.arrays import arrays_from_min, as_int64

    instance = pt.netgen("13502460 1 20000 20 20 400000 1 100 200000 0 0 30 100 1000 5000")
    single = arrays_from_min(instance)
    problem = _min_cost_flow.flow_problem(single.node_ids, single.tails, single.heads, single.low,
                                          as_int64(single.up), as_int64(single.costs[:, 0]),
                                          as_int64(single.supplies[:, 0]))
    flow = _min_cost_flow.feasible_flow(problem, "ortools")
    options = _native.feasible_options(20, 0, seed=1, concentration=1.0, randomize_caps=False, cap_a=0.8, cap_b=1.0,
                                       randomize_costs=True, cost_a=0.5, cost_b=1.5, close=0.2, tightness=1.0,
                                       congestion=1.0)
    return lambda: _native.feasible(instance, flow, options)


@pytest.mark.parametrize("work", ["load", "generate", "feasible"])
def test_other_threads_run_during_a_long_call(work, large_network):
    if work == "feasible":
        call = feasible_step()
    else:
        instance = pelmora.load_min_instance(large_network)
        call = {"load": lambda: pelmora.load_min_instance(large_network),
                "generate": lambda: pelmora.generate_multi_commodity_data(
                    instance, 20, 0, randomize_caps=True, randomize_costs=True)}[work]
    assert let_in_during(call)


def test_handler_raising_ends_a_load_read_by_two_threads(large_network):
    # The file is large enough to be read by two threads: the exception ends the call, and the
    # second thread and the descriptors go with it.
    def counts():
        return len(os.listdir("/proc/self/task")), len(os.listdir("/proc/self/fd"))

    def load_until_stopped():
        for _ in range(1000):
            pelmora.load_min_instance(large_network)

    before = counts()
    with pytest.raises(InterruptedError):
        let_in_during(load_until_stopped, raising=InterruptedError)
    assert counts() == before


@pytest.fixture
def watchdog():
    """Ends the process if the test hangs: a call that held the lock while waiting for another
    thread of this process would wait for ever, and nothing in Python could end it."""
    faulthandler.dump_traceback_later(120, exit=True, file=sys.__stderr__)
    yield
    faulthandler.cancel_dump_traceback_later()


@pytest.mark.parametrize("kind", ["min", "mcf"])
def test_fifo_fed_by_another_thread(kind, tmp_path, watchdog):
    # The other end of a FIFO is served by a thread of this process: the open and the reads must
    # let it run (holding the lock they waited for it for ever).
    network = pelmora.load_min_instance(NETWORK)
    data = pelmora.generate_multi_commodity_data(network, 3, 2, randomize_caps=True, seed=5)
    source = tmp_path / f"net.{kind}"
    if kind == "min":
        source.write_bytes(Path(NETWORK).read_bytes())
        load, view = pelmora.load_min_instance, lambda r: (r.supplies, r.arcs, r.capacities, r.weights)
    else:
        pelmora.save_multi_commodity_instance(str(source), network, data)
        load, view = pelmora.load_multi_commodity_instance, lambda r: (r.edges, r.commodity_capacities)
    fifo = str(tmp_path / "fifo")
    os.mkfifo(fifo)
    feeder = threading.Thread(target=lambda: Path(fifo).write_bytes(source.read_bytes()))
    feeder.start()
    through_fifo = load(fifo)
    feeder.join()
    assert view(through_fifo) == view(load(str(source)))


def test_fifo_drained_by_another_thread(tmp_path, watchdog):
    network = pelmora.load_min_instance(NETWORK)
    data = pelmora.generate_multi_commodity_data(network, 40, 0, randomize_costs=True, seed=3)
    fifo = str(tmp_path / "fifo")
    os.mkfifo(fifo)
    received = []
    reader = threading.Thread(target=lambda: received.append(Path(fifo).read_bytes()))
    reader.start()
    pelmora.save_multi_commodity_instance(fifo, network, data)
    reader.join()
    pelmora.save_multi_commodity_instance(str(tmp_path / "file.mcf"), network, data)
    assert received == [(tmp_path / "file.mcf").read_bytes()]
