import json
import math
import sys

import numpy as np
import pytest

import ovrel

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402


@pytest.fixture(autouse=True)
def close_figures():
    yield
    plt.close("all")


def result(n=10, d=1, breakpoints=(5, 10), segments=True):
    bps = list(breakpoints)
    diagnostics = {"n": n, "d": d, "schema_version": 1, "notes": [], "warnings": [], "algorithm": "pelt", "cost_model": "l2_mean", "repro_mode": "Balanced"}  # fmt: skip
    doc = {
        "breakpoints": bps,
        "change_points": [b for b in bps if b < n],
        "diagnostics": diagnostics,
    }
    if segments:
        doc["segments"] = [
            {"start": s, "end": e, "mean": [float(i + j) for j in range(d)], "variance": None, "count": e - s, "missing_count": 0}
            for i, (s, e) in enumerate(zip([0] + bps[:-1], bps))
        ]  # fmt: skip
    return ovrel.OfflineChangePointResult.from_json(json.dumps(doc))


def legend_texts(ax):
    legend = ax.get_legend()
    return [t.get_text() for t in legend.get_texts()] if legend else []


def test_univariate_from_segments():
    fig = result().plot()
    assert fig.get_size_inches().tolist() == [10.0, 3.5]
    (ax,) = fig.axes
    assert legend_texts(ax) == ["signal", "change-point"]
    line, vline = ax.get_lines()
    assert line.get_ydata().tolist() == [0.0] * 5 + [1.0] * 5
    assert line.get_linewidth() == 1.5
    assert (vline.get_xdata()[0], vline.get_color(), vline.get_linestyle()) == (5, "crimson", "--")
    assert ax.get_xlabel() == "t"


def test_multivariate_from_segments():
    fig = result(d=3).plot(title="T")
    assert fig.get_size_inches().tolist() == [10.0, 8.25]
    axes = fig.axes
    assert [legend_texts(ax) for ax in axes] == [["signal[0]", "change-point"], ["signal[1]"], ["signal[2]"]]  # fmt: skip
    assert [ax.get_ylabel() for ax in axes] == ["x[0]", "x[1]", "x[2]"]
    assert [ax.get_xlabel() for ax in axes] == ["", "", "t"]
    assert axes[0].get_title() == "T"
    assert axes[0].get_shared_x_axes().joined(axes[0], axes[2])


def test_values_and_options():
    values = np.arange(10.0)
    fig = result().plot(
        values, breakpoint_color="blue", breakpoint_style=":", line_width=2, show_legend=False
    )
    ax = fig.axes[0]
    assert ax.get_legend() is None
    assert ax.get_lines()[0].get_ydata().tolist() == values.tolist()
    assert ax.get_lines()[0].get_linewidth() == 2.0
    assert ax.get_lines()[1].get_color() == "blue"
    assert len(result(d=2).plot(np.zeros((10, 2))).axes) == 2


def test_given_axes_and_no_change_points():
    fig, ax = plt.subplots()
    assert result().plot(ax=ax) is fig
    assert legend_texts(ax) == ["signal", "change-point"]
    ax = result(breakpoints=(10,)).plot().axes[0]
    assert len(ax.get_lines()) == 1
    assert legend_texts(ax) == ["signal"]


@pytest.mark.parametrize("width", [0, -1, math.nan, math.inf])
def test_line_width_checked_before_import(width, monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib.pyplot", None)
    with pytest.raises(
        ValueError, match=r"^plot\(\) requires line_width to be a finite positive float$"
    ):
        result().plot(line_width=width)


def test_missing_matplotlib(monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib.pyplot", None)
    with pytest.raises(ImportError) as info:
        result().plot()
    message = str(info.value)
    assert message.startswith(
        "plot() requires optional dependency 'matplotlib'. Install with: python -m pip install matplotlib ("
    )
    assert message.endswith(")") and "matplotlib.pyplot" in message


# Refusals and argument types are data rows of tests/data/python_texts.txt.
