#!/usr/bin/python3
"""Turns the raw measurements of scripts/bench.sh into results.json and a
short table on standard output.

  bench/summarize.py OUT_DIR

OUT_DIR holds what bench.sh wrote:
  figures/<figure>.json   Google Benchmark JSON of the repeated runs that the
                          figures come from
  e2e.json                what `vorel-sim --measure` wrote (optional)
  e2e-status.txt          "measured", or why the end-to-end figures may be
                          missing (not built, no --measure, a failed run)
  e2e-load-fifo40.json    the same measurement under --load 3 with the
  e2e-load-normal.json    force-control thread at SCHED_FIFO 40 / with
                          normal scheduling (each with its -status.txt)
  rss.tsv                 resident memory of vorel-sim over the soak:
                          seconds, KiB (optional)
  build.txt               compiler and build type of the measured build

It writes OUT_DIR/results.json: the machine, then one named figure per line,
each with its numbers (median and tail percentiles where it is a
distribution), its unit, its goal and its status ("pass", "miss" or "not
measured" with a reason).
"""
import json
import os
import platform
import subprocess
import sys
import time

NOT_MEASURED = "not measured"

# Memory growth over the soak that still counts as "none": the allocator and
# the kernel account resident memory in pages, so a few of them come and go.
MEMORY_NOISE_KIB = 256


def load_json(path):
    try:
        with open(path) as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


def aggregate(out_dir, figure, benchmark, field, aggregate_name="median"):
    """A field of one benchmark's aggregate (median of the repetitions)."""
    data = load_json(os.path.join(out_dir, "figures", figure + ".json"))
    if not data:
        return None
    for entry in data.get("benchmarks", []):
        if not entry.get("run_name", "").startswith(benchmark):
            continue
        if entry.get("run_type") == "aggregate" and entry.get("aggregate_name") == aggregate_name:
            if "error_occurred" in entry:
                return None
            return entry.get(field)
    return None


def to_unit(value, time_unit, unit):
    scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}
    return value * scale[time_unit] / scale[unit]


def time_field(out_dir, figure, benchmark, unit):
    data = load_json(os.path.join(out_dir, "figures", figure + ".json"))
    if not data:
        return None
    for entry in data.get("benchmarks", []):
        if (entry.get("run_name", "").startswith(benchmark) and
                entry.get("run_type") == "aggregate" and entry.get("aggregate_name") == "median"):
            if "error_occurred" in entry:
                return None
            return to_unit(entry["real_time"], entry["time_unit"], unit)
    return None


def figure(name, title, unit, values, goal_text, passed, reason=None):
    result = {"name": name, "title": title, "unit": unit}
    if values is None or any(v is None for v in values.values()):
        result.update({"goal": goal_text, "status": NOT_MEASURED,
                       "reason": reason or "the benchmark did not report it"})
        return result
    result.update({k: round(v, 4) for k, v in values.items()})
    result["goal"] = goal_text
    if passed is None:
        result["status"] = "reported"
    else:
        result["status"] = "pass" if passed(values) else "miss"
    return result


def first_of(mapping, *keys):
    for key in keys:
        if mapping.get(key) is not None:
            return mapping[key]
    return None


def e2e_figures(out_dir):
    """The end-to-end figures from what vorel-sim --measure wrote. Whatever
    e2e.json holds is used, also after a failed run; a missing figure gets the
    run's status as its reason."""
    try:
        with open(os.path.join(out_dir, "e2e-status.txt")) as f:
            status = f.read().strip()
    except OSError:
        status = "vorel-sim --measure was not run"
    e2e = load_json(os.path.join(out_dir, "e2e.json"))
    if status == "measured":
        reason = ("vorel-sim --measure did not report it" if e2e is not None else
                  "vorel-sim --measure wrote no readable e2e.json")
    else:
        reason = status
    e2e = e2e if isinstance(e2e, dict) else {}

    def dist(key):
        d = e2e.get(key)
        if not isinstance(d, dict):
            return None
        values = {"median": d.get("median"), "p99": d.get("p99")}
        if isinstance(d.get("max"), (int, float)):
            values["max"] = d["max"]
        return values

    figures = [
        figure("step_to_drive_latency", "step-to-drive latency at 500 Hz", "ms",
               dist("step_to_drive_latency_ms"), "p99 < 8 ms", lambda v: v["p99"] < 8.0, reason),
        figure("frame_to_publication_latency", "frame-to-publication latency", "ms",
               dist("frame_to_publication_latency_ms"), "(reported)", None, reason),
    ]
    cpu = first_of(e2e, "worker_cpu_percent_of_core", "worker_cpu_percent")
    figures.append(figure("worker_cpu", "worker CPU at 500 Hz, force control on",
                          "% of one core", None if cpu is None else {"value": cpu},
                          "< 1 %", lambda v: v["value"] < 1.0, reason))

    growth = first_of(e2e, "rss_growth_kib", "memory_growth_kib")
    soak_reason = reason
    if growth is None and os.path.exists(os.path.join(out_dir, "rss.tsv")):
        growth, sample_reason = memory_growth(out_dir)
        soak_reason = sample_reason or reason
    figures.append(figure("memory_growth", "memory growth over the soak", "KiB",
                          None if growth is None else {"value": growth},
                          "none (<= %d KiB)" % MEMORY_NOISE_KIB,
                          lambda v: v["value"] <= MEMORY_NOISE_KIB, soak_reason))
    return figures


