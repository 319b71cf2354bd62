"""Streaming: watch a stream for a level shift with Bocpd, save its state, resume from it.

The stream arrives in batches of 100; update_many returns one step result per value. After 300
readings the detector's state goes to a checkpoint file, and a new detector with the same
configuration resumes from that file exactly where the first one stopped: it reports the same
steps as a detector that was never interrupted.
"""

import tempfile
from pathlib import Path

import numpy as np

import ovrel

# 600 readings around 10.0 (spread 1.0) whose level jumps to 15.0 at reading 380.
rng = np.random.default_rng(11)
stream = np.concatenate([rng.normal(10.0, 1.0, size=380), rng.normal(15.0, 1.0, size=220)])
BASELINE, SPREAD = 10.0, 1.0


def make_detector():
    # The default priors suit values near 0 with unit spread, so the readings are standardised
    # with the known baseline before they are fed.
    return ovrel.Bocpd(hazard=1 / 250, alert_policy={"threshold": 0.4, "cooldown_steps": 20})


def watch(detector, readings):
    steps = detector.update_many((readings - BASELINE) / SPREAD)
    for step in steps:
        if step.alert:
            print(f"  alert at reading {step.t}: {step.alert_reason}")
    return steps


detector = make_detector()
print(detector)
steps = []
for start in range(0, 300, 100):
    steps += watch(detector, stream[start : start + 100])

with tempfile.TemporaryDirectory() as folder:
    checkpoint = Path(folder) / "bocpd.ckpt"
    detector.save_state(path=checkpoint)
    print(f"state saved after 300 readings ({checkpoint.stat().st_size} bytes)")
    resumed = make_detector()
    resumed.load_state(path=checkpoint)

print("resumed from the checkpoint")
for start in range(300, stream.size, 100):
    steps += watch(resumed, stream[start : start + 100])
print("last step:", steps[-1])

# A detector that was never interrupted reports the same steps (the latency aside).
uninterrupted = make_detector().update_many((stream - BASELINE) / SPREAD)
same = all(
    (a.t, a.p_change, a.alert, a.run_length_mode) == (b.t, b.p_change, b.alert, b.run_length_mode)
    for a, b in zip(steps, uninterrupted)
)
print("same as an uninterrupted run:", same)
