#!/usr/bin/python3
"""Plot a vorel-sim trace (CSV, one row per 2 ms controller cycle) as a PNG.

usage: /usr/bin/python3 scripts/plot-trace.py [--axis x|y|z] TRACE.csv [OUT.png]

Three panels over controller time, for one axis (default z):
  force along that TCP axis: raw sensor value, tool frame (bias removed),
  filtered
  the reference offset the drive received along that TCP axis
  the robot's TCP position along that world axis (z: its height)

A black-box file of the device (or vorel-monitor's --dump / --follow) has
the same columns and more: its events are marked by dashed lines with their
names, and the cycles in which the supervisor held the offset (sensor stale,
cycle failed, force control not running) are shaded.

Uses Debian's python3-matplotlib (run with /usr/bin/python3: another python3
first on PATH may lack it). OUT.png defaults to TRACE with .png.
"""
import csv
import math
import os
import sys


def read_trace(path):
    with open(path, newline="") as f:
        rows = list(csv.DictReader(f))
    if not rows:
        raise ValueError(f"{path}: no rows")
    columns = {name: [] for name in rows[0]}
    for row in rows:
        for name, value in row.items():
            try:
                columns[name].append(float(value))
            except (TypeError, ValueError):
                columns[name].append(math.nan)
    return columns


EVENT_NAMES = [(1, "stale trip"), (2, "cycle failure"), (4, "limit binds"),
               (8, "program terminated"), (16, "request")]


def mark_recorder_columns(c, axes):
    """Events and held spans of a black-box file; nothing for a plain trace."""
    t = c["time_s"]
    if "supervisor_state" in c:
        start = None
        for i, state in enumerate(c["supervisor_state"] + [0.0]):
            held = state in (1.0, 2.0, 3.0)
            if held and start is None:
                start = i
            elif not held and start is not None:
                for ax in axes:
                    ax.axvspan(t[start], t[i - 1], color="tab:orange", alpha=0.15, lw=0,
                               label="offset held (supervisor)" if ax is axes[0] else None)
                start = None
    for i, bits in enumerate(c.get("events", [])):
        if not bits > 0:
            continue
        names = "+".join(n for bit, n in EVENT_NAMES if int(bits) & bit)
        for ax in axes:
            ax.axvline(t[i], color="black", ls="--", lw=0.9)
        axes[0].annotate(names, (t[i], 1.0), xycoords=("data", "axes fraction"),
                         xytext=(3, -12), textcoords="offset points", fontsize="small")
    axes[0].legend(loc="best", fontsize="small")


def main(argv):
    argv = list(argv)
    axis = "z"
    if len(argv) > 2 and argv[1] == "--axis":
        axis = argv[2]
        del argv[1:3]
    if len(argv) not in (2, 3) or axis not in ("x", "y", "z"):
        print(__doc__.strip(), file=sys.stderr)
        return 2
    trace = argv[1]
    out = argv[2] if len(argv) == 3 else os.path.splitext(trace)[0] + ".png"
    try:
        c = read_trace(trace)
    except (OSError, ValueError, csv.Error) as e:
        print(f"plot-trace: cannot read the trace {trace}: {e}", file=sys.stderr)
        return 1
    f, o, p = "f" + axis, "offset_" + axis, "tcp_" + axis
    missing = [n for n in ("time_s", "raw_" + f, "tool_" + f, "filt_" + f, o, p) if n not in c]
    if missing:
        print(f"plot-trace: {trace} is not a vorel-sim trace (no {', '.join(missing)})",
              file=sys.stderr)
        return 1

    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    t = c["time_s"]
    fig, (ax_f, ax_o, ax_z) = plt.subplots(3, 1, sharex=True, figsize=(9, 8),
                                           gridspec_kw={"height_ratios": [2, 1, 1]})
    ax_f.plot(t, c["raw_" + f], color="0.75", lw=0.8, label=f"raw {f} (sensor axes)")
    ax_f.plot(t, c["tool_" + f], color="tab:blue", lw=0.8, label=f"tool frame {f}, bias removed")
    ax_f.plot(t, c["filt_" + f], color="tab:red", lw=1.4, label=f"filtered {f}")
    ax_f.set_ylabel("force (N)")
    ax_f.legend(loc="best", fontsize="small")
    ax_f.grid(True, alpha=0.3)

    ax_o.plot(t, [v * 1000.0 for v in c[o]], color="tab:green", lw=1.2)
    ax_o.set_ylabel(f"offset {axis} (mm)\nTCP axes")
    ax_o.grid(True, alpha=0.3)

    ax_z.plot(t, [v * 1000.0 for v in c[p]], color="tab:purple", lw=1.2)
    ax_z.set_ylabel("TCP height (mm)\nworld z" if axis == "z" else f"TCP {axis} (mm)\nworld {axis}")
    ax_z.set_xlabel("controller time (s)")
    ax_z.grid(True, alpha=0.3)

    mark_recorder_columns(c, (ax_f, ax_o, ax_z))
    fig.suptitle(os.path.basename(trace))
    fig.tight_layout()
    fig.savefig(out, dpi=100)
    print(f"plot-trace: wrote {out}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
