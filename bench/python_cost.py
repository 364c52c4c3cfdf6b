#!/usr/bin/python3
"""Per-sample cost of both libraries from Python, side by side with C++.

For each library: update() called from a Python loop, the batch helper (estimate() or
compensate(), timed as a whole call, input checks included), and the C++ update() as the
Google Benchmark binary measures it. Rounds are interleaved so that a slow spell of a shared
machine does not fall on one side of a ratio only; medians are printed.

    bench/python_cost.py [--build build] [--rounds 5]

Needs the normal build (module, zelto-payload tool, zelto-bench).
"""

import argparse
import contextlib
import json
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
COMPENSATE_CALLS = 10
CPP_BENCHMARKS = {
    "compensator static": "BM_CompensatorUpdateStatic",
    "compensator dynamic": "BM_CompensatorUpdateDynamic",
    "estimator": "BM_EstimatorUpdateBeforeMinTime",
}


@contextlib.contextmanager
def quiet_stdout():
    """The libraries print to file descriptor 1; their lines are not what is measured."""
    sys.stdout.flush()
    saved = os.dup(1)
    with open(os.devnull, "w") as null:
        os.dup2(null.fileno(), 1)
        try:
            yield
        finally:
            os.dup2(saved, 1)
            os.close(saved)


def cpp_round(bench, scratch):
    """One repetition of the C++ benchmarks: µs per update() (real time, like perf_counter)."""
    pattern = "^(" + "|".join(CPP_BENCHMARKS.values()) + ")$"
    out = scratch / "cpp.json"
    subprocess.run([bench, f"--benchmark_filter={pattern}", f"--benchmark_out={out}",
                    "--benchmark_out_format=json", "--benchmark_min_time=0.5"],
                   check=True, capture_output=True)
    runs = {b["name"]: b for b in json.loads(out.read_text())["benchmarks"]}
    scale = {"ns": 1e-3, "us": 1.0, "ms": 1e3}
    return {key: runs[name]["real_time"] * scale[runs[name]["time_unit"]]
            for key, name in CPP_BENCHMARKS.items()}


def python_round(zp, times, samples, payload, config):
    """One round of the Python measurements: µs per sample."""
    n = len(times)
    rows = list(samples)  # a host's per-sample arrays, made outside the timed loop
    result = {}
    with quiet_stdout():
        for mode in ("static", "dynamic"):
            # One call takes a few milliseconds: several make a measurement as long as the
            # others, less exposed to a scheduler hiccup.
            start = time.perf_counter()
            for _ in range(COMPENSATE_CALLS):
                zp.compensate(times, samples, payload, mode=mode)
            result[f"compensator {mode} batch"] = (
                (time.perf_counter() - start) / (COMPENSATE_CALLS * n) * 1e6)

            compensator = zp.Compensator(payload if mode == "static" else payload_dynamic(payload))
            update = compensator.update
            start = time.perf_counter()
            for t, s in zip(times, rows):
                update(t, s)
            result[f"compensator {mode} update"] = (time.perf_counter() - start) / n * 1e6

        start = time.perf_counter()
        zp.estimate(times, samples, config, trace_step=None)
        result["estimator batch"] = (time.perf_counter() - start) / n * 1e6

        estimator = zp.Estimator(config)
        estimator.start()
        update = estimator.update
        start = time.perf_counter()
        for t, s in zip(times, rows):
            update(t, s)
        result["estimator update"] = (time.perf_counter() - start) / n * 1e6
    return result


def payload_dynamic(payload):
    path = payload.with_name("payload_dynamic.json")
    if not path.exists():
        document = json.loads(payload.read_text())
        document["payload_compensator_config"]["enable_dynamic_compensation"] = True
        path.write_text(json.dumps(document))
    return path


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=str(ROOT / "build"), help="build directory")
    parser.add_argument("--rounds", type=int, default=7)
    args = parser.parse_args()
    build = pathlib.Path(args.build)
    sys.path.insert(0, str(build / "python"))
    import numpy as np
    import zelto_payload as zp

    with tempfile.TemporaryDirectory() as scratch:
        scratch = pathlib.Path(scratch)
        recording, payload = scratch / "rec.csv", scratch / "payload.json"
        subprocess.run([build / "tools" / "zelto-payload", "simulate", "-o", recording,
                        "--duration", "60", "--truth", payload], check=True, capture_output=True)
        data = np.loadtxt(recording, delimiter=",", skiprows=1)
        times, samples = data[:, 0], np.ascontiguousarray(data[:, 1:])
        # Run limits no replay reaches: every sample is estimated, before min_time, as in the
        # C++ benchmark, and nothing is held back.
        config = json.loads((ROOT / "config" / "estimator_config.json").read_text())
        config["payload_estimator_config"].update(min_time=1e9, max_time=1e9)
        config_path = scratch / "estimator.json"
        config_path.write_text(json.dumps(config))

        figures = {}
        for _ in range(args.rounds):
            for key, value in {**cpp_round(build / "bench" / "zelto-bench", scratch),
                               **python_round(zp, times, samples, payload, config_path)}.items():
                figures.setdefault(key, []).append(value)

    median = {key: statistics.median(values) for key, values in figures.items()}
    print(f"{len(times)} samples (60 s of simulated hand motion at 1 kHz), medians of "
          f"{args.rounds} interleaved rounds, µs per sample")
    print(f"  {'library':22} {'C++ update':>11} {'Python update':>14} {'batch':>9} "
          f"{'batch / C++':>12} {'update / C++':>13}")
    for library in CPP_BENCHMARKS:
        cpp, loop, batch = (median[library], median[f"{library} update"],
                            median[f"{library} batch"])
        print(f"  {library:22} {cpp:11.3f} {loop:14.3f} {batch:9.3f} {batch / cpp:11.2f}x "
              f"{loop / cpp:12.2f}x")


if __name__ == "__main__":
    main()
