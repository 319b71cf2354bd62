"""Quick start: find the shifts in a synthetic series with Pelt and Binseg, then plot them.

Run from anywhere: the figure is written next to this script as quickstart.png.
"""

from pathlib import Path

import numpy as np

import ovrel

# 400 points whose mean moves three times: at 100, 250 and 320.
rng = np.random.default_rng(7)
levels = [(100, 0.0), (150, 4.0), (70, -1.5), (80, 2.5)]
x = np.concatenate([rng.normal(mean, 1.0, size=length) for length, mean in levels])

pelt = ovrel.Pelt(model="l2", min_segment_len=5).fit(x)
by_penalty = pelt.predict(pen=3.0 * np.log(x.size))
print(pelt)
print("Pelt, pen=3 ln n:  ", by_penalty.breakpoints)

binseg = ovrel.Binseg(model="l2", min_segment_len=5).fit(x)
by_count = binseg.predict(n_bkps=3)
print("Binseg, n_bkps=3:  ", by_count.breakpoints)
print(by_penalty.diagnostics)

try:
    import matplotlib
except ImportError:
    print("matplotlib is not installed; skipping the plot")
else:
    matplotlib.use("Agg")
    figure = by_penalty.plot(x, title="ovrel quick start: Pelt over the L2 cost")
    out = Path(__file__).resolve().with_name("quickstart.png")
    figure.savefig(out, dpi=100)
    print("plot written to", out)