LOAD_VARIANTS = (
    ("fifo40", "under --load 3, force control SCHED_FIFO 40", "SCHED_FIFO 40"),
    ("normal", "under --load 3, force control normal scheduling", "normal"),
)


def load_figures(out_dir):
    """Missed controller cycles and the latency tails of the two measurements
    under load, one row each."""
    figures = []
    for variant, title, scheduling in LOAD_VARIANTS:
        try:
            with open(os.path.join(out_dir, "e2e-load-%s-status.txt" % variant)) as f:
                status = f.read().strip()
        except OSError:
            status = "not run"
        e2e = load_json(os.path.join(out_dir, "e2e-load-%s.json" % variant))
        e2e = e2e if isinstance(e2e, dict) else {}
        reason = status if status != "measured" else "vorel-sim --measure did not report it"
        ran_with = e2e.get("force_control_scheduling")
        if e2e and ran_with != scheduling:
            reason = "this machine does not allow SCHED_FIFO here (force control ran %s)" % ran_with
            values = None
        else:
            def p99(key):
                d = e2e.get(key)
                return d.get("p99") if isinstance(d, dict) else None
            values = {"missed": e2e.get("missed_cycles"), "cycles": e2e.get("controller_cycles"),
                      "clock_late_wakes": e2e.get("controller_late_wakes"),
                      "step_to_drive_p99": p99("step_to_drive_latency_ms"),
                      "frame_to_publication_p99": p99("frame_to_publication_latency_ms")}
        rt = variant == "fifo40"
        figures.append(figure("missed_cycles_load3_" + variant, "missed cycles " + title, "",
                              values, "0 missed" if rt else "(reported)",
                              (lambda v: v["missed"] == 0) if rt else None, reason))
    return figures


def memory_growth(out_dir):
    """Resident memory at the end of the soak minus that after its warm-up
    (the first fifth of the run, at most 60 s)."""
    samples = []
    try:
        with open(os.path.join(out_dir, "rss.tsv")) as f:
            for line in f:
                parts = line.split()
                if len(parts) == 2:
                    samples.append((float(parts[0]), float(parts[1])))
    except (OSError, ValueError):
        return None, "no resident-memory samples of vorel-sim"
    if len(samples) < 3:
        return None, "too few resident-memory samples of vorel-sim"
    duration = samples[-1][0]
    warm_up = min(60.0, duration / 5.0)
    after = [kib for t, kib in samples if t >= warm_up]
    return after[-1] - after[0], None


def build(out_dir):
    cycle = "BM_ForceControlCycle_FourFiltersAndSystemFilter"
    figures = [
        figure("force_control_cycle_compute",
               "force-control cycle compute, four filters + system filter", "us",
               {"median": aggregate(out_dir, "cycle", cycle, "p50_us"),
                "p99": aggregate(out_dir, "cycle", cycle, "p99_us"),
                "p99_9": aggregate(out_dir, "cycle", cycle, "p99_9_us")},
               "median < 5 us, p99.9 < 50 us",
               lambda v: v["median"] < 5.0 and v["p99_9"] < 50.0),
        figure("facade_readout_uncontended", "facade readout, uncontended", "us",
               {"median": time_field(out_dir, "facade", "BM_FacadeTCPReadout_Uncontended", "us")},
               "median < 1 us", lambda v: v["median"] < 1.0),
    ]
    rate = aggregate(out_dir, "sync", "BM_SyncFromMemory_ValidStream", "bytes_per_second")
    faulty = aggregate(out_dir, "sync", "BM_SyncFromMemory_OnePercentByteFaults",
                       "bytes_per_second")
    figures.append(figure("synchroniser_throughput",
                          "synchroniser throughput, valid stream (and with 1 % byte faults)",
                          "MB/s", {"median": None if rate is None else rate / 1e6,
                                   "faults_1pct": None if faulty is None else faulty / 1e6},
                          "> 100 MB/s (valid stream)", lambda v: v["median"] > 100.0))
    figures += e2e_figures(out_dir)
    figures += load_figures(out_dir)
    return figures


