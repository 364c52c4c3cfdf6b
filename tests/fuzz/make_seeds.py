#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets (run from this directory; outputs are committed)."""
import os
import random
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def put(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode())


ESTIMATOR_CONFIG = """{"payload_estimator_config": {
  "output_config_file_name": "payload.json", "min_time": 5, "max_time": 60,
  "prior_payload_properties": {"mass": 1.0, "com": {"x": 0, "y": 0, "z": 0.05},
    "inertia": {"Ixx": 0.01, "Ixy": 0, "Ixz": 0, "Iyy": 0.01, "Iyz": 0, "Izz": 0.01}},
  "measurement_noise_covariance": {
    "force": {"x": 0.01, "y": 0.01, "z": 0.01}, "torque": {"x": 1e-5, "y": 1e-5, "z": 1e-5},
    "linear_acc": {"x": 1e-3, "y": 1e-3, "z": 1e-3}, "angular_vel": {"x": 1e-5, "y": 1e-5, "z": 1e-5},
    "angular_acc": {"x": 1e-2, "y": 1e-2, "z": 1e-2}},
  "estimation_covariance_convergence_threshold": {"mass": 0.01, "com": 0.001, "inertia": 5e-4,
    "wrench_bias": 0.01},
  "runtime_verbosity": false, "output_bias_estimate": true}}
"""

PAYLOAD_FILE = """{
  "payload_compensator_config": {
    "payload_properties": {
      "mass": 1.25,
      "com": {
        "x": 0.001,
        "y": -0.0023,
        "z": 0.0451
      },
      "inertia": {
        "Ixx": 0.0031,
        "Ixy": 1.2e-05,
        "Ixz": -4e-05,
        "Iyy": 0.0029,
        "Iyz": 2e-06,
        "Izz": 0.0012
      }
    },
    "enable_dynamic_compensation": false 
  }
}
"""


def config_seeds():
    put("EstimatorConfigFuzz", "valid.json", ESTIMATOR_CONFIG)
    put("EstimatorConfigFuzz", "no_switches.json",
        ESTIMATOR_CONFIG.replace(',\n  "runtime_verbosity": false, "output_bias_estimate": true', ""))
    put("EstimatorConfigFuzz", "string_number.json", ESTIMATOR_CONFIG.replace('"min_time": 5', '"min_time": "5"'))
    put("EstimatorConfigFuzz", "truncated.json", ESTIMATOR_CONFIG[:300])
    put("EstimatorConfigFuzz", "array.json", "[1, 2, {\"a\": null}]")
    put("EstimatorConfigFuzz", "empty.json", "")
    put("CompensatorConfigFuzz", "valid.json", PAYLOAD_FILE)
    put("CompensatorConfigFuzz", "dynamic.json", PAYLOAD_FILE.replace("false ", "true"))
    put("CompensatorConfigFuzz", "number_flag.json", PAYLOAD_FILE.replace("false ", "1"))
    put("CompensatorConfigFuzz", "missing_z.json", PAYLOAD_FILE.replace(',\n        "z": 0.0451', ""))
    put("CompensatorConfigFuzz", "truncated.json", PAYLOAD_FILE[:120])
    put("CompensatorConfigFuzz", "empty.json", "")


def small(value, scale):
    """Two bytes that the fuzz targets' ByteReader.smallDouble maps back to about value."""
    v = int(round((value / scale + 1.0) * 32767.5))
    v = max(0, min(65535, v))
    return bytes([v >> 8, v & 0xFF])


def plausible(rng, t):
    """Op 'update' with a plausible sample (kind 4: step byte then twelve small values)."""
    out = bytes([2, 4, 1])  # update, plausible, step 1 ms
    values = [rng.gauss(0, 1) for _ in range(6)] + [rng.gauss(0, 0.5) for _ in range(3)] + \
             [2.0 * __import__("math").sin(t + k) for k in range(3)]
    for v in values:
        out += small(v, 10.0)
    return out


