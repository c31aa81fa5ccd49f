"""Long calls let other Python threads run, and Ctrl-C stops them.

Each signal case runs in a child interpreter (pytest keeps its own SIGINT handler), sends SIGINT
to its own process as a terminal would, and reports what the call raised, how long after the
signal, the open descriptors before and after, and whether the module still works afterwards.
"""

import faulthandler
import json
import os
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

def interrupt(when=lambda: time.sleep(0.5)):
    def send():
        when()
        sent.append(time.monotonic())
        os.kill(os.getpid(), signal.SIGINT)
    threading.Thread(target=send, daemon=True).start()

def descriptors():
    return len(os.listdir("/proc/self/fd"))

release = threading.Event()  # a FIFO's other end lets go once the call has stopped
def other_end(flags, act):
    def run():
        fd = os.open(fifo, flags)
        act(fd)
        release.wait()
        os.close(fd)
    thread = threading.Thread(target=run)
    thread.start()
    return thread

big = pelmora.generate_multi_commodity_data(network, 400, 0, randomize_caps=True, randomize_costs=True)
target = os.path.join(scratch, "big.mcf")
before = descriptors()
helper = None
if case == "balance":
    # Until the signal, whatever the balancer's speed: the signal may land between two calls.
    def call():
        while True:
            pelmora.split_supplies_spread({1: 10**12, 2: -10**12, 3: 10**12, 4: -10**12}, 10, 7)
elif case == "min open":
    call = lambda: pelmora.load_min_instance(fifo)
elif case == "mcf open":
    call = lambda: pelmora.load_multi_commodity_instance(fifo)
elif case == "save open":
    call = lambda: pelmora.save_multi_commodity_instance(fifo, network, big)
elif case == "load stalled":  # a large part of the file arrives, then nothing more
    text = open(sys.argv[3], "rb").read() + b"c more to come\n" * 100_000
    helper = other_end(os.O_WRONLY, lambda fd: os.write(fd, text))
    call = lambda: pelmora.load_min_instance(fifo)
elif case == "save stalled":  # the reader takes a few buffers, then stops reading
    helper = other_end(os.O_RDONLY, lambda fd: os.read(fd, 1 << 18))
    call = lambda: pelmora.save_multi_commodity_instance(fifo, network, big)
elif case == "save":  # the signal comes once the file has started to grow
    def started():
        while not os.path.exists(target) or os.path.getsize(target) == 0:
            time.sleep(0.001)
    call = lambda: pelmora.save_multi_commodity_instance(target, network, big)
if case == "save":
    interrupt(started)
else:
    interrupt()
try:
    call()
    raised = None
except BaseException as error:
    raised = type(error).__name__
stopped = time.monotonic()
release.set()
if helper:
    helper.join()
partial = os.path.getsize(target) if case == "save" else None
whole = os.path.join(scratch, "whole.mcf")
pelmora.save_multi_commodity_instance(whole, network, big)
usable = (pelmora.load_multi_commodity_instance(whole).num_commodities == 400
          and pelmora.split_supplies_uniform({1: 4, 2: -4}, 2) == {1: [2, 2], 2: [-2, -2]})
print(json.dumps({"raised": raised, "latency": stopped - sent[0], "before": before, "after": descriptors(),
                  "usable": usable, "partial": partial, "whole": os.path.getsize(whole)}))
"""

CASES = ["balance", "min open", "mcf open", "save open", "load stalled", "save stalled", "save"]


@pytest.mark.parametrize("case", CASES)
def test_sigint_stops_the_call(case, tmp_path):
    done = subprocess.run([sys.executable, "-c", CHILD, case, str(tmp_path), NETWORK],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    report = json.loads(done.stdout)
    assert report["raised"] == "KeyboardInterrupt"
    # Every one of these calls would go on for minutes or for ever: the signal ended it.
    assert report["latency"] < 5
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


def counts_while(call):
    """How many steps a counting thread makes while `call` runs, per second, and while this
    thread sleeps as long, per second."""
    steps = [0]
    stop = threading.Event()

    def count():
        while not stop.is_set():
            steps[0] += 1

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-4)  # a call holding the lock would leave the counter a slice at most
    counter = threading.Thread(target=count)
    counter.start()
    try:
        windows = []
        for step in (call, lambda: time.sleep(windows[0][1])):
            first, start = steps[0], time.perf_counter()
            step()
            windows.append((steps[0] - first, time.perf_counter() - start))
    finally:
        stop.set()
        counter.join()
        sys.setswitchinterval(old)
    return [counted / seconds for counted, seconds in windows]


@pytest.mark.parametrize("work", ["load", "generate"])
def test_other_threads_run_during_a_long_call(work, large_network):
    instance = pelmora.load_min_instance(large_network)
    call = {"load": lambda: pelmora.load_min_instance(large_network),
            "generate": lambda: pelmora.generate_multi_commodity_data(
                instance, 20, 0, randomize_caps=True, randomize_costs=True)}[work]
    during, asleep = counts_while(call)
    # Holding the lock, the call would leave the counter a slice or two of 0.1 ms at most.
    assert during > asleep / 10


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
