import json
import re
import subprocess
import sys

import pytest

# Run in a fresh interpreter whose address space is capped at what it holds plus the text being
# loaded, plus 100 MB ("envelope", "valid") or five times the text ("state"): a load whose memory
# grows with a generic value per payload byte or item dies there.
CAPPED_LOAD = r"""
import json, resource, sys, zlib
import ovrel
kind, n, last, policy = sys.argv[1], int(sys.argv[2]), sys.argv[3], json.loads(sys.argv[4])
make = lambda: ovrel.Cusum(late_data_policy=policy)
det = make()
if kind == "envelope":  # a payload of n bytes, the last one `last`
    env = json.loads(det.save_state())
    head = json.dumps({k: v for k, v in env.items() if k != "payload"}, separators=(",", ":"))
    text = head[:-1].encode() + b',"payload":[' + b"0," * (n - 1) + last.encode() + b"]}"
elif kind == "valid":  # n pending events
    det.update(0.0, 10**12)
    for i in range(n):
        det.update(float(i % 7), 10**12 - 1 - i)
    text = det.save_state()
else:  # a "json" state payload of n pending events, the last one `last`, with a valid checksum
    det.update(0.0, 10**12)
    envelope = det.save_state(format="json")
    state = json.loads(bytes(envelope["payload"]))
    events = "[" + "[0,0,0]," * (n - 1) + last + "]"
    head = json.dumps(dict(state, pending_events=None), separators=(",", ":"))
    payload = head.replace('"pending_events":null', '"pending_events":' + events).encode()
    envelope = dict(envelope, payload=[], payload_crc32=zlib.crc32(payload))
    text = json.dumps(envelope, separators=(",", ":")).replace('"payload":[]', '"payload":[' + ",".join(map(str, payload)) + "]").encode()
    del payload, events, head
with open("/proc/self/statm") as f:
    in_use = int(f.read().split()[0]) * resource.getpagesize()
cap = in_use + (5 * len(text) if kind == "state" else len(text) + 100 * 2**20)
resource.setrlimit(resource.RLIMIT_AS, (cap, cap))
target = make()
try:
    target.load_state(text)
    print("loaded")
except ValueError as e:
    print(len(text), e)
"""

BUFFERING = {"kind": "reorder_by_timestamp", "max_delay_ns": 10**15, "max_buffer_items": 10**6, "on_overflow": "error"}  # fmt: skip


def capped_load(kind, n, last=""):
    run = subprocess.run(
        [sys.executable, "-c", CAPPED_LOAD, kind, str(n), last, json.dumps(BUFFERING)],
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
    size, refused = capped_load("envelope", 5_000_000, last).split(" ", 1)
    assert refused == f"{message} at line 1 column {int(size) - back}"


@pytest.mark.parametrize(
    ("kind", "n", "last", "outcome"),
    [
        # 100,000 pending events: a bincode payload of 2.4 MB, an envelope text of about 8 MB.
        ("valid", 100_000, "", "loaded"),
        # 600,000 pending events in a "json" payload of 4.8 MB, an envelope text of about 14 MB,
        # read without a generic value per item, loaded or refused.
        ("state", 600_000, "[0,0,0]", "loaded"),
        ("state", 600_000, '[0,0,"a"]', 'invalid type: string "a", expected u64'),
    ],
)
def test_a_large_checkpoint_loads_within_a_small_multiple_of_its_text(kind, n, last, outcome):
    assert outcome in capped_load(kind, n, last)


# A checkpoint far larger than any the detector could load, as a sparse 3 GB file or 100 MB of
# bytes, in an interpreter capped at what it holds plus 64 MB: refused by its size, unread.
CAPPED_SIZE = r"""
import resource, sys
import ovrel
detector, path = eval(sys.argv[1]), sys.argv[2]
data = bytes(100_000_000) if path == "bytes" else None
size = int(open("/proc/self/status").read().split("VmSize:")[1].split()[0]) * 1024
resource.setrlimit(resource.RLIMIT_AS, (size + (64 << 20),) * 2)
try:
    detector.load_state(data, path=None if data else path)
except (ValueError, MemoryError) as e:
    print(type(e).__name__, e)
"""


@pytest.mark.parametrize(
    ("detector", "form"),
    [
        ("ovrel.Bocpd()", "file"),
        ("ovrel.Cusum()", "file"),
        ("ovrel.PageHinkley()", "file"),
        ("ovrel.Cusum()", "bytes"),
        # No limit: the file is read, into memory the system refuses.
        ("ovrel.Bocpd(max_run_length=2**64 - 1)", "file"),
    ],
)
def test_a_checkpoint_too_large_for_the_detector_is_refused_unread(tmp_path, detector, form):
    path = tmp_path / "huge.ckpt"
    with open(path, "wb") as f:
        f.truncate(3_000_000_000)
    where, what = {
        "file": (
            str(path),
            f"ValueError checkpoint file '{path}' is 3000000000 bytes, too large to read",
        ),
        "bytes": ("bytes", "ValueError checkpoint of 100000000 bytes is too large to read"),
    }[form]
    limit = r"; the largest checkpoint this detector can load is about \d+ bytes\n"
    if "2**64" in detector:
        what, limit = f"MemoryError reading checkpoint file '{path}' needs 3000000000 bytes", "\n"
    run = subprocess.run(
        [sys.executable, "-c", CAPPED_SIZE, detector, where],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert run.returncode == 0, run.stderr[-2000:]
    assert re.fullmatch(re.escape(what) + limit, run.stdout), run.stdout
