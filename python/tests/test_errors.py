"""Bad input, the libraries' exceptions and console lines as Python sees them."""

import enum

import numpy as np
import pytest

import zelto_payload as zp

IMU_MESSAGE = "IMU data is not available — make sure the IMU is enabled (Rev K: appmode should be 2)"
LAYOUT = ("force x, y, z (N), torque x, y, z (N·m), linear acceleration x, y, z (m/s²), "
          "angular velocity x, y, z (rad/s)")


def test_return_codes_are_an_int_enum():
    assert issubclass(zp.ReturnCode, enum.IntEnum)
    assert [(c.name, int(c)) for c in zp.ReturnCode] == [("OK", 0), ("PENDING", 1), ("ERROR", 5)]


def test_library_exceptions_keep_their_messages(recording, tmp_path):
    _, truth, times, samples = recording
    missing = tmp_path / "missing.json"
    for construct in (zp.Estimator, zp.Compensator):
        with pytest.raises(RuntimeError) as error:
            construct(missing)
        assert str(error.value) == f"Failed to open configuration file: {missing}"
    with pytest.raises(RuntimeError) as error:
        zp.compensate(times, samples, missing, mode="static")
    assert str(error.value) == f"Failed to open configuration file: {missing}"

    without_imu = samples[0].copy()
    without_imu[6:] = 0.0
    with pytest.raises(RuntimeError) as error:
        zp.Compensator(truth).update(0.0, without_imu)
    assert str(error.value) == IMU_MESSAGE
    # The batch helper answers such a sample ERROR, as the tool does, and goes on.
    patched = samples[:3].copy()
    patched[1, 6:] = 0.0
    result = zp.compensate(times[:3], patched, truth)
    assert list(result.codes) == [zp.ReturnCode.OK, zp.ReturnCode.ERROR, zp.ReturnCode.OK]
    assert np.all(np.isnan(result.wrench[1])) and np.all(np.isfinite(result.wrench[[0, 2]]))


def test_bad_input_is_a_value_error_naming_the_problem(recording):
    _, truth, times, samples = recording
    compensator = zp.Compensator(truth)
    good = list(samples[0])
    cases = [
        (lambda: compensator.update(0.0, good[:11]), f"sample must hold 12 values ({LAYOUT}), got 11"),
        (lambda: compensator.update(0.0, np.zeros((3, 4))),
         f"sample must hold 12 values ({LAYOUT}), got an array of shape (3, 4)"),
        (lambda: compensator.update(0.0, 5.0), "sample must be a sequence of 12 numbers, got float"),
        (lambda: compensator.update(0.0, "abcdefghijkl"),
         "sample must be a sequence of 12 numbers, got str"),
        (lambda: compensator.update(0.0, good[:3] + ["x"] + good[4:]), "sample[3] is not a number: 'x'"),
        (lambda: compensator.update(0.0, [np.nan] + good[1:]), "sample[0] is not finite: nan"),
        (lambda: compensator.update(float("inf"), good), "time is not finite: inf"),
        (lambda: zp.compensate(times, samples[:, :11], truth),
         f"samples must have shape (N, 12), one row of {LAYOUT} per sample, got shape "
         f"({len(times)}, 11)"),
        (lambda: zp.compensate(times[:5], samples[:4], truth),
         "times and samples differ in length: 5 times, 4 samples"),
        (lambda: zp.compensate(times[:0], samples[:0], truth), "times and samples hold no sample"),
        (lambda: zp.compensate(times[:3], np.where(np.arange(36).reshape(3, 12) == 16, np.nan,
                                                   samples[:3]), truth),
         "samples[1, 4] is not finite: nan"),
        (lambda: zp.compensate([["a"]], samples[:1], truth), "times must hold numbers, got dtype <U1"),
        (lambda: zp.compensate(times, samples, truth, mode="fast"),
         "mode must be 'static', 'dynamic' or None (as the payload file says), got 'fast'"),
        (lambda: zp.estimate(times, samples, truth, speed=-1),
         "speed must be a positive factor of real time, None or 'max', got -1"),
    ]
    for call, message in cases:
        with pytest.raises(ValueError) as error:
            call()
        assert str(error.value) == message
    # Any numeric sequence is a sample: a tuple of ints, a float32 array.
    assert compensator.update(1.0, tuple(int(v) + 1 for v in good))[0] == zp.ReturnCode.OK
    assert compensator.update(1.1, np.asarray(good, dtype=np.float32))[0] == zp.ReturnCode.OK


def test_console_lines_go_to_the_process_standard_output(recording, capfd):
    zp.Compensator(recording[1])
    lines = capfd.readouterr().out.splitlines()
    assert lines[0] == ("[\x1b[38;2;255;127;0mzlt\x1b[0m_\x1b[38;2;135;206;250mINFO\x1b[0m] "
                        "ZeltoPayloadCompensator version: V1.0.3")
