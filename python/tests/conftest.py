"""Shared fixtures: a simulated recording made by the zelto-payload tool, and its files."""

import json
import os
import pathlib
import subprocess

import numpy as np
import pytest

CONFIG = pathlib.Path(__file__).resolve().parents[2] / "config" / "estimator_config.json"


@pytest.fixture(scope="session")
def tool():
    path = os.environ.get("ZELTO_PAYLOAD_TOOL")
    if not path:
        pytest.skip("ZELTO_PAYLOAD_TOOL is not set (the tool is not built)")
    return lambda *args: subprocess.run([path, *map(str, args)], check=True,
                                        capture_output=True, text=True)


@pytest.fixture(scope="session")
def recording(tool, tmp_path_factory):
    """20 s of hand motion at 1 kHz with repeated samples; its true payload file (static mode)."""
    directory = tmp_path_factory.mktemp("recording")
    csv, truth = directory / "rec.csv", directory / "truth.json"
    tool("simulate", "-o", csv, "--duration", 20, "--repeat", 0.002, "--seed", 3, "--truth", truth)
    data = np.loadtxt(csv, delimiter=",", skiprows=1)
    return csv, truth, data[:, 0], data[:, 1:]


def write_config(directory, min_time, max_time):
    """The shipped estimator configuration with other run limits, in its own directory (the
    payload parameter file is written next to it)."""
    document = json.loads(CONFIG.read_text())
    document["payload_estimator_config"].update(min_time=min_time, max_time=max_time)
    directory.mkdir(parents=True, exist_ok=True)
    path = directory / "estimator.json"
    path.write_text(json.dumps(document))
    return path
