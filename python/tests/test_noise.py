"""measure_noise() against the zelto-payload tool's noise command."""

import json

import numpy as np
import pytest

import zelto_payload as zp


def test_measure_noise_agrees_with_the_tool(tool, recording, tmp_path):
    csv, _, times, samples = recording
    tool("noise", csv, "-o", tmp_path / "noise.json")

    noise = zp.measure_noise(times, samples)

    expected = json.loads((tmp_path / "noise.json").read_text())
    assert noise.measurement_noise_covariance == expected["measurement_noise_covariance"]
    assert noise.median_rate == pytest.approx(1000.0)
    np.testing.assert_allclose(noise.angular_acc_variance, noise.variance[9:] * 567.1, rtol=1e-4)
    assert len(noise.troubles) == 1 and "rows repeat the previous time stamp" in noise.troubles[0]
    assert noise.samples + int(noise.troubles[0].split()[0]) == len(times)
    with pytest.raises(ValueError, match="at least 100 samples"):
        zp.measure_noise(times[:99], samples[:99])
