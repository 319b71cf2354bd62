"""Random arrays and objects through the series conversion: a clean error or a correct copy."""

import numpy as np
import pytest

import ovrel

DTYPES = [
    "<f8",
    ">f8",
    "<f4",
    ">f4",
    "f2",
    "i8",
    "u1",
    "?",
    "c16",
    "O",
    "U3",
    "M8[ns]",
    [("a", "f8")],
]


def expected_outcome(x):
    """The exception type and message the conversion must raise, or None for acceptance."""
    try:
        a = np.asarray(x)
    except Exception as e:  # NumPy's own refusal passes through unchanged
        return type(e), None
    if a.ndim not in (1, 2):
        return ValueError, f"expected shape (n,) or (n, d), got ndim={a.ndim}"
    if a.dtype not in (np.dtype("float64"), np.dtype("float32")) or not a.dtype.isnative:
        return TypeError, f"expected float32 or float64, got {a.dtype}"
    if a.shape[0] == 0:
        return ValueError, "n must be >= 1"
    if a.ndim == 2 and a.shape[1] == 0:
        return ValueError, "d must be >= 1"
    flat = np.ascontiguousarray(a).ravel()
    if np.isinf(flat).any():
        return ValueError, "non-finite value encountered"
    if np.isnan(flat).any() or np.ma.is_masked(x):  # a masked element is missing too
        return ValueError, "missing data encountered"
    return None


def fingerprint(x):
    r = ovrel.Pelt(min_segment_len=1).fit(x).predict(pen=0.25)
    notes = [n for n in r.diagnostics.notes if not n.startswith("fit: ")]
    return r.breakpoints, notes


def random_array(rng):
    dtype = DTYPES[rng.integers(len(DTYPES))]
    ndim = int(rng.choice([0, 1, 1, 2, 2, 2, 3]))
    shape = tuple(int(rng.integers(0, 5)) for _ in range(ndim))
    base_shape = tuple(s * int(rng.integers(1, 3)) for s in shape)
    values = rng.normal(size=base_shape) * 10.0 ** int(rng.integers(-3, 4))
    if values.size and rng.random() < 0.1:
        values.flat[rng.integers(values.size)] = rng.choice([np.nan, np.inf, -np.inf])
    with np.errstate(invalid="ignore"):
        try:
            a = values.astype(dtype)
        except (TypeError, ValueError):
            a = np.zeros(base_shape, dtype=dtype)
    a = np.asarray(a)
    if ndim:
        slices = tuple(slice(None, None, int(rng.choice([1, 2, -1, -2]))) for _ in range(ndim))
        a = a[slices]
        a = a[tuple(slice(0, s) for s in shape)]
    if ndim == 2 and rng.random() < 0.3:
        a = a.T
    if rng.random() < 0.2 and a.dtype.kind in "fiuc" and a.size:
        raw = np.zeros(a.nbytes + 1, dtype=np.uint8)
        b = raw[1:].view(a.dtype).reshape(a.shape)
        b[...] = a
        a = b
    if rng.random() < 0.2 and ndim:
        a = a.copy(order="K")
        a.flags.writeable = False
    return a


class RaisingArray:
    def __array__(self, *args, **kwargs):
        raise RuntimeError("no array here")


GARBAGE = [
    None,
    "text",
    b"bytes",
    {"a": 1.0},
    {1.0, 2.0},
    object(),
    RaisingArray(),
    [1.0, [2.0]],
    [[1.0], [2.0, 3.0]],
    [[[1.0]]],
    2**80,
    [2**80],
    1.0,
    [None, 1.0],
    [1.0, "x"],
    range(5),
    iter([1.0]),
    np.float64(1.0),
    np.ma.masked_array([1.0, 2.0], mask=[0, 1]),
    memoryview(b"abcd"),
    [complex(1, 2)],
]


@pytest.mark.parametrize("x", GARBAGE, ids=lambda v: type(v).__name__)
def test_garbage_objects_raise_cleanly(x):
    expected = expected_outcome(x)
    if expected is None:
        ovrel.Pelt().fit(x)
        return
    exc, message = expected
    with pytest.raises(exc) as info:
        ovrel.Pelt().fit(x)
    if message is not None:
        assert str(info.value).startswith(message)


@pytest.mark.parametrize("seed", range(8))
def test_random_arrays(seed):
    rng = np.random.default_rng(seed)
    for _ in range(250):
        a = random_array(rng)
        expected = expected_outcome(a)
        if expected is None:
            assert fingerprint(a) == fingerprint(np.ascontiguousarray(a)), (
                a.dtype,
                a.shape,
                a.strides,
            )
            continue
        exc, message = expected
        with pytest.raises(exc) as info:
            ovrel.Pelt().fit(a)
        assert str(info.value).startswith(message), (a.dtype, a.shape, a.strides)
