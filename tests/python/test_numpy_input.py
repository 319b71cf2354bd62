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


@pytest.mark.parametrize("name", list(one_d_layouts(BASE_1D)))
@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_one_dimensional_layouts_agree(name, dtype):
    base = BASE_1D.astype(dtype)
    expected, _ = fit_notes(base)
    x, notes = one_d_layouts(base)[name]
    got, got_notes = fit_notes(x)
    assert got == expected == [60, 120, 180, 240]
    assert got_notes == notes


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


@pytest.mark.parametrize("name", list(two_d_layouts(BASE_2D)))
@pytest.mark.parametrize("dtype", [np.float64, np.float32])
@pytest.mark.parametrize("cls", [ovrel.Pelt, ovrel.Binseg, ovrel.Fpop])
def test_two_dimensional_layouts_agree(name, dtype, cls):
    base = BASE_2D.astype(dtype)
    expected, _ = fit_notes(base, cls())
    x, notes = two_d_layouts(base)[name]
    got, got_notes = fit_notes(x, cls())
    assert got == expected == [60, 120, 180, 240]
    assert got_notes == notes


def test_single_column_and_single_row_matrices():
    column = BASE_1D.reshape(-1, 1)
    assert fit_notes(np.asfortranarray(column)) == ([60, 120, 180, 240], [])
    # Axes of length one impose nothing on contiguity.
    wide = np.zeros((BASE_1D.size, 4))
    wide[:, 0] = BASE_1D
    assert fit_notes(wide[:, :1]) == ([60, 120, 180, 240], [S_NOTE])


def test_float32_is_not_upcast():
    r = ovrel.Pelt().fit(BASE_1D.astype(np.float32)).predict(pen=5.0)
    assert not any("upcast" in n for n in r.diagnostics.notes)


def test_mutating_the_input_after_fit_changes_nothing():
    x = BASE_1D.copy()
    p = ovrel.Pelt().fit(x)
    before = p.predict(n_bkps=3).breakpoints
    x[:] = 0.0
    del x
    assert p.predict(n_bkps=3).breakpoints == before


@pytest.mark.parametrize(
    "x, exc, message",
    [
        ([1, 2, 3], TypeError, "expected float32 or float64, got int64"),
        (np.arange(4, dtype=np.float16), TypeError, "expected float32 or float64, got float16"),
        (np.array([True, False]), TypeError, "expected float32 or float64, got bool"),
        (np.arange(4.0).astype(">f8"), TypeError, "expected float32 or float64, got >f8"),
        (
            np.arange(4.0, dtype=np.float32).astype(">f4"),
            TypeError,
            "expected float32 or float64, got >f4",
        ),
        (
            np.arange(4.0).astype(np.complex128),
            TypeError,
            "expected float32 or float64, got complex128",
        ),
        (
            np.zeros(3, dtype=[("a", "f8")]),
            TypeError,
            r"expected float32 or float64, got \[\('a', '<f8'\)\]",
        ),
        (["a", "b"], TypeError, "expected float32 or float64, got <U1"),
        (np.zeros((2, 2, 2)), ValueError, r"expected shape \(n,\) or \(n, d\), got ndim=3"),
        (3.0, ValueError, r"expected shape \(n,\) or \(n, d\), got ndim=0"),
        (
            np.zeros((2, 2, 2), dtype=np.int8),
            ValueError,
            r"expected shape \(n,\) or \(n, d\), got ndim=3",
        ),
        ([], ValueError, "n must be >= 1"),
        (np.zeros((0, 3)), ValueError, "n must be >= 1"),
        (np.zeros((5, 0)), ValueError, "d must be >= 1"),
        (
            [1.0, float("nan"), 2.0],
            ValueError,
            r"missing data encountered with MissingPolicy::Error: effective_missing_count=1, mask_missing_count=0, "
            r"nan_missing_count=1, first_missing_index=1",
        ),
        (
            [[1.0, 2.0], [3.0, float("-inf")]],
            ValueError,
            r"non-finite value encountered: index=3, value=-inf; TimeSeriesView does not accept infinities",
        ),
        (
            np.array([1.0, np.inf], dtype=np.float32),
            ValueError,
            r"non-finite value encountered: index=1, value=\+inf; TimeSeriesView does not accept infinities",
        ),
    ],
)
def test_refusals(x, exc, message):
    with pytest.raises(exc, match=f"^{message}$"):
        ovrel.Pelt().fit(x)


def test_nan_in_strided_input_reports_row_major_position():
    x = np.asfortranarray(BASE_2D.copy())
    x[2, 1] = np.nan
    with pytest.raises(ValueError, match=r"first_missing_index=7$"):
        ovrel.Pelt().fit(x)


def test_array_like_errors_pass_through_unchanged():
    class Bad:
        def __array__(self, *args, **kwargs):
            raise KeyError("from array")

    with pytest.raises(KeyError, match="from array"):
        ovrel.Pelt().fit(Bad())
    with pytest.raises(ValueError):
        ovrel.Pelt().fit([[1.0, 2.0], [3.0]])


def test_broadcast_view_is_copied_once():
    x = np.broadcast_to(np.array([1.0, 2.0]), (50, 2))
    assert x.strides[0] == 0
    r = ovrel.Pelt().fit(x).predict(pen=1.0)
    assert r.breakpoints == [50]
    assert r.diagnostics.notes[-1] == S_NOTE


def test_huge_broadcast_view_is_a_memory_error():
    x = np.broadcast_to(np.array([1.0]), (2**59,))
    with pytest.raises(MemoryError):
        ovrel.Pelt().fit(x)


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
