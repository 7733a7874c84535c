// MeasureFigures: the figures of a measurement run (vorel-sim --measure), as
// the JSON object written to the --measure file and as rows of the run's
// summary table.
//
// JSON (keys in this order; a figure that could not be measured is null;
// latencies, CPU and durations rounded to 0.001, the load average to 0.01):
//
//   {"step_to_drive_latency_ms": {"median": 4.113, "p99": 7.02, "max": 7.611, "count": 600},
//    "frame_to_publication_latency_ms": {"median": ..., "p99": ..., "max": ..., "count": 2301},
//    "worker_cpu_percent_of_core": 0.412,
//    "worker_cpu_percent_of_core_by_thread": {"reader": 0.1, "force_control": 0.25,
//                                             "facade": 0.062},
//    "rss_kib_start": 9876, "rss_kib_end": 9876, "rss_growth_kib": 0,
//    "usable_samples_per_second": {"min": 500.0, "mean": 500.0},
//    "minor_faults_after_first_s": 0,
//    "minor_faults_after_first_s_by_thread": {"reader": 0, "force_control": 0,
//                                             "facade": 0, "other": 0, "threads": 9},
//    "duration_s": 20.004, "latency_window_s": 12.0, "cpu_window_s": 8.002,
//    "steps_missed": 0, "sensor_rate_hz": 500.0, "load_average_1min": 1.21,
//    "controller_cycles": 9998, "missed_cycles": 0, "controller_overruns": 0,
//    "controller_late_wakes": 0, "force_control_scheduling": "SCHED_FIFO 40",
//    "load_processes": 3}
//
// Missed cycles: whole 2 ms controller cycles of both windows (force control
// on throughout) in which no drive command arrived; controller overruns:
// deadlines the simulated controller's own clock skipped meanwhile; late
// wakes: its wake-ups more than 1 ms after their deadline. The clock runs
// at a real-time priority above the device's, so its late wakes tell what
// the machine grants any real-time thread (a virtual machine may stall one
// for milliseconds) and bound what the device can do.
//
// Usable samples per second: force control's own count over its last whole
// second of cycles ("sensor_health"), seen from 1 s into the latency window
// to its end: its lowest value and its mean. Minor faults: of every thread that appeared
// while the device activated and bound (the reader, force control, the
// facade; "other": their line queues, the black box, the host's signal
// delivery), from 1 s into the latency window to the end of the CPU window.
//
// Latencies in ms, CPU in % of one core over cpu_window_s of wall time,
// resident memory of the whole vorel-sim process in KiB at the start and the
// end of the CPU window, durations in s.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "bench/e2e/latency_analysis.h"
#include "sim/scenario/summary.h"

namespace vorel_sim {

struct MeasureFigures {
  // Latency window: force steps, no user filter, system filter off.
  Distribution step_to_drive_ms;
  std::size_t steps_missed = 0;
  Distribution frame_to_publication_ms;
  std::optional<double> usable_samples_min;  // per second
  std::optional<double> usable_samples_mean;
  double latency_window_s = 0.0;
  double step_amplitude_n = 0.0;  // the steps go from +A to -A and back
  double step_period_ms = 0.0;

  // CPU window: the same, with three filters in the chain. Per worker
  // thread, empty when that thread was not found.
  std::optional<double> reader_cpu_percent;
  std::optional<double> force_control_cpu_percent;
  std::optional<double> facade_cpu_percent;
  double cpu_window_s = 0.0;
  struct Faults {
    std::uint64_t reader = 0;
    std::uint64_t force_control = 0;
    std::uint64_t facade = 0;
    std::uint64_t other = 0;
    int threads = 0;  // the device's threads counted
    std::uint64_t total() const { return reader + force_control + facade + other; }
  };
  std::optional<Faults> minor_faults;
  std::optional<long> rss_kib_start;
  std::optional<long> rss_kib_end;

  // Both windows, force control on.
  std::optional<std::uint64_t> controller_cycles;
  std::optional<std::uint64_t> missed_cycles;
  std::uint64_t controller_overruns = 0;
  std::uint64_t controller_late_wakes = 0;           // clock wake-ups > 1 ms late
  std::string force_control_scheduling = "unknown";  // "SCHED_FIFO 40", "normal"
  int load_processes = 0;

  double duration_s = 0.0;  // both windows
  double sensor_rate_hz = 0.0;
  std::optional<double> load_average_1min;  // at the end

  int workersFound() const;
  // The three workers' sum; empty unless all three were found.
  std::optional<double> workerCpuPercent() const;
  std::optional<long> rssGrowthKiB() const;

  std::string json() const;
  // The measurement rows of the summary: figures, goals, and the checks
  // that the figures exist.
  void addRows(Summary& summary) const;
};

}  // namespace vorel_sim
