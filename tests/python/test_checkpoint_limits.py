import json
import math
import struct
import subprocess
import sys
import zlib

import pytest

import ovrel
from conftest import stored_state

# Run in a fresh interpreter whose address space is capped at what it holds, plus the text being
# loaded, plus 100 MB: a load whose memory grows with a generic value per payload byte dies there.
CAPPED_LOAD = r"""
import json, resource, sys
import ovrel
n, last, policy = int(sys.argv[1]), sys.argv[2].encode(), json.loads(sys.argv[3])
make = lambda: ovrel.Cusum(late_data_policy=policy)
det = make()
if last == b"valid":
    det.update(0.0, 10**12)
    for i in range(n):
        det.update(float(i % 7), 10**12 - 1 - i)
    text = det.save_state()
else:
    env = json.loads(det.save_state())
    head = json.dumps({k: v for k, v in env.items() if k != "payload"}, separators=(",", ":"))
    text = head[:-1].encode() + b',"payload":[' + b"0," * (n - 1) + last + b"]}"
with open("/proc/self/statm") as f:
    in_use = int(f.read().split()[0]) * resource.getpagesize()
cap = in_use + len(text) + 100 * 2**20
resource.setrlimit(resource.RLIMIT_AS, (cap, cap))
target = make()
try:
    target.load_state(text)
    print("loaded")
except ValueError as e:
    print(len(text), e)
"""

BUFFERING = {"kind": "reorder_by_timestamp", "max_delay_ns": 10**15, "max_buffer_items": 10**6, "on_overflow": "error"}  # fmt: skip


