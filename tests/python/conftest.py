import json
import os

import numpy as np

os.environ.setdefault("MPLBACKEND", "Agg")

# Three level shifts of 60 under noise, shared by the detection tests and the data rows.
X = np.r_[np.zeros(60), np.full(60, 4.0), np.zeros(60)] + np.random.default_rng(7).normal(
    scale=0.5, size=180
)
# An online step result's fields, all but the measured latency.
FIELDS = ["t", "p_change", "alert", "alert_reason", "run_length_mode", "run_length_mean"]


def fields(r):
    return tuple(getattr(r, f) for f in FIELDS)


def stored_state(det):
    return json.loads(bytes(det.save_state(format="json")["payload"]))