def raw_update(time, values):
    out = bytes([2, 0])  # update, raw doubles
    out += struct.pack("<d", time)
    for v in values:
        out += struct.pack("<d", v)
    return out


def stream_seeds(target, control):
    rng = random.Random(7)
    # A steady run.
    data = bytes([0, control])
    for i in range(800):
        data += plausible(rng, i * 0.001)
    put(target, "steady", data)
    # Bad samples in the middle of a run, then a control call, then more samples.
    data = bytes([1, control])
    for i in range(300):
        data += plausible(rng, i * 0.001)
    data += raw_update(0.3005, [float("nan")] + [1.0] * 11)
    data += raw_update(float("inf"), [1.0] * 12)
    data += raw_update(0.1, [0.0] * 6 + [0.0, 0.0, 9.81, 0.0, 0.0, 0.0])  # backwards
    data += raw_update(0.31, [1e300] * 12)
    data += bytes([2, 2] + [0] * 12 + [1, 0, 1, 0, 1, 0])  # all-zero IMU
    data += bytes([2, 3, 0, 0]) + b"\x80\x00" * 12  # repeated time
    data += bytes([2, 3, 2, 2]) + b"\x80\x00" * 12  # 2e-5 s backwards
    data += bytes([control])
    for i in range(300):
        data += plausible(rng, 0.4 + i * 0.001)
    put(target, "bad_samples", data)
    # Control calls in quick succession.
    data = bytes([0]) + bytes([control, control, 1, control]) * 4
    for i in range(50):
        data += plausible(rng, i * 0.001) + bytes([control])
    put(target, "control_storm", data)


def burst(count, step, jitter, phase, every, seed):
    """Op 'burst' (code 4): a run of smooth samples; every = irregularity << 5 | period - 2, the
    irregularity 1 an exact repeat, 2 a near repeat, 3 a gap."""
    return bytes([4, count, step, jitter, phase, every, seed])


def irregular_steps(rng, control):
    """Single samples of the irregular kinds (8 jitter, 9 gap, 10 exact repeat, 11 near
    repeat) with read-outs (op 3) between them."""
    data = b""
    for i in range(400):
        data += bytes([2, 8]) + bytes([rng.randrange(256), rng.randrange(256)])
        if i % 37 == 36:
            data += bytes([2, 10])
        if i % 23 == 22:
            data += bytes([2, 11]) + bytes([rng.randrange(256), rng.randrange(256)])
        if i % 150 == 149:
            data += bytes([2, 9, 40])  # about 80 ms
        if i % 50 == 49 or i in (27, 29, 31):  # the first few joins: sigma not yet defined
            data += bytes([3])
    return data + bytes([3, control, 3])


def window_seeds(target, first, control):
    """Long runs that fill the ±25 ms window, with repeats, near repeats and gaps, and
    read-outs between them; then a stop or tare and another run."""
    rng = random.Random(11)
    data = bytes([first, control])
    data += burst(60, 1, 128, 10, 1 << 5 | 8, 7) + bytes([3])
    data += burst(60, 0, 200, 30, 2 << 5 | 5, 9) + bytes([3])
    data += burst(120, 3, 60, 50, 3 << 5 | 31, 13) + bytes([3, 1])
    data += burst(60, 1, 0, 70, 0, 17) + bytes([3, control, 3, control])
    data += burst(40, 7, 255, 90, 1 << 5 | 0, 19) + bytes([3])
    put(target, "window_bursts", data)
    put(target, "irregular_steps", bytes([first, control]) + irregular_steps(rng, control))


if __name__ == "__main__":
    config_seeds()
    stream_seeds("EstimatorStreamFuzz", 0)   # 0: start/stop
    stream_seeds("CompensatorStreamFuzz", 0)  # 0: tare
    window_seeds("EstimatorStreamFuzz", 2, 0)  # 2: the configuration without time limit
    window_seeds("CompensatorStreamFuzz", 1, 0)  # 1: dynamic compensation
