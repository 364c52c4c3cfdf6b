#!/usr/bin/env python3
"""Plots for zelto-payload: how the estimate converges, and what compensation removes.

  plot_payload.py trace TRACE.csv [--truth PAYLOAD.json] -o convergence.png
      estimate +/- one reported standard deviation of all 16 parameters over time, with the
      true value when it is known (a payload parameter file, e.g. from `simulate --truth`)

  plot_payload.py wrench RECORDING.csv COMPENSATED.csv [--payload PAYLOAD.json] -o wrench.png
      measured versus compensated force and torque; with --payload whose file holds the
      estimated sensor bias, that bias is taken off both, so that zero means "no payload left"

Needs matplotlib (Debian: python3-matplotlib); draws without a display.
"""

import argparse
import csv
import json
import math
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

NAMES = ["mass", "com_x", "com_y", "com_z", "Ixx", "Ixy", "Ixz", "Iyy", "Iyz", "Izz",
         "Fx", "Fy", "Fz", "Tx", "Ty", "Tz"]
LABELS = ["mass [kg]", "com x [m]", "com y [m]", "com z [m]",
          "Ixx [kg m²]", "Ixy [kg m²]", "Ixz [kg m²]", "Iyy [kg m²]", "Iyz [kg m²]",
          "Izz [kg m²]", "bias Fx [N]", "bias Fy [N]", "bias Fz [N]",
          "bias Tx [N m]", "bias Ty [N m]", "bias Tz [N m]"]
AXES = ["fx", "fy", "fz", "tx", "ty", "tz"]
AXIS_LABELS = ["fx [N]", "fy [N]", "fz [N]", "tx [N m]", "ty [N m]", "tz [N m]"]


def read_columns(path):
    """The columns of a CSV file with a header line, as lists of floats."""
    with open(path, newline="") as f:
        reader = csv.reader(f)
        header = [name.strip() for name in next(reader)]
        columns = {name: [] for name in header}
        for line_number, row in enumerate(reader, start=2):
            if not row:
                continue
            if len(row) != len(header):
                sys.exit(f"{path}:{line_number}: expected {len(header)} values, found {len(row)}")
            for name, value in zip(header, row):
                columns[name].append(float(value))
    return columns


def read_payload(path):
    """The 16 parameters of a payload parameter file (bias None where the file has none)."""
    with open(path) as f:
        properties = json.load(f)["payload_compensator_config"]["payload_properties"]
    com = properties["com"]
    inertia = properties["inertia"]
    values = [properties["mass"], com["x"], com["y"], com["z"]]
    values += [inertia[k] for k in ("Ixx", "Ixy", "Ixz", "Iyy", "Iyz", "Izz")]
    bias = properties.get("bias")
    values += [bias[k] if bias else None for k in ("Fx", "Fy", "Fz", "Tx", "Ty", "Tz")]
    return values


def settled_limits(times, values, sigmas, truth):
    """y-limits that show the settled part of the trace: the first seconds of an estimate are
    unusable (errors of orders of magnitude), so they are left to run off the plot."""
    if not times:
        return None
    start = times[0] + max(3.0, 0.2 * (times[-1] - times[0]))
    chosen = [i for i, t in enumerate(times) if t >= start] or [len(times) - 1]
    low = [values[i] - sigmas[i] for i in chosen if math.isfinite(sigmas[i])]
    high = [values[i] + sigmas[i] for i in chosen if math.isfinite(sigmas[i])]
    low += [values[i] for i in chosen]
    high += [values[i] for i in chosen]
    if truth is not None:
        low.append(truth)
        high.append(truth)
    lo, hi = min(low), max(high)
    pad = 0.15 * (hi - lo) if hi > lo else max(abs(hi) * 1e-3, 1e-9)
    return lo - pad, hi + pad


def plot_trace(args):
    columns = read_columns(args.trace)
    missing = [n for n in ["time"] + NAMES + ["sd_" + n for n in NAMES] if n not in columns]
    if missing:
        sys.exit(f"{args.trace}: not a convergence trace (missing columns: {', '.join(missing)})")
    truth = read_payload(args.truth) if args.truth else [None] * 16
    times = columns["time"]
    fig, axes = plt.subplots(4, 4, figsize=(16, 11), sharex=True)
    for i, name in enumerate(NAMES):
        ax = axes[i // 4][i % 4]
        values, sigmas = columns[name], columns["sd_" + name]
        ax.fill_between(times, [v - s for v, s in zip(values, sigmas)],
                        [v + s for v, s in zip(values, sigmas)], color="tab:blue", alpha=0.25,
                        linewidth=0, label="± σ reported")
        ax.plot(times, values, color="tab:blue", marker=".", markersize=3, linewidth=1,
                label="estimate")
        if truth[i] is not None:
            ax.axhline(truth[i], color="tab:red", linestyle="--", linewidth=1, label="truth")
        limits = settled_limits(times, values, sigmas, truth[i])
        if limits:
            ax.set_ylim(*limits)
        ax.set_title(LABELS[i], fontsize=10)
        ax.ticklabel_format(axis="y", style="sci", scilimits=(-3, 3), useOffset=True)
        ax.grid(True, alpha=0.3)
        if i >= 12:
            ax.set_xlabel("recording time [s]")
    axes[0][0].legend(fontsize=8, loc="best")
    fig.suptitle("Payload estimate converging (each point: the estimate after the samples up to "
                 "that time)")
    fig.tight_layout()
    fig.savefig(args.output, dpi=110)


def plot_wrench(args):
    raw = read_columns(args.recording)
    compensated = read_columns(args.compensated)
    bias = [0.0] * 6
    if args.payload:
        estimated = read_payload(args.payload)[10:]
        if all(b is not None for b in estimated):
            bias = estimated
    ok = [i for i, code in enumerate(compensated.get("code", [])) if code == 0]
    fig, axes = plt.subplots(6, 1, figsize=(14, 13), sharex=True)
    for j, axis in enumerate(AXES):
        ax = axes[j]
        ax.plot(raw["time"], [v - bias[j] for v in raw[axis]], color="0.55", linewidth=0.6,
                label="measured" + (" − estimated bias" if any(bias) else ""))
        ax.plot([compensated["time"][i] for i in ok],
                [compensated[axis][i] - bias[j] for i in ok], color="tab:green", linewidth=0.6,
                label="compensated" + (" − estimated bias" if any(bias) else ""))
        ax.set_ylabel(AXIS_LABELS[j])
        ax.grid(True, alpha=0.3)
    axes[0].legend(fontsize=8, loc="upper right")
    axes[-1].set_xlabel("time [s]")
    fig.suptitle("Payload wrench before and after compensation")
    fig.tight_layout()
    fig.savefig(args.output, dpi=110)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    trace = commands.add_parser("trace", help="estimate ± σ over time")
    trace.add_argument("trace")
    trace.add_argument("--truth")
    trace.add_argument("-o", "--output", required=True)
    wrench = commands.add_parser("wrench", help="measured versus compensated wrench")
    wrench.add_argument("recording")
    wrench.add_argument("compensated")
    wrench.add_argument("--payload")
    wrench.add_argument("-o", "--output", required=True)
    args = parser.parse_args()
    try:
        if args.command == "trace":
            plot_trace(args)
        else:
            plot_wrench(args)
    except (OSError, ValueError, KeyError, StopIteration) as error:
        sys.exit(f"plot_payload.py: {error}")


if __name__ == "__main__":
    main()
