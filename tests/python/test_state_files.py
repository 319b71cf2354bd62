import os

import pytest

import ovrel


def test_a_save_onto_a_directory_is_refused_as_runtime_error_and_leaves_it(tmp_path):
    # Links, FIFOs, devices and reads of special files are the engine's own file tests; here the
    # refusal of a save reaches Python whole, as a RuntimeError.
    node = tmp_path / "node"
    node.mkdir()
    det = ovrel.Cusum()
    det.update(0.5)
    message = f"^refused to replace checkpoint file '{node}': not a regular file \\(a directory\\)$"
    with pytest.raises(RuntimeError, match=message):
        det.save_state(path=node)
    assert os.listdir(tmp_path) == ["node"] and node.is_dir()
