"""Estimator and the estimate() batch helper against the zelto-payload tool."""

import json

import numpy as np

import zelto_payload as zp
from conftest import write_config


def payload_file_values(path):
    """The 16 values of a payload parameter file, in the order of PARAMETER_NAMES."""
    p = json.loads(path.read_text())["payload_compensator_config"]["payload_properties"]
    inertia, bias = p["inertia"], p["bias"]
    return np.array([p["mass"], *(p["com"][k] for k in "xyz"),
                     *(inertia[k] for k in ("Ixx", "Ixy", "Ixz", "Iyy", "Iyz", "Izz")),
                     *(bias[k] for k in ("Fx", "Fy", "Fz", "Tx", "Ty", "Tz"))])


def test_estimate_agrees_with_the_tool(tool, recording, tmp_path):
    csv, _, times, samples = recording
    tool_config = write_config(tmp_path / "tool", 0.5, 120)
    tool("estimate", "--config", tool_config, "--speed", "max", "--no-progress", csv)
    python_config = write_config(tmp_path / "python", 0.5, 120)

    result = zp.estimate(times, samples, python_config, speed="max")

    assert result.converged
    tool_file = tmp_path / "tool" / "payload_parameters.json"
    python_file = tmp_path / "python" / "payload_parameters.json"
    assert python_file.read_text() == tool_file.read_text()
    # The file keeps six significant digits.
    np.testing.assert_allclose(result.estimate, payload_file_values(tool_file), rtol=5e-6)
    assert np.all(result.sd > 0)
    trace = result.trace
    assert trace.estimate.shape == trace.sd.shape == (len(trace.time), 16)
    assert np.all(np.diff(trace.samples) > 0) and np.all(np.diff(trace.time) >= 0.25 - 1e-9)
    np.testing.assert_array_equal(trace.estimate[-1], result.estimate)
    np.testing.assert_array_equal(trace.sd[-1], result.sd)


def test_update_per_sample_reaches_the_batch_estimate(recording, tmp_path):
    _, _, times, samples = recording
    # A minimum run time no replay reaches: neither run ends, both use every sample.
    config = write_config(tmp_path, 600, 600)
    batch = zp.estimate(times, samples, config)

    estimator = zp.Estimator(config)
    assert not estimator.running and estimator.sample_count == 0 and estimator.run_time == 0
    assert np.all(np.isnan(estimator.estimate)) and np.all(np.isnan(estimator.sd))
    assert estimator.start() and estimator.running
    codes = {estimator.update(t, s) for t, s in zip(times, samples)}

    assert codes == {zp.ReturnCode.OK}
    assert not batch.converged and not estimator.successful
    np.testing.assert_array_equal(estimator.estimate, batch.estimate)
    np.testing.assert_array_equal(estimator.sd, batch.sd)
    assert estimator.sample_count == batch.trace.samples[-1] > len(times) - 100
    assert estimator.run_time > 0
