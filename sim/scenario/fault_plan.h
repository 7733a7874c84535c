// FaultPlan: line faults injected into the sensor emulator at set times after
// its start: by default the start of force control (the first reference
// offset the drive receives), or a time the host gives (anchorAt: the start
// of the robot program, for --fault). It runs as a per-cycle observer: every
// record checks whether the next step is due. Steps are emulator calls that
// return at once, except a hang-up, which joins the emulator's threads
// (within about one frame period), and a mutex holder, which waits for its
// child process to end (a few ms). A signal storm runs on its own thread
// until its time is over or the plan is destroyed.
#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sim/observe/cycle_record.h"
#include "sim/scenario/fault_step.h"
#include "sim/scenario/signal_storm.h"
#include "sim/sensor/sensor_emulator.h"

namespace vorel_sim {

class FaultPlan {
 public:
  struct Applied {
    FaultStep step;
    double time_s = 0.0;  // controller time it took effect (after the step's call)
    std::string note;     // what the step found (the mutex holder's outcome), or empty
    bool done = true;     // false: the step could not do what it should
  };

  enum class Anchor {
    ForceControl,  // the plan starts with the first reference offset
    Host,          // the plan starts when the host calls anchorAt
  };

  // `steps` in the order of their times.
  // `clock`: controller time, s, read after each step's call (empty: the
  // record's time).
  FaultPlan(vorel_sim::SensorEmulator& emulator, std::vector<FaultStep> steps,
            Anchor anchor = Anchor::ForceControl, std::function<double()> clock = nullptr);
  ~FaultPlan();

  // What an ActivatorKill step calls: kills the activating process and
  // says so; `done` false when it could not.
  void setActivatorKiller(std::function<std::string(bool& done)> killer);
  // Starts the plan at controller time `time_s` (Anchor::Host; ignored once
  // started).
  void anchorAt(double time_s);
  // Per-cycle observer.
  void onRecord(const CycleRecord& record);

  // The time after the plan's start from which the line is clean for good:
  // every fault switched on has ended (a probability set back to 0, a garbage
  // burst over, Clear). Empty when a fault lasts to the end or the line is
  // hung up.
  static std::optional<double> cleanAfter(const std::vector<FaultStep>& steps);

  const std::vector<FaultStep>& steps() const { return steps_; }
  std::vector<Applied> applied() const;
  // Controller time force control started; empty before.
  std::optional<double> startTime() const;
  bool finished() const;
  // SIGUSR1 sent by the signal storm, and handled by this process.
  std::uint64_t signalsSent() const { return storm_.sent(); }
  // Ends a signal storm that still runs.
  void stopSignals() { storm_.stop(); }

 private:
  void apply(const FaultStep& step, Applied& applied);

  vorel_sim::SensorEmulator& emulator_;
  const std::vector<FaultStep> steps_;
  const Anchor anchor_;
  const std::function<double()> clock_;
  SignalStorm storm_;
  mutable std::mutex mutex_;
  std::function<std::string(bool&)> activator_killer_;
  std::optional<double> start_;
  std::size_t next_ = 0;
  std::vector<Applied> applied_;
};

}  // namespace vorel_sim
