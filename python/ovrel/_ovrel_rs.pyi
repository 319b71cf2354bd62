# Types of the compiled module, written by hand and checked against the built module by
# tests/python/test_typing.py (mypy.stubtest), so the two cannot drift apart.
#
# Extending it: one block per class, in the module's registration order (`__all__`). A class
# added to the module gets its block here, a new entry in `__all__` and nothing else; a new
# keyword of detect_offline goes into its signature. Result and state classes have no
# constructor: their blocks declare none.

from collections.abc import Sequence
from os import PathLike
from typing import Any, final

from numpy.typing import ArrayLike, NDArray

__all__ = [
    "__version__",
    "BuildInfo",
    "PruningStats",
    "SegmentStats",
    "Diagnostics",
    "OfflineChangePointResult",
    "OnlineStepResult",
    "Pelt",
    "Binseg",
    "Fpop",
    "Bocpd",
    "Cusum",
    "PageHinkley",
    "_BocpdState",
    "_CusumState",
    "_PageHinkleyState",
    "SmokeDetector",
    "detect_offline",
    "smoke_detect",
]

__version__: str

# A configuration dictionary: a dict (or dict subclass), checked key by key by the module.
_Config = dict[str, Any]

# ----- results (made by the module only) -----

@final
class BuildInfo:
    @property
    def git_sha(self) -> str | None: ...
    @property
    def git_dirty(self) -> bool | None: ...
    @property
    def rustc_version(self) -> str | None: ...
    @property
    def target_triple(self) -> str | None: ...
    @property
    def profile(self) -> str | None: ...
    @property
    def features(self) -> list[str] | None: ...
    @property
    def abi(self) -> str | None: ...

@final
class PruningStats:
    @property
    def candidates_considered(self) -> int: ...
    @property
    def candidates_pruned(self) -> int: ...

@final
class SegmentStats:
    @property
    def start(self) -> int: ...
    @property
    def end(self) -> int: ...
    @property
    def mean(self) -> list[float] | None: ...
    @property
    def variance(self) -> list[float] | None: ...
    @property
    def count(self) -> int: ...
    @property
    def missing_count(self) -> int: ...

@final
class Diagnostics:
    @property
    def n(self) -> int: ...
    @property
    def d(self) -> int: ...
    @property
    def schema_version(self) -> int: ...
    @property
    def engine_version(self) -> str | None: ...
    @property
    def runtime_ms(self) -> int | None: ...
    @property
    def notes(self) -> list[str]: ...
    @property
    def warnings(self) -> list[str]: ...
    @property
    def algorithm(self) -> str: ...
    @property
    def cost_model(self) -> str: ...
    @property
    def seed(self) -> int | None: ...
    @property
    def repro_mode(self) -> str: ...
    @property
    def thread_count(self) -> int | None: ...
    @property
    def blas_backend(self) -> str | None: ...
    @property
    def cpu_features(self) -> list[str] | None: ...
    @property
    def build(self) -> BuildInfo | None: ...
    # The parameters as json.loads reads them back, or None.
    @property
    def params_json(self) -> Any: ...
    @property
    def pruning_stats(self) -> PruningStats | None: ...
    @property
    def missing_policy_applied(self) -> str | None: ...
    @property
    def missing_fraction(self) -> float | None: ...
    @property
    def effective_sample_count(self) -> int | None: ...

@final
class OfflineChangePointResult:
    @property
    def breakpoints(self) -> list[int]: ...
    @property
    def change_points(self) -> list[int]: ...
    @property
    def scores(self) -> list[float] | None: ...
    @property
    def segments(self) -> list[SegmentStats] | None: ...
    @property
    def diagnostics(self) -> Diagnostics: ...
    def to_json(self) -> str: ...
    @staticmethod
    def from_json(payload: str) -> OfflineChangePointResult: ...
    # `ax` is a matplotlib Axes and the result its Figure; matplotlib is optional, so the stub
    # does not name its types.
    def plot(
        self,
        values: ArrayLike | None = None,
        *,
        ax: Any = None,
        title: str | None = None,
        breakpoint_color: str = "crimson",
        breakpoint_style: str = "--",
        line_width: float = 1.5,
        show_legend: bool = True,
    ) -> Any: ...

@final
class OnlineStepResult:
    @property
    def t(self) -> int: ...
    @property
    def p_change(self) -> float: ...
    @property
    def alert(self) -> bool: ...
    @property
    def alert_reason(self) -> str | None: ...
    @property
    def run_length_mode(self) -> int: ...
    @property
    def run_length_mean(self) -> float: ...
    @property
    def processing_latency_us(self) -> int | None: ...

# ----- offline estimators -----

