import json
import subprocess
import sys

import pytest

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
