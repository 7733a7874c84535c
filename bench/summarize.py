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
  e2e-base.json           the same measurement of the reference commit named
  e2e-base-commit.txt     in e2e-base-commit.txt (each with its -status.txt)
  margin.json             scripts/force_margin.sh: the largest stable gain of
                          this tree and of the reference commit
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


def read_text(path, default):
    try:
        with open(path) as f:
            return f.read().strip()
    except OSError:
        return default


def base_measurement(out_dir):
    """The reference commit and what its vorel-sim --measure wrote ({} when
    it did not run in full)."""
    commit = read_text(os.path.join(out_dir, "e2e-base-commit.txt"), None)
    status = read_text(os.path.join(out_dir, "e2e-base-status.txt"), "not run")
    e2e = load_json(os.path.join(out_dir, "e2e-base.json"))
    if status != "measured" or not isinstance(e2e, dict):
        return commit, {}
    return commit, e2e


def with_base(result, base_values):
    """The reference commit's values beside a figure's, as base_<key>."""
    if base_values and result.get("status") != NOT_MEASURED:
        for key, value in base_values.items():
            if value is not None:
                result["base_" + key] = round(value, 4)
    return result


def e2e_figures(out_dir):
    """The end-to-end figures from what vorel-sim --measure wrote. Whatever
    e2e.json holds is used, also after a failed run; a missing figure gets the
    run's status as its reason. Beside them, the reference commit's
    (e2e-base.json), when it ran."""
    status = read_text(os.path.join(out_dir, "e2e-status.txt"), "vorel-sim --measure was not run")
    base_commit, base = base_measurement(out_dir)
    e2e = load_json(os.path.join(out_dir, "e2e.json"))
    if status == "measured":
        reason = ("vorel-sim --measure did not report it" if e2e is not None else
                  "vorel-sim --measure wrote no readable e2e.json")
    else:
        reason = status
    e2e = e2e if isinstance(e2e, dict) else {}

    def dist(key, source=None):
        d = (e2e if source is None else source).get(key)
        if not isinstance(d, dict):
            return None
        values = {"median": d.get("median"), "p99": d.get("p99")}
        if isinstance(d.get("max"), (int, float)):
            values["max"] = d["max"]
        return values

    def value(key, source):
        v = source.get(key)
        return {"value": v} if isinstance(v, (int, float)) else None

    figures = [
        with_base(figure("step_to_drive_latency", "step-to-drive latency at 500 Hz", "ms",
                         dist("step_to_drive_latency_ms"), "median <= 2.5 ms, p99 <= 3.5 ms",
                         lambda v: v["median"] <= 2.5 and v["p99"] <= 3.5, reason),
                  dist("step_to_drive_latency_ms", base)),
        with_base(figure("frame_to_publication_latency", "frame-to-publication latency", "ms",
                         dist("frame_to_publication_latency_ms"), "p99 <= 0.6 ms",
                         lambda v: v["p99"] <= 0.6, reason),
                  dist("frame_to_publication_latency_ms", base)),
    ]
    usable = e2e.get("usable_samples_per_second")
    usable = usable if isinstance(usable, dict) else {}
    base_usable = base.get("usable_samples_per_second")
    figures.append(with_base(
        figure("usable_samples", "usable samples force control processed at 500 Hz", "per s",
               {"min": usable.get("min"), "mean": usable.get("mean")}
               if usable.get("min") is not None else None,
               ">= 490 per s (lowest second)", lambda v: v["min"] >= 490.0, reason),
        {"min": base_usable.get("min"), "mean": base_usable.get("mean")}
        if isinstance(base_usable, dict) else None))
    figures.append(with_base(
        figure("minor_faults", "minor page faults of the device's threads after the first second",
               "", value("minor_faults_after_first_s", e2e), "0", lambda v: v["value"] == 0,
               reason),
        value("minor_faults_after_first_s", base)))
    cpu = first_of(e2e, "worker_cpu_percent_of_core", "worker_cpu_percent")
    base_cpu = base.get("worker_cpu_percent_of_core")
    if isinstance(base_cpu, (int, float)):
        cpu_goal, cpu_passed = ("at most 1 point above %s" % base_commit,
                                lambda v: v["value"] <= base_cpu + 1.0)
    else:
        cpu_goal, cpu_passed = "< 1 %", lambda v: v["value"] < 1.0
    figures.append(with_base(figure("worker_cpu", "worker CPU at 500 Hz, force control on",
                                    "% of one core", None if cpu is None else {"value": cpu},
                                    cpu_goal, cpu_passed, reason),
                             value("worker_cpu_percent_of_core", base)))

    growth = first_of(e2e, "rss_growth_kib", "memory_growth_kib")
    soak_reason = reason
    if growth is None and os.path.exists(os.path.join(out_dir, "rss.tsv")):
        growth, sample_reason = memory_growth(out_dir)
        soak_reason = sample_reason or reason
    figures.append(with_base(figure("memory_growth", "memory growth over the soak", "KiB",
                                    None if growth is None else {"value": growth},
                                    "none (<= %d KiB)" % MEMORY_NOISE_KIB,
                                    lambda v: v["value"] <= MEMORY_NOISE_KIB, soak_reason),
                             value("rss_growth_kib", base)))
    return figures


def margin_figure(out_dir):
    """The force loop's margin of this tree beside the reference commit's."""
    margin = load_json(os.path.join(out_dir, "margin.json"))
    margin = margin if isinstance(margin, dict) else {}
    this = (margin.get("this") or {}).get("largest_stable_gain")
    base = (margin.get("base") or {}).get("largest_stable_gain")
    values = None
    if this is not None and base:
        values = {"value": this, "base_value": base, "ratio": this / base}
    return figure("force_loop_margin",
                  "force-loop margin: largest stable translation gain, 10 N on 5000 N/m", "",
                  values, ">= 1.5 x %s" % (margin.get("base") or {}).get("commit", "the reference"),
                  lambda v: v["ratio"] >= 1.5,
                  "scripts/force_margin.sh did not report both builds")


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
    figures.append(margin_figure(out_dir))
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
    unit = (" " + f["unit"]) if f["unit"] else ""
    keys = (("value", ""), ("min", "lowest "), ("mean", "mean "), ("median", "median "),
            ("p99", "p99 "), ("p99_9", "p99.9 "), ("max", "max "),
            ("faults_1pct", "with 1 % byte faults "))
    parts = ["%s%s%s" % (label, format_number(f[key]), unit) for key, label in keys if key in f]
    text = ", ".join(parts)
    base = ["%s%s%s" % (label, format_number(f["base_" + key]), unit)
            for key, label in keys if "base_" + key in f]
    if base:
        text += "; before: " + ", ".join(base)
    if "ratio" in f:
        text += " (x%.2f)" % f["ratio"]
    return text


def format_number(x):
    if isinstance(x, int) or float(x).is_integer():
        return "%d" % x
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
