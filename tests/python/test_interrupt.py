"""A pending signal stops a run that holds no interpreter lock: the call raises the handler's
exception. Each long run below would take minutes if nothing stopped it."""

import signal
import subprocess
import sys

import pytest

# A job started in the background (a shell's `&`, nohup, some CI runners) ignores SIGINT, and its
# children inherit that: the child installs Python's own handler before the case sets its own.
CHILD = """
import signal, sys
import numpy as np
import ovrel

signal.signal(signal.SIGINT, signal.default_int_handler)
calls = []
{setup}
x = np.repeat(np.tile([0.0, 3.0], 20), 500) + np.random.default_rng(1).normal(size=20000)
print("running", flush=True)
try:
    {run}
except (KeyboardInterrupt, LookupError) as e:
    print(type(e).__name__, flush=True)
    sys.exit(0)
print("finished", calls, flush=True)
"""
# Alternating means every 500 points: known k is searched with unpruned quadratic probes, L1
# PELT under a huge penalty prunes nothing (and each cost reads its whole segment), Dynp fills k
# rows of a quadratic table. A handler's own exception ends a batch update; a handler that
# returns lets the run (about two seconds of unpruned probes) finish.
RUNS = {
    "pelt_l2_known_k": ("", "ovrel.Pelt().fit(x).predict(n_bkps=20)", "KeyboardInterrupt"),
    "pelt_l1": ("", 'ovrel.Pelt(model="l1_median").fit(x).predict(pen=1e9)', "KeyboardInterrupt"),
    "dynp": ("", 'ovrel.detect_offline(x, detector="dynp", stopping={"n_bkps": 60})', "KeyboardInterrupt"),
    # Drawing 2**62 intervals on 3,000 points takes most of a minute before the list is complete;
    # the child may not grow by more than 512 MB meanwhile.
    "wbs_drawing": (
        "import resource; size = int(open('/proc/self/status').read().split('VmSize:')[1].split()[0]) * 1024; "
        "resource.setrlimit(resource.RLIMIT_AS, (size + (512 << 20),) * 2)",
        'ovrel.detect_offline(x[:3000], pipeline={"detector": {"kind": "wbs", "num_intervals": 2**62}})',
        "KeyboardInterrupt",
    ),
    "handler_raises": (
        "signal.signal(signal.SIGINT, lambda s, f: [][0])",
        "ovrel.Bocpd(hazard=1 / 250).update_many(np.tile(x, 10))",
        "IndexError",
    ),
    "handler_returns": (
        "signal.signal(signal.SIGINT, lambda s, f: calls.append(s))",
        "calls.append(ovrel.Pelt().fit(np.repeat([0.0, 4.0, 0.0], 2000)"
        " + np.random.default_rng(3).normal(size=6000)).predict(n_bkps=2).breakpoints)",
        "finished [2, [2000, 4000, 6000]]",
    ),
}  # fmt: skip


@pytest.mark.parametrize("setup, run, printed", RUNS.values(), ids=RUNS.keys())
def test_sigint_during_a_long_run(setup, run, printed):
    code = CHILD.format(setup=setup, run=run)
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "running\n"
        try:
            child.communicate(timeout=0.5)
        except subprocess.TimeoutExpired:
            pass
        child.send_signal(signal.SIGINT)
        # Generous for a loaded machine: the poll asks every few milliseconds of work.
        out, _ = child.communicate(timeout=10.0)
    finally:
        if child.poll() is None:
            child.kill()
            child.communicate()
    assert (out, child.returncode) == (printed + "\n", 0)
