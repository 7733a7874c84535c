#include "bench/e2e/measurement.h"

#include <algorithm>
#include <boost/make_shared.hpp>
#include <fstream>

#include "adaptive/control_law.h"
#include "bench/e2e/process_stats.h"
#include "sim/scenario/scenarios.h"
#include "sim/scenario/summary.h"

namespace vorel_sim {

namespace {

constexpr double kSensorRateHz = 500.0;  // frames per second, the most a window can see
// The first step follows the latency window's start by this much, so that
// force control has settled on the tared force.
constexpr std::chrono::milliseconds kStepDelay{100};

std::size_t capacityFor(double seconds, double per_second) {
  return static_cast<std::size_t>(seconds * per_second * 1.2) + 64;
}

}  // namespace

Measurement::Plan Measurement::Plan::forDuration(double duration_s) {
  Plan plan;
  plan.latency_s = std::min(kMaxLatencyWindowS, 0.6 * duration_s);
  plan.cpu_s = duration_s - plan.latency_s;
  return plan;
}

Measurement::Measurement(const Plan& plan)
    : plan_(plan),
      steps_(std::make_shared<ForceSteps>(
          kStepAmplitudeN, kStepPeriod,
          capacityFor(plan.latency_s, 1000.0 / static_cast<double>(kStepPeriod.count())))) {}

Measurement::~Measurement() = default;

std::string Measurement::programText() const {
  return "# vorel-sim --measure: force control on z, system filter off, target 0 N;\n"
         "# the sensor's fz steps between +5 N and -5 N every 20 ms.\n"
         "setEnabledSystemFilters false\n"
         "tareSensor\n"
         "setEnabledAxes false false true false false false\n"
         "setForceControlGains 1 1 0.01\n"
         "setForceTrackValue 0 0 0\n"
         "activateForceControl true false\n" +
         fmt("wait %.3f    # latency window: no user filter\n", plan_.latency_s) +
         "addFilter smooth lowpass 0 0 100 0 0\n"
         "addFilter hum notch 50 5 0 0 0\n"
         "addFilter limit ratelimiter 0 0 0 2000 -2000\n" +
         fmt("wait %.3f    # CPU window: three filters in the chain\n", plan_.cpu_s) +
         "deactivateForceControl\n"
         "removeFilter all\n"
         "wait 0.2\n";
}

CellSetup Measurement::cell() const {
  CellSetup setup;
  setup.plane_z = -1.0;  // 1.05 m below the TCP: never touched
  const std::shared_ptr<ForceSteps> steps = steps_;
  setup.added_wrench = [steps](ForceSteps::Clock::time_point t) { return steps->wrenchAt(t); };
  return setup;
}

boost::shared_ptr<hx4_program_api_internals::ControllerBackend> Measurement::attach(
    boost::shared_ptr<vorel_sim::SimulatedController> controller) {
  // One drive command per 2 ms controller cycle.
  backend_ = boost::make_shared<MeasuringBackend>(std::move(controller),
                                                  capacityFor(plan_.latency_s, 500.0));
  return backend_;
}

void Measurement::beforeActivation() {
  before_activation_ = process_stats::threadIds();
}

void Measurement::afterActivation() {
  from_activation_.clear();
  for (const pid_t tid : process_stats::threadIds()) {
    if (!before_activation_.count(tid))
      from_activation_.insert(tid);
  }
}

void Measurement::afterBinding() {
  from_binding_.clear();
  for (const pid_t tid : process_stats::threadIds()) {
    if (!before_activation_.count(tid) && !from_activation_.count(tid))
      from_binding_.insert(tid);
  }
  // At most one publication per sensor frame.
  probe_ = std::make_unique<PublicationProbe>(capacityFor(plan_.latency_s, kSensorRateHz));
}

std::map<pid_t, std::int64_t> Measurement::cpuOf(const std::set<pid_t>& threads) const {
  std::map<pid_t, std::int64_t> out;
  for (const pid_t tid : threads) {
    // 0 marks a worker not found (and would name the calling thread).
    if (tid <= 0)
      continue;
    if (const auto ns = process_stats::threadCpuNanos(tid))
      out[tid] = *ns;
  }
  return out;
}

std::map<pid_t, std::uint64_t> Measurement::deviceFaults() const {
  std::map<pid_t, std::uint64_t> out;
  for (const auto* threads : {&from_activation_, &from_binding_}) {
    for (const pid_t tid : *threads) {
      if (const auto faults = process_stats::threadMinorFaults(tid))
        out[tid] = *faults;
    }
  }
  return out;
}

void Measurement::identifyWorkers(const std::map<pid_t, std::int64_t>& before,
                                  const std::map<pid_t, std::int64_t>& after) {
  const pid_t drive = backend_ ? backend_->driveThread() : 0;
  if (from_activation_.count(drive))
    force_control_ = drive;
  // The busiest thread of a set, not counting the force-control thread;
  // 0 when none of them ran.
  auto busiest = [&](const std::set<pid_t>& threads) {
    pid_t found = 0;
    std::int64_t most = 0;
    for (const pid_t tid : threads) {
      const auto b = before.find(tid);
      const auto a = after.find(tid);
      if (tid == drive || b == before.end() || a == after.end())
        continue;
      if (a->second - b->second > most) {
        most = a->second - b->second;
        found = tid;
      }
    }
    return found;
  };
  reader_ = busiest(from_activation_);
  facade_ = busiest(from_binding_);
}

std::function<bool(double)> Measurement::windowed(std::function<bool(double)> wait) {
  return [this, wait = std::move(wait), index = 0](double seconds) mutable {
    waitBegins(index);
    bool completed = true;
    if (index == 0 && seconds > kFaultsFromS) {
      // Page faults and the usable samples count from the first second on:
      // what activation and the first cycles fault in is not steady state,
      // and force control's figure covers a whole second of cycles.
      completed = wait(kFaultsFromS);
      faults_start_ = deviceFaults();
      if (probe_)
        probe_->countUsableRate();
      seconds -= kFaultsFromS;
    }
    completed = completed && wait(seconds);
    waitEnded(index++, completed);
    return completed;
  };
}

std::string Measurement::announcement() const {
  return fmt(
      "vorel-sim: measurement: %.1f s of step-to-drive and frame-to-publication latency, "
      "then %.1f s of worker CPU and resident memory",
      plan_.latency_s, plan_.cpu_s);
}

void Measurement::waitBegins(int index) {
  if (index == 0) {
    std::set<pid_t> candidates = from_activation_;
    candidates.insert(from_binding_.begin(), from_binding_.end());
    latency_cpu_start_ = cpuOf(candidates);
    latency_start_ = Clock::now();
    steps_->setRecording(true);
    steps_->arm(latency_start_ + kStepDelay);
    if (backend_) {
      backend_->setRecording(true);
      backend_->startCycleCount();
      overruns_start_ = backend_->controllerOverruns();
      late_wakes_start_ = backend_->controllerLateWakes();
    }
    if (probe_)
      probe_->start();
  } else if (index == 1) {
    cpu_at_start_ = cpuOf({reader_, force_control_, facade_});
    rss_start_ = process_stats::residentKiB();
    cpu_start_ = Clock::now();
  } else if (index == 2) {
    steps_->disarm();
  }
}

void Measurement::waitEnded(int index, bool completed) {
  if (index == 0) {
    latency_end_ = Clock::now();
    if (probe_)
      probe_->stop();
    if (backend_)
      backend_->setRecording(false);
    steps_->setRecording(false);
    std::set<pid_t> candidates = from_activation_;
    candidates.insert(from_binding_.begin(), from_binding_.end());
    identifyWorkers(latency_cpu_start_, cpuOf(candidates));
    if (force_control_ > 0)
      force_control_scheduling_ = process_stats::schedulingOf(force_control_);
    latency_done_ = completed;
  } else if (index == 1) {
    cpu_end_ = Clock::now();
    if (backend_) {
      cycle_count_ = backend_->stopCycleCount();
      overruns_ = backend_->controllerOverruns() - overruns_start_;
      late_wakes_ = backend_->controllerLateWakes() - late_wakes_start_;
    }
    cpu_at_end_ = cpuOf({reader_, force_control_, facade_});
    faults_end_ = deviceFaults();
    rss_end_ = process_stats::residentKiB();
    load_ = process_stats::loadAverage1min();
    cpu_done_ = completed;
  }
}

MeasureFigures Measurement::figures(double sensor_rate_hz) const {
  MeasureFigures f;
  f.sensor_rate_hz = sensor_rate_hz;
  f.step_amplitude_n = kStepAmplitudeN;
  f.step_period_ms = static_cast<double>(kStepPeriod.count());
  // Offset per drive command and N of force error: one cycle's integration.
  const double metres_per_newton = vorel_device::control_law::kCycleTime * kTranslationGain *
                                   vorel_device::control_law::kTranslationScale;
  if (backend_) {
    const StepLatencies steps =
        stepToDriveLatencies(steps_->recorded(), backend_->samples(), metres_per_newton);
    f.step_to_drive_ms = distributionOf(steps.ms);
    f.steps_missed = steps.missed;
  }
  if (probe_) {
    f.frame_to_publication_ms = distributionOf(probe_->samples());
    const PublicationProbe::UsableRate rate = probe_->usableRate();
    if (rate.polls > 0) {
      f.usable_samples_min = rate.min;
      f.usable_samples_mean = rate.mean;
    }
  }
  auto seconds = [](Clock::duration d) { return std::chrono::duration<double>(d).count(); };
  f.latency_window_s = seconds(latency_end_ - latency_start_);
  f.cpu_window_s = seconds(cpu_end_ - cpu_start_);
  f.duration_s = seconds(cpu_end_ - latency_start_);
  auto percent = [&](pid_t tid) -> std::optional<double> {
    const auto a = cpu_at_start_.find(tid);
    const auto b = cpu_at_end_.find(tid);
    if (tid == 0 || a == cpu_at_start_.end() || b == cpu_at_end_.end() || f.cpu_window_s <= 0.0)
      return std::nullopt;
    return 100.0 * static_cast<double>(b->second - a->second) / 1e9 / f.cpu_window_s;
  };
  f.reader_cpu_percent = percent(reader_);
  f.force_control_cpu_percent = percent(force_control_);
  f.facade_cpu_percent = percent(facade_);
  // A thread gone before the end (none should) counts from what it had.
  if (!faults_start_.empty()) {
    MeasureFigures::Faults faults;
    for (const auto& [tid, start] : faults_start_) {
      const auto end = faults_end_.find(tid);
      const std::uint64_t n =
          end == faults_end_.end() || end->second < start ? 0 : end->second - start;
      (tid == reader_          ? faults.reader
       : tid == force_control_ ? faults.force_control
       : tid == facade_        ? faults.facade
                               : faults.other) += n;
    }
    faults.threads = static_cast<int>(faults_start_.size());
    f.minor_faults = faults;
  }
  f.rss_kib_start = rss_start_;
  f.rss_kib_end = rss_end_;
  f.load_average_1min = load_;
  if (cycle_count_ && cpu_done_) {
    f.controller_cycles = cycle_count_->cycles;
    f.missed_cycles = cycle_count_->missed;
  }
  f.controller_overruns = overruns_;
  f.controller_late_wakes = late_wakes_;
  f.force_control_scheduling = force_control_scheduling_;
  f.load_processes = load_processes_;
  return f;
}

Summary measureSummary(const MeasureFigures& figures, const RunData& run, bool complete,
                       const std::string& file) {
  Summary s("measure summary");
  programRow(s, run);
  figures.addRows(s);
  // Under --load the sensor emulator's line may lose bytes (the reader does
  // not read in time without a real-time priority): reported, not failed.
  const bool loaded = figures.load_processes > 0;
  linkRows(s, run, !loaded, loaded);
  if (!complete || !run.setup_error.empty() || run.interrupted) {
    s.check("figures written", "no: the measurement did not run in full", file, false);
    return s;
  }
  std::ofstream out(file, std::ios::trunc);
  out << figures.json();
  out.close();
  s.check("figures written", out ? file : "no: cannot write " + file, file, static_cast<bool>(out));
  return s;
}

}  // namespace vorel_sim
