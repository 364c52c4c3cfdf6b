"""import_streams() and measure_delay() on streams cut from a simulated recording."""

import numpy as np
import pytest

import zelto_payload as zp


def test_import_streams_finds_and_applies_the_imu_delay(recording, tmp_path):
    _, _, times, samples = recording
    wrench = np.column_stack([times, samples[:, :6]])
    # The IMU at 250 Hz, each value stamped 5 ms after the motion it describes.
    imu = np.column_stack([times[::4] + 0.005, samples[::4, 6:]])
    path = tmp_path / "wrench.csv"
    np.savetxt(path, wrench, delimiter=",", header="t,fx,fy,fz,tx,ty,tz", comments="")

    result = zp.import_streams(path, imu=imu, noise_block=True)

    assert result.delay == pytest.approx(0.005, abs=5e-4)
    assert result.delay_estimate.description.startswith("delay +5.0")
    assert result.samples.shape == (len(result.times), 12)
    np.testing.assert_array_equal(np.diff(result.times) > 0, True)
    assert set(result.measurement_noise_covariance) == {
        "force", "torque", "linear_acc", "angular_vel", "angular_acc"}
    assert result.measurement_noise_sample_rate == {
        "linear_acc": pytest.approx(250, rel=1e-3), "angular_vel": pytest.approx(250, rel=1e-3)}
    assert "  delay +5.0" in result.report
    # The joined recording is aligned: no delay left between its columns.
    assert zp.measure_delay(result.times, result.samples).delay == pytest.approx(0.0, abs=5e-4)
    with pytest.raises(ValueError, match=r"^the IMU axes 'x,x,z' are not a rotation \(its rows "
                                         r"are not orthonormal\)$"):
        zp.import_streams(wrench, imu=imu, imu_axes="x,x,z")
    with pytest.raises(ValueError, match=r"^accel: expected 4 columns, got 3$"):
        zp.import_streams(wrench, accel=imu[:, :3], gyro=imu[:, [0, 4, 5, 6]])
