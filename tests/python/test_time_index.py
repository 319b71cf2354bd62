import numpy as np
import pytest

from ovrel._ovrel_rs_testing import parse_series_with_time as parse

STRIDED = "copied time index from strided to contiguous layout"
X3 = np.arange(3.0)


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


# The order of the notes and the exact refusals are in tests/data/python_time_index_texts.txt.
