"""A pending signal stops a run that holds no interpreter lock: the call raises the handler's
exception. Each long run below would take minutes if nothing stopped it."""

import signal
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import ovrel

# Alternating means every 500 points: known k is searched with unpruned quadratic probes, L1
# PELT under a huge penalty prunes nothing (and each cost reads its whole segment), Dynp fills k
# rows of a quadratic table.
LONG_RUNS = {
    "pelt_l2_known_k": "ovrel.Pelt().fit(x).predict(n_bkps=20)",
    "pelt_l1": 'ovrel.Pelt(model="l1_median").fit(x).predict(pen=1e9)',
    "dynp": 'ovrel.detect_offline(x, detector="dynp", stopping={"n_bkps": 60})',
}

CHILD = """
import sys
import numpy as np
import ovrel

x = np.repeat(np.tile([0.0, 3.0], 20), 500) + np.random.default_rng(1).normal(size=20000)
print("running", flush=True)
try:
    {run}
except KeyboardInterrupt:
    print("interrupted", flush=True)
    sys.exit(0)
print("finished", flush=True)
"""


@pytest.mark.parametrize("run", LONG_RUNS.values(), ids=LONG_RUNS.keys())
def test_sigint_stops_a_long_run_with_keyboard_interrupt(run):
    child = subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(CHILD).format(run=run)],
        stdout=subprocess.PIPE,
        text=True,
    )
    try:
        assert child.stdout.readline() == "running\n"
        try:
            child.communicate(timeout=1.0)
        except subprocess.TimeoutExpired:
            pass
        child.send_signal(signal.SIGINT)
        # Generous for a loaded machine: the poll asks every few milliseconds of work.
        out, _ = child.communicate(timeout=5.0)
    finally:
        if child.poll() is None:
            child.kill()
            child.communicate()
    assert (out, child.returncode) == ("interrupted\n", 0)


class Stop(Exception):
    pass


@pytest.fixture
def alarm_raises_stop():
    def handler(signum, frame):
        raise Stop

    previous = signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, 0.3)
    yield
    signal.setitimer(signal.ITIMER_REAL, 0)
    signal.signal(signal.SIGALRM, previous)


@pytest.mark.usefixtures("alarm_raises_stop")
def test_the_handlers_own_exception_ends_a_batch_update():
    detector = ovrel.Bocpd(hazard=1 / 250)
    with pytest.raises(Stop):
        detector.update_many(np.random.default_rng(2).normal(size=200_000))


@pytest.mark.usefixtures("alarm_raises_stop")
def test_a_handler_that_returns_lets_the_run_finish():
    calls = []
    signal.signal(signal.SIGALRM, lambda signum, frame: calls.append(signum))
    x = np.repeat([0.0, 4.0, 0.0], 2000) + np.random.default_rng(3).normal(size=6000)
    p = ovrel.Pelt().fit(x)
    # About two seconds of unpruned probes: the handler runs while the search goes on.
    assert p.predict(n_bkps=2).breakpoints == [2000, 4000, 6000]
    assert calls == [signal.SIGALRM]
