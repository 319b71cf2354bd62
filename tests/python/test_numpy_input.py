"""Series conversion: every accepted layout, dtype and shape gives the same answer."""

import re

import numpy as np
import pytest

import ovrel

F_NOTE = "fit: copied from F-contiguous to C-contiguous layout"
S_NOTE = "fit: copied from strided to contiguous layout"


def shifted_series(n_per=60, d=1, seed=3):
    rng = np.random.default_rng(seed)
    levels = [0.0, 6.0, -3.0, 2.0]
    blocks = [rng.normal(level, 0.5, size=(n_per, d)) for level in levels]
    return np.concatenate(blocks).astype(np.float64)


BASE_1D = shifted_series()[:, 0]
BASE_2D = shifted_series(d=3)


def fit_notes(x, estimator=None):
    estimator = estimator or ovrel.Pelt()
    r = estimator.fit(x).predict(n_bkps=3)
    return r.breakpoints, [n for n in r.diagnostics.notes if n.startswith("fit: ")]


def unaligned(a):
    raw = np.zeros(a.nbytes + 1, dtype=np.uint8)
    out = raw[1:].view(a.dtype).reshape(a.shape)
    out[...] = a
    assert not out.flags.aligned
    return out


def read_only(a):
    a = a.copy(order="K")
    a.flags.writeable = False
    return a


def one_d_layouts(base):
    rev = base[::-1].copy()
    doubled = np.repeat(base, 2)
    holder = np.zeros((base.size, 3))
    holder[:, 1] = base
    return {
        "c": (base.copy(), []),
        "list": (base.tolist(), []),
        "tuple": (tuple(base.tolist()), []),
        "read_only": (read_only(base), []),
        "unaligned": (unaligned(base), []),
        "step_two": (doubled[::2], [S_NOTE]),
        "negative_stride": (rev[::-1], [S_NOTE]),
        "column_of_matrix": (holder[:, 1], [S_NOTE]),
        "memoryview": (memoryview(base.copy()), []),
    }


def two_d_layouts(base):
    transposed = np.ascontiguousarray(base.T)
    wide = np.zeros((base.shape[0] * 2, base.shape[1] * 2))
    wide[::2, ::2] = base
    return {
        "c": (base.copy(), []),
        "f": (np.asfortranarray(base), [F_NOTE]),
        "transpose": (transposed.T, [F_NOTE]),
        "strided": (wide[::2, ::2], [S_NOTE]),
        "negative_both": (base[::-1, ::-1].copy()[::-1, ::-1], [S_NOTE]),
        "read_only_f": (read_only(np.asfortranarray(base)), [F_NOTE]),
        "unaligned": (unaligned(base), []),
        "nested_list": (base.tolist(), []),
    }


LAYOUTS = [(one_d_layouts, BASE_1D, name, ovrel.Pelt) for name in one_d_layouts(BASE_1D)] + [
    (two_d_layouts, BASE_2D, name, cls)
    for name in two_d_layouts(BASE_2D)
    for cls in (ovrel.Pelt, ovrel.Binseg, ovrel.Fpop)
]


@pytest.mark.parametrize("layouts, base, name, cls", LAYOUTS, ids=lambda v: getattr(v, "__name__", None))  # fmt: skip
@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_layouts_agree(layouts, base, name, cls, dtype):
    base = base.astype(dtype)
    expected, _ = fit_notes(base, cls())
    assert expected == [60, 120, 180, 240]
    x, notes = layouts(base)[name]
    assert fit_notes(x, cls()) == (expected, notes)


def test_single_column_and_single_row_matrices():
    column = BASE_1D.reshape(-1, 1)
    assert fit_notes(np.asfortranarray(column)) == ([60, 120, 180, 240], [])
    # Axes of length one impose nothing on contiguity.
    wide = np.zeros((BASE_1D.size, 4))
    wide[:, 0] = BASE_1D
    assert fit_notes(wide[:, :1]) == ([60, 120, 180, 240], [S_NOTE])


def test_mutating_the_input_after_fit_changes_nothing():
    x = BASE_1D.copy()
    p = ovrel.Pelt().fit(x)
    before = p.predict(n_bkps=3).breakpoints
    x[:] = 0.0
    del x
    assert p.predict(n_bkps=3).breakpoints == before


def test_nan_in_strided_input_reports_row_major_position():
    x = np.asfortranarray(BASE_2D.copy())
    x[2, 1] = np.nan
    with pytest.raises(ValueError, match=r"first_missing_index=7$"):
        ovrel.Pelt().fit(x)


def test_broadcast_view_is_copied_once_and_a_huge_one_is_a_memory_error():
    r = ovrel.Pelt().fit(np.broadcast_to(np.array([1.0, 2.0]), (50, 2))).predict(pen=1.0)
    assert (r.breakpoints, r.diagnostics.notes[-1]) == ([50], S_NOTE)
    with pytest.raises(MemoryError):
        ovrel.Pelt().fit(np.broadcast_to(np.array([1.0]), (2**59,)))


def masked(values, hidden):
    out = np.ma.masked_array(values, mask=np.zeros(values.shape, dtype=bool))
    out[hidden] = np.ma.masked
    return out


MISSING = "missing data encountered with MissingPolicy::Error: "


@pytest.mark.parametrize(
    "x, counts",
    [
        # The values under the mask are wild: read as data they would make two changes.
        (masked(np.where(np.arange(240) < 20, 1e6, BASE_1D), slice(0, 20)), "20, 20, 0, 0"),
        # Masked and NaN are counted once each; a NaN under the mask once.
        (masked(np.where(np.arange(240) == 9, np.nan, BASE_1D), [3, 9]), "2, 2, 1, 3"),
        # Row-major position through a column-reversed view: (7, 2) becomes (7, 0).
        (masked(BASE_2D, (7, 2))[:, ::-1], "1, 1, 0, 21"),
        (masked(BASE_1D.astype(np.float32), -1), "1, 1, 0, 239"),
    ],
)
@pytest.mark.parametrize("run", ["fit", "detect_offline"])
def test_masked_elements_are_missing(x, counts, run):
    fields = "effective_missing_count={}, mask_missing_count={}, nan_missing_count={}, "
    expected = MISSING + (fields + "first_missing_index={}").format(*counts.split(", "))
    with pytest.raises(ValueError, match=f"^{re.escape(expected)}$"):
        ovrel.Pelt().fit(x) if run == "fit" else ovrel.detect_offline(x)


def test_masked_array_with_nothing_masked_reads_as_before():
    plain = ovrel.Pelt().fit(BASE_2D).predict(pen=10.0)
    for mask in (False, np.zeros(BASE_2D.shape, dtype=bool)):
        again = ovrel.Pelt().fit(np.ma.masked_array(BASE_2D, mask=mask)).predict(pen=10.0)
        assert (again.breakpoints, again.scores) == (plain.breakpoints, plain.scores)
        assert again.diagnostics.notes == plain.diagnostics.notes