def machine_info(out_dir):
    """The machine, build and source the figures were measured on."""
    cpu = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    memory_gib = None
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemTotal:"):
                    memory_gib = round(int(line.split()[1]) / 1024 / 1024, 1)
    except OSError:
        pass
    try:
        with open(os.path.join(out_dir, "build.txt")) as f:
            build = f.read().strip()
    except OSError:
        build = "unknown build"
    try:
        commit = subprocess.run(["git", "describe", "--always", "--dirty"], capture_output=True,
                                text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        commit = "unknown"
    try:
        load = os.getloadavg()[0]
    except OSError:
        load = None
    info = {
        "cpu": cpu,
        "logical_cpus": os.cpu_count(),
        "memory_gib": memory_gib,
        "kernel": platform.release(),
        "build": build,
        "commit": commit,
        "date": time.strftime("%Y-%m-%d %H:%M %Z"),
        "load_average_1min": load,
    }
    info["summary"] = "%s, %s logical CPUs, %s GiB, Linux %s; %s; commit %s" % (
        cpu, info["logical_cpus"], memory_gib, info["kernel"], build, commit)
    return info


def write_results(out_dir, figures):
    machine = machine_info(out_dir)
    lines = ["{", '  "machine": %s,' % json.dumps(machine, sort_keys=True), '  "figures": [']
    for i, f in enumerate(figures):
        lines.append("    %s%s" % (json.dumps(f), "," if i + 1 < len(figures) else ""))
    lines += ["  ]", "}"]
    with open(os.path.join(out_dir, "results.json"), "w") as f:
        f.write("\n".join(lines) + "\n")
    json.loads("\n".join(lines))  # the file must stay valid JSON
    return machine


def value_text(f):
    if f["status"] == NOT_MEASURED:
        return NOT_MEASURED
    if "missed" in f:
        return ("%d of %d cycles missed, step-to-drive p99 %s ms, frame-to-publication p99 %s ms"
                " (controller clock woke > 1 ms late %d times)" % (
                    f["missed"], f["cycles"], format_number(f["step_to_drive_p99"]),
                    format_number(f["frame_to_publication_p99"]), f["clock_late_wakes"]))
    unit = f["unit"]
    parts = []
    for key, label in (("value", ""), ("median", "median "), ("p99", "p99 "),
                       ("p99_9", "p99.9 "), ("max", "max "),
                       ("faults_1pct", "with 1 % byte faults ")):
        if key in f:
            parts.append("%s%s %s" % (label, format_number(f[key]), unit))
    return ", ".join(parts)


def format_number(x):
    if abs(x) >= 100:
        return "%.0f" % x
    if abs(x) >= 10:
        return "%.1f" % x
    return "%.2f" % x


def print_table(machine, figures):
    rows = [("figure", "measured", "goal", "status")]
    for f in figures:
        status = f["status"]
        if status == NOT_MEASURED:
            status += " (%s)" % f["reason"]
        rows.append((f["title"], value_text(f), f["goal"], status))
    widths = [max(len(r[i]) for r in rows) for i in range(3)]
    print("machine: %s" % machine.get("summary", "unknown"))
    for n, r in enumerate(rows):
        print("  ".join(r[i].ljust(widths[i]) for i in range(3)) + "  " + r[3])
        if n == 0:
            print("  ".join("-" * w for w in widths) + "  " + "-" * 6)


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    out_dir = sys.argv[1]
    figures = build(out_dir)
    machine = write_results(out_dir, figures)
    print_table(machine, figures)
    return 0


if __name__ == "__main__":
    sys.exit(main())
