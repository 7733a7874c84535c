// Measurement: the built-in measurement run of vorel-sim --measure. It
// brings the program the device runs, the cell it runs in, and the host-side
// probes; the session calls it at the points of the device's lifecycle and
// of the program's waits.
//
// The program (programText): system filter off, tare, force control on z
// only with translation gain 1 and target 0, then two windows:
//
//   window    program               measured
//   latency   wait                  the sensor's fz alternates between +5 N
//             (no user filter)      and -5 N every 20 ms (ForceSteps): the
//                                   step-to-drive latency of every step, from
//                                   the drive commands' arrival times and
//                                   offsets (MeasuringBackend); the
//                                   frame-to-publication latency of every
//                                   published frame (PublicationProbe)
//   CPU       addFilter x 3, wait   the steps go on; the CPU time of the
//             (low-pass, notch,     plug-in's three worker threads, and the
//             rate limiter)         process's resident memory at the start
//                                   and the end of the window
//
// Over both windows (force control on throughout): the controller cycles in
// which no drive command arrived ("missed cycles", MeasuringBackend), the
// deadlines the simulated controller's clock itself skipped, and the
// scheduling the force-control thread ran with. From the first second of the
// latency window to the end of the CPU window: the minor page faults of the
// device's threads (every thread that appeared while the device activated
// and bound), per thread from /proc. From the first second of the latency
// window to its end: the usable samples per second that force control
// processed, as its health record ("sensor_health") says it
// (PublicationProbe).
//
// then force control off, filters removed, a short wait. The floor lies far
// below the tool, so the force the sensor reports is the tool's weight,
// noise and the steps: the offset's rate follows the steps alone. Nothing of
// this touches the device: the probes sit on the host's side (the drive
// channel, the emulator's wrench, a reader of the shared segment) and the
// latency and CPU windows are apart, so the segment probe's polling does not
// count toward the workers' CPU.
//
// Finding the workers. The plug-in's threads carry no names, so they are
// found by when they appear and what they do: the threads that appear while
// the device activates are the sensor reader and the force-control thread,
// those that appear while it binds are the command facade and the host's
// signal-delivery threads for the device's subscriptions. The force-control
// thread is the one that sends the drive commands; of the others, the one
// whose CPU clock advances during the latency window is the worker (the
// delivery threads sleep: no signal is published during the run). Their CPU
// time comes from the kernel's per-thread CPU clocks (process_stats.h).
//
// Threads: every call from the session's (host's main) thread.
#pragma once

#include <sys/types.h>

#include <boost/shared_ptr.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "bench/e2e/force_steps.h"
#include "bench/e2e/measure_figures.h"
#include "bench/e2e/measuring_backend.h"
#include "bench/e2e/publication_probe.h"
#include "sim/controller/simulated_controller.h"
#include "sim/scenario/run_data.h"
#include "sim/scenario/summary.h"
#include "sim/world/simulated_cell.h"

namespace vorel_sim {

class Measurement {
 public:
  static constexpr double kDefaultDurationS = 20.0;
  static constexpr double kMaxLatencyWindowS = 12.0;  // 600 steps
  static constexpr double kStepAmplitudeN = 5.0;
  static constexpr std::chrono::milliseconds kStepPeriod{20};
  static constexpr double kTranslationGain = 1.0;  // x 0.001 (m/s) per N
  // Page faults count from this far into the latency window on (s).
  static constexpr double kFaultsFromS = 1.0;

  // The two windows of a run of `duration_s` (s of controller time): the
  // latency window takes 60 % of it, at most 12 s; the CPU window the rest.
  struct Plan {
    double latency_s = 12.0;
    double cpu_s = 8.0;
    static Plan forDuration(double duration_s);
  };

  explicit Measurement(const Plan& plan);
  ~Measurement();
  Measurement(const Measurement&) = delete;
  Measurement& operator=(const Measurement&) = delete;

  const Plan& plan() const { return plan_; }
  // The robot program, in the program language.
  std::string programText() const;
  // The cell: the default one with the floor 1 m below the tool and the
  // force steps added to the sensor's fz.
  CellSetup cell() const;
  // The controller as the device and the host's API are to see it (the
  // simulated controller behind the drive-channel probe).
  boost::shared_ptr<hx4_program_api_internals::ControllerBackend> attach(
      boost::shared_ptr<vorel_sim::SimulatedController> controller);

  // Lifecycle points: around the activation and after onBind (the segment
  // exists then: the segment probe opens it and throws when it cannot).
  void beforeActivation();
  void afterActivation();
  void afterBinding();
  // The program's waits, numbered from 0: 0 the latency window, 1 the CPU
  // window, 2 the wind-down. `completed`: the wait ran its full time.
  void waitBegins(int index);
  void waitEnded(int index, bool completed);
  // `wait` with the two calls above around each of its calls, numbered.
  std::function<bool(double)> windowed(std::function<bool(double)> wait);
  // The run's one-line announcement.
  std::string announcement() const;
  // Both windows ran their full time.
  bool complete() const { return latency_done_ && cpu_done_; }

  // CPU-bound processes that ran beside the device (--load).
  void setLoadProcesses(int n) { load_processes_ = n; }

  MeasureFigures figures(double sensor_rate_hz) const;

 private:
  using Clock = std::chrono::steady_clock;
  std::map<pid_t, std::int64_t> cpuOf(const std::set<pid_t>& threads) const;
  // Minor faults of the device's threads (activation and binding), by id.
  std::map<pid_t, std::uint64_t> deviceFaults() const;
  void identifyWorkers(const std::map<pid_t, std::int64_t>& before,
                       const std::map<pid_t, std::int64_t>& after);

  const Plan plan_;
  std::shared_ptr<ForceSteps> steps_;
  boost::shared_ptr<MeasuringBackend> backend_;
  std::unique_ptr<PublicationProbe> probe_;

  std::set<pid_t> before_activation_;
  std::set<pid_t> from_activation_;  // reader, force control
  std::set<pid_t> from_binding_;     // facade, signal delivery
  std::map<pid_t, std::int64_t> latency_cpu_start_;
  pid_t reader_ = 0;
  pid_t force_control_ = 0;
  pid_t facade_ = 0;

  Clock::time_point latency_start_{};
  Clock::time_point latency_end_{};
  Clock::time_point cpu_start_{};
  Clock::time_point cpu_end_{};
  std::map<pid_t, std::int64_t> cpu_at_start_;
  std::map<pid_t, std::int64_t> cpu_at_end_;
  std::map<pid_t, std::uint64_t> faults_start_;  // kFaultsFromS into the latency window
  std::map<pid_t, std::uint64_t> faults_end_;    // end of the CPU window
  std::optional<long> rss_start_;
  std::optional<long> rss_end_;
  std::optional<double> load_;
  bool latency_done_ = false;
  bool cpu_done_ = false;
  // Both windows: force control on throughout.
  std::optional<MeasuringBackend::CycleCount> cycle_count_;
  std::uint64_t overruns_start_ = 0;
  std::uint64_t overruns_ = 0;
  std::uint64_t late_wakes_start_ = 0;
  std::uint64_t late_wakes_ = 0;
  std::string force_control_scheduling_ = "unknown";
  int load_processes_ = 0;
};

// The summary of a measurement run: how the program ended, the figures, the
// drive's counters, and whether the figures were written to `file` (written
// only when the run was `complete`).
Summary measureSummary(const MeasureFigures& figures, const RunData& run, bool complete,
                       const std::string& file);

}  // namespace vorel_sim
