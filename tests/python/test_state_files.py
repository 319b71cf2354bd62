import os
import subprocess
import sys
import textwrap

import pytest

import ovrel

CLASSES = {
    "bocpd": lambda: ovrel.Bocpd(max_run_length=20),
    "cusum": lambda: ovrel.Cusum(threshold=3.0),
    "page_hinkley": lambda: ovrel.PageHinkley(threshold=3.0),
}


def fed(name):
    det = CLASSES[name]()
    for x in (0.5, 1.5, -0.25):
        det.update(x)
    return det


@pytest.mark.parametrize("name", CLASSES)
def test_save_through_a_symbolic_link_replaces_its_target(name, tmp_path):
    (tmp_path / "data").mkdir()
    (tmp_path / "links").mkdir()
    target = tmp_path / "data" / "state.ckpt"
    target.write_bytes(b"old")
    link = tmp_path / "links" / "current"
    link.symlink_to("../data/state.ckpt")
    saved = fed(name)
    saved.save_state(path=link)
    assert os.readlink(link) == "../data/state.ckpt"
    assert sorted(os.listdir(tmp_path / "data")) == ["state.ckpt"]
    restored = CLASSES[name]()
    restored.load_state(path=target)
    assert (
        restored.save_state(format="json")["payload"] == saved.save_state(format="json")["payload"]
    )


def make_fifo(path):
    os.mkfifo(path)
    return path


def make_dir(path):
    path.mkdir()
    return path


@pytest.mark.parametrize("kind, make", [("a FIFO", make_fifo), ("a directory", make_dir)])
def test_save_onto_a_special_file_is_refused_and_leaves_it(kind, make, tmp_path):
    node = make(tmp_path / "node")
    with pytest.raises(
        RuntimeError,
        match=f"^refused to replace checkpoint file '{node}': not a regular file \\({kind}\\)$",
    ):
        fed("cusum").save_state(path=node)
    assert os.listdir(tmp_path) == ["node"]
    assert node.is_fifo() or node.is_dir()


# The load runs in a child under an address-space cap and a deadline: reading /dev/zero would
# grow until memory ran out, and a FIFO whose writer stays silent would block it for good.
LOAD = textwrap.dedent(
    """
    import resource, sys
    resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
    import ovrel
    try:
        ovrel.Cusum().load_state(path=sys.argv[1])
    except RuntimeError as e:
        print(e)
    """
)


@pytest.mark.parametrize("special", ["/dev/zero", "fifo"])
def test_load_from_a_special_file_is_refused_at_once(special, tmp_path):
    writer = None
    kind = "a character device"
    if special == "fifo":
        special = str(make_fifo(tmp_path / "fifo"))
        writer = os.open(special, os.O_RDWR | os.O_NONBLOCK)  # holds it open, never writes
        kind = "a FIFO"
    try:
        done = subprocess.run(
            [sys.executable, "-c", LOAD, special], capture_output=True, text=True, timeout=30
        )
    finally:
        if writer is not None:
            os.close(writer)
    assert done.stdout == (
        f"failed reading checkpoint file '{special}': not a regular file ({kind})\n"
    ), done.stderr