@final
class Pelt:
    def __init__(
        self,
        model: str = "l2",
        min_segment_len: int = 2,
        jump: int = 1,
        max_change_points: int | None = None,
    ) -> None: ...
    def fit(self, x: ArrayLike) -> Pelt: ...
    def predict(
        self, *, pen: float | None = None, n_bkps: int | None = None
    ) -> OfflineChangePointResult: ...

@final
class Binseg:
    def __init__(
        self,
        model: str = "l2",
        min_segment_len: int = 2,
        jump: int = 1,
        max_change_points: int | None = None,
        max_depth: int | None = None,
    ) -> None: ...
    def fit(self, x: ArrayLike) -> Binseg: ...
    def predict(
        self, *, pen: float | None = None, n_bkps: int | None = None
    ) -> OfflineChangePointResult: ...

@final
class Fpop:
    def __init__(
        self, min_segment_len: int = 2, jump: int = 1, max_change_points: int | None = None
    ) -> None: ...
    def fit(self, x: ArrayLike) -> Fpop: ...
    def predict(
        self, *, pen: float | None = None, n_bkps: int | None = None
    ) -> OfflineChangePointResult: ...

# ----- online detectors -----

# A checkpoint path, and what load_state reads: envelope bytes (or a sequence of ints 0..255),
# the dictionary of save_state(format="json"), or a path.
_Path = str | PathLike[str]
_Checkpoint = bytes | bytearray | Sequence[int] | _Config

@final
class Bocpd:
    def __init__(
        self,
        model: str = "gaussian_nig",
        hazard: float | _Config | None = None,
        max_run_length: int = 2000,
        alert_policy: _Config | None = None,
        late_data_policy: str | _Config | None = None,
    ) -> None: ...
    def update(self, x_t: float, t_ns: int | None = None) -> OnlineStepResult: ...
    def update_many(self, x_batch: ArrayLike) -> list[OnlineStepResult]: ...
    def reset(self) -> None: ...
    def save_state(
        self, *, format: str = "bytes", path: _Path | None = None
    ) -> bytes | dict[str, Any] | None: ...
    def load_state(
        self,
        state: _Checkpoint | _BocpdState | None = None,
        *,
        format: str | None = None,
        path: _Path | None = None,
    ) -> None: ...

@final
class Cusum:
    def __init__(
        self,
        drift: float = 0.0,
        threshold: float = 8.0,
        target_mean: float = 0.0,
        alert_policy: _Config | None = None,
        late_data_policy: str | _Config | None = None,
    ) -> None: ...
    def update(self, x_t: float, t_ns: int | None = None) -> OnlineStepResult: ...
    def update_many(self, x_batch: ArrayLike) -> list[OnlineStepResult]: ...
    def reset(self) -> None: ...
    def save_state(
        self, *, format: str = "bytes", path: _Path | None = None
    ) -> bytes | dict[str, Any] | None: ...
    def load_state(
        self,
        state: _Checkpoint | _CusumState | None = None,
        *,
        format: str | None = None,
        path: _Path | None = None,
    ) -> None: ...

@final
class PageHinkley:
    def __init__(
        self,
        delta: float = 0.01,
        threshold: float = 8.0,
        initial_mean: float = 0.0,
        alert_policy: _Config | None = None,
        late_data_policy: str | _Config | None = None,
    ) -> None: ...
    def update(self, x_t: float, t_ns: int | None = None) -> OnlineStepResult: ...
    def update_many(self, x_batch: ArrayLike) -> list[OnlineStepResult]: ...
    def reset(self) -> None: ...
    def save_state(
        self, *, format: str = "bytes", path: _Path | None = None
    ) -> bytes | dict[str, Any] | None: ...
    def load_state(
        self,
        state: _Checkpoint | _PageHinkleyState | None = None,
        *,
        format: str | None = None,
        path: _Path | None = None,
    ) -> None: ...

# Opaque states: no constructor, attributes or methods.
@final
class _BocpdState: ...

@final
class _CusumState: ...

@final
class _PageHinkleyState: ...

# ----- packaging smoke test -----

@final
class SmokeDetector:
    def __init__(self) -> None: ...
    def fit(self, values: Sequence[float] | NDArray[Any]) -> SmokeDetector: ...
    def predict(self) -> list[int]: ...

# ----- functions -----

def detect_offline(
    x: ArrayLike,
    *,
    pipeline: _Config | None = None,
    detector: str = "pelt",
    cost: str = "l2",
    constraints: _Config | None = None,
    stopping: _Config | None = None,
    preprocess: _Config | None = None,
    repro_mode: str = "balanced",
    return_diagnostics: bool = True,
) -> OfflineChangePointResult: ...
def smoke_detect(values: Sequence[float] | NDArray[Any]) -> list[int]: ...
