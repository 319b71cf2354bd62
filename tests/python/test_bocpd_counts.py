import math

import pytest

import ovrel
from conftest import stored_state

REFUSED = "^poisson observation must be an integer-valued count; got {}$"


def test_poisson_counts_a_double_cannot_hold_exactly_are_refused_and_change_nothing():
    # Above 2**53 a double no longer holds every integer; two counts of 2**63 used to leave
    # run-length probabilities summing to 2.
    det = ovrel.Bocpd(model="poisson")
    det.update(3.0)
    before = stored_state(det)
    for _ in range(2):
        with pytest.raises(ValueError, match=REFUSED.format(9223372036854776000)):
            det.update(2.0**63)
    with pytest.raises(ValueError) as refused:
        det.update_many([1.0, 2.0**53 + 2])
    assert str(refused.value) == REFUSED.format(9007199254740994)[1:-1]
    assert stored_state(det)["t"] == before["t"] + 1
    det.update(2.0**53)
    assert math.fsum(math.exp(v) for v in stored_state(det)["log_run_probs"]) == pytest.approx(1.0)
    assert det.update(2.0**53).run_length_mean <= stored_state(det)["t"]
