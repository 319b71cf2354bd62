import sys

import numpy as np
import pytest

import ovrel  # noqa: F401  (imports the module and, under OVREL_TEST_HOOKS, its test entries)

hooks = sys.modules["ovrel._ovrel_rs_testing"]
parse = hooks.parse_series_with_time
STRIDED = "copied time index from strided to contiguous layout"
X3 = np.arange(3.0)


def test_no_public_name():
    assert not any("time" in name for name in ovrel.__all__)


@pytest.mark.parametrize(
    "index, times, notes",
    [
        (np.array([5, -1, 7]), [5, -1, 7], []),
        (np.arange(6, dtype=np.int64)[::2], [0, 2, 4], [STRIDED]),
        (np.arange(3, dtype=np.int64)[::-1], [2, 1, 0], [STRIDED]),
        (np.array([0, 1, 2], dtype="datetime64[ns]"), [0, 1, 2], []),
        (np.array(["2020-01-01", "1969-12-31T23:59:59.999999999", "NaT"], dtype="datetime64[ns]")[::-1], [-(2**63), -1, 1577836800 * 10**9], [STRIDED]),
    ],
)  # fmt: skip
def test_time_index_is_read_as_nanoseconds(index, times, notes):
    values, read, read_notes = parse(X3, index)
    assert (values, read, read_notes) == ([0.0, 1.0, 2.0], times, notes)


def test_time_index_note_follows_the_layout_note():
    _, _, notes = parse(np.arange(6.0)[::2], np.arange(6)[::2])
    assert notes == ["copied from strided to contiguous layout", STRIDED]


@pytest.mark.parametrize(
    "x, index, exc, message",
    [
        (X3, [0, 1, 2], TypeError, "expected numpy.ndarray for time index"),
        (X3, np.zeros((3, 1), dtype=np.int64), ValueError, "time index must be 1D with length n=3, got ndim=2"),
        (X3, np.array(3), ValueError, "time index must be 1D with length n=3, got ndim=0"),
        (X3, np.arange(4), ValueError, "time index length mismatch: got 4, expected n=3"),
        (X3, np.arange(3, dtype=np.int32), TypeError, "expected int64 or datetime64\\[ns\\] for time index, got int32"),
        (X3, np.arange(3, dtype=">i8"), TypeError, "expected int64 or datetime64\\[ns\\] for time index, got >i8"),
        (X3, np.arange(3).astype("datetime64[s]"), TypeError, "expected int64 or datetime64\\[ns\\] for time index, got datetime64\\[s\\]"),
        # values first, then the time index, then the validation
        (np.arange(3), "not an array", TypeError, "expected float32 or float64, got int64"),
        (np.array([1.0, np.nan, 2.0]), np.arange(2), ValueError, "time index length mismatch: got 2, expected n=3"),
        (np.array([1.0, np.inf, 2.0]), np.arange(3), ValueError, "non-finite value encountered: index=1, value=\\+inf; TimeSeriesView does not accept infinities"),
        (np.zeros(0), np.zeros(0, dtype=np.int64), ValueError, "n must be >= 1"),
    ],
)  # fmt: skip
def test_time_index_refusals(x, index, exc, message):
    with pytest.raises(exc, match=f"^{message}$"):
        parse(x, index)
