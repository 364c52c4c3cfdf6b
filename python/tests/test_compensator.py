"""Compensator and the compensate() batch helper against the zelto-payload tool."""

import resource

import numpy as np
import pytest

import zelto_payload as zp


@pytest.mark.parametrize("mode, tare_at", [(None, None), ("dynamic", 0.2)])
def test_compensation_equals_the_tool_sample_for_sample(tool, recording, tmp_path, mode, tare_at):
    csv, truth, times, samples = recording
    out = tmp_path / "out.csv"
    tool("compensate", "--payload", truth, "-o", out, csv,
         *(["--mode", mode] if mode else []), *(["--tare-at", tare_at] if tare_at else []))
    expected = np.loadtxt(out, delimiter=",", skiprows=1)

    batch = zp.compensate(times, samples, truth, mode=mode, tare_at=tare_at)

    np.testing.assert_array_equal(batch.codes, expected[:, 7])
    # A tare asked before half a second of data is deferred: PENDING with zeros until then.
    assert set(batch.codes) == ({0, 1, 5} if tare_at else {0, 5})
    # The tool writes nine significant digits.
    np.testing.assert_allclose(batch.wrench, expected[:, 1:7], rtol=6e-9, atol=0)

    # The same samples one by one, the tare asked before the same sample.
    if mode is None:
        compensator = zp.Compensator(truth)
        assert not compensator.dynamic
        np.testing.assert_array_equal(compensator.payload_parameters,
                                      [1.2, 0.012, -0.008, 0.065, 0.0070468, 0.0001552,
                                       -0.000996, 0.0073428, 0.000649, 0.0011996])
        for i, (t, s) in enumerate(zip(times, samples)):
            code, wrench = compensator.update(t, s)
            assert code == batch.codes[i]
            np.testing.assert_array_equal(wrench, batch.wrench[i])
        np.testing.assert_array_equal(compensator.tare_bias, np.zeros(6))


def test_memory_stays_flat_over_a_million_updates(recording):
    _, truth, times, samples = recording
    compensator = zp.Compensator(truth)
    rows = [samples[i] for i in range(1000)]

    def run(first, count):
        for i in range(first, first + count):
            compensator.update(i * 1e-3, rows[i % 1000])

    def resident_kib():
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * resource.getpagesize() // 1024

    run(0, 100_000)
    before = resident_kib()
    run(100_000, 1_000_000)
    # One leaked byte per update would add about 1 MiB.
    assert resident_kib() - before < 1024