def capped_load(n, last):
    run = subprocess.run(
        [sys.executable, "-c", CAPPED_LOAD, str(n), last, json.dumps(BUFFERING)],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert run.returncode == 0, run.stderr[-2000:]
    return run.stdout.strip()


V1 = "checkpoint envelope v1 parse failed (expected canonical fields): "


@pytest.mark.parametrize(
    ("last", "back", "message"),
    [
        ("256", 4, V1 + "invalid value: integer `256`, expected u8"),
        ("-1", 3, V1 + "invalid value: integer `-1`, expected u8"),
        ('"a"', 4, V1 + 'invalid type: string "a", expected u8'),
        ("0,", 1, "checkpoint envelope JSON parse failed: trailing comma"),
    ],
)
def test_a_large_refused_checkpoint_stays_within_a_small_multiple_of_its_text(last, back, message):
    # A 10 MB text whose payload ends in one bad item; `back` places the fault from the end.
    size, refused = capped_load(5_000_000, last).split(" ", 1)
    assert refused == f"{message} at line 1 column {int(size) - back}"


def test_a_large_valid_checkpoint_loads_within_a_small_multiple_of_its_text():
    # 100,000 pending events: a bincode payload of 2.4 MB, an envelope text of about 8 MB.
    assert capped_load(100_000, "valid") == "loaded"


# A state no update could leave: refused with its field named, the detector left as it was.
def with_payload(envelope, payload):
    envelope = dict(envelope, payload=list(payload), payload_crc32=zlib.crc32(payload))
    return json.dumps(envelope).encode()


POISSON_BUFFERING = {"kind": "reorder_by_timestamp", "max_delay_ns": 100, "max_buffer_items": 4, "on_overflow": "error"}  # fmt: skip


@pytest.mark.parametrize(
    ("model", "x", "message"),
    [
        ("poisson", 2.5, "poisson observation must be an integer-valued count; got 2.5"),
        ("bernoulli", 0.5, "bernoulli observation must be exactly 0 or 1; got 0.5"),
    ],
)
def test_a_pending_value_the_model_refuses_is_refused_at_load(model, x, message):
    source = ovrel.Bocpd(model, late_data_policy=POISSON_BUFFERING)
    source.update(1.0, 1000)
    source.update(1.0, 990)  # buffered
    envelope = source.save_state(format="json")
    state = json.loads(bytes(envelope["payload"]))
    assert state["pending_events"][0]["x"] == 1.0
    state["pending_events"][0]["x"] = x
    payload = json.dumps(state, separators=(",", ":")).encode()
    target = ovrel.Bocpd(model, late_data_policy=POISSON_BUFFERING)
    target.update(0.0, 5)
    before = stored_state(target)
    with pytest.raises(ValueError, match=r"^bocpd state pending_events\[0\]\.x is refused by the observation model: " + message.replace(".", r"\.") + "$"):  # fmt: skip
        target.load_state(with_payload(envelope, payload))
    assert stored_state(target) == before
    target.load_state(with_payload(envelope, json.dumps(json.loads(payload) | {"pending_events": []}).encode()))  # fmt: skip


@pytest.mark.parametrize(
    ("value", "text"), [(math.nan, "NaN"), (math.inf, "inf"), (-math.inf, None)]
)
def test_a_log_run_probability_must_be_a_log_probability(value, text):
    source = ovrel.Bocpd()
    source.update(0.5)
    envelope = json.loads(source.save_state())
    payload = bytearray(envelope["payload"])
    # t (8 bytes), no watermark (1), six counters (48), the count (8), then log_run_probs[0].
    assert struct.unpack_from("<Q", payload, 57)[0] == 2
    struct.pack_into("<d", payload, 65, value)
    target = ovrel.Bocpd()
    target.update(1.0)
    before = stored_state(target)
    if text is None:
        target.load_state(with_payload(envelope, bytes(payload)))
        return
    match = rf"^bocpd state log_run_probs\[0\] must be a log probability \(finite or -inf\); got {text}$"
    with pytest.raises(ValueError, match=match):
        target.load_state(with_payload(envelope, bytes(payload)))
    assert stored_state(target) == before


# A "json" state payload with a valid checksum is read without a generic value per item: loaded or
# refused, the load stays within five times the text of its envelope.
CAPPED_JSON_STATE = r"""
import json, resource, sys, zlib
import ovrel
n, last, policy = int(sys.argv[1]), sys.argv[2], json.loads(sys.argv[3])
source = ovrel.Cusum(late_data_policy=policy)
source.update(0.0, 10**12)
envelope = source.save_state(format="json")
state = json.loads(bytes(envelope["payload"]))
events = "[" + "[0,0,0]," * (n - 1) + last + "]"
head = json.dumps(dict(state, pending_events=None), separators=(",", ":"))
payload = head.replace('"pending_events":null', '"pending_events":' + events).encode()
envelope = dict(envelope, payload=[], payload_crc32=zlib.crc32(payload))
text = json.dumps(envelope, separators=(",", ":")).replace('"payload":[]', '"payload":[' + ",".join(map(str, payload)) + "]").encode()
del payload, events, head
with open("/proc/self/statm") as f:
    in_use = int(f.read().split()[0]) * resource.getpagesize()
cap = in_use + 5 * len(text)
resource.setrlimit(resource.RLIMIT_AS, (cap, cap))
target = ovrel.Cusum(late_data_policy=policy)
try:
    target.load_state(text)
    print("loaded")
except ValueError as e:
    print(len(text), e)
"""


@pytest.mark.parametrize(
    ("last", "outcome"),
    [
        ("[0,0,0]", "loaded"),
        ('[0,0,"a"]', 'invalid type: string "a", expected u64'),
    ],
)
def test_a_large_json_state_payload_loads_within_a_small_multiple_of_its_text(last, outcome):
    # 600,000 pending events: a payload of 4.8 MB, an envelope text of about 14 MB.
    run = subprocess.run(
        [sys.executable, "-c", CAPPED_JSON_STATE, "600000", last, json.dumps(BUFFERING)],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert run.returncode == 0, run.stderr[-2000:]
    assert outcome in run.stdout
