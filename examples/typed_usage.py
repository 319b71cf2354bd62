"""The offline API under a type checker: `mypy --strict examples/typed_usage.py` passes.

Every value below has a precise type from the package's stub; nothing is `Any` but the parsed
parameters of a result.
"""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

import ovrel


def three_shifts(seed: int = 11) -> npt.NDArray[np.float64]:
    rng = np.random.default_rng(seed)
    parts = [rng.normal(level, 1.0, size=150) for level in (0.0, 3.0, -1.0, 2.0)]
    return np.concatenate(parts)


def change_points(x: npt.NDArray[np.float64], n_bkps: int) -> list[int]:
    detector: ovrel.Binseg = ovrel.Binseg("l2", min_segment_len=5).fit(x)
    return detector.predict(n_bkps=n_bkps).change_points


def describe(result: ovrel.OfflineChangePointResult) -> str:
    diagnostics: ovrel.Diagnostics = result.diagnostics
    lines = [f"{diagnostics.algorithm}/{diagnostics.cost_model}: {result.breakpoints}"]
    for segment in result.segments or []:
        mean = segment.mean[0] if segment.mean else float("nan")
        lines.append(f"  [{segment.start}, {segment.end}) mean {mean:.2f}")
    lines.extend(f"  warning: {text}" for text in diagnostics.warnings)
    build: ovrel.BuildInfo | None = diagnostics.build
    if build is not None and build.abi is not None:
        lines.append(f"  abi {build.abi}")
    return "\n".join(lines)


def main() -> None:
    x = three_shifts()
    print(change_points(x, 3))
    penalised = ovrel.Pelt(model="normal", min_segment_len=5).fit(x).predict(pen=40.0)
    print(describe(penalised))
    exact = ovrel.detect_offline(
        x * 100.0,
        detector="dynp",
        stopping={"n_bkps": 3},
        preprocess={"robust_scale": {}},
    )
    again = ovrel.OfflineChangePointResult.from_json(exact.to_json())
    assert again.breakpoints == exact.breakpoints
    print(describe(again))


if __name__ == "__main__":
    main()
