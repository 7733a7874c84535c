// FaultPlan: line faults injected into the sensor emulator at set times after
// its start: by default the start of force control (the first reference
// offset the drive receives), or a time the host gives (anchorAt: the start
// of the robot program, for --fault). It runs as a per-cycle observer: every
// record checks whether the next step is due. Steps are emulator calls that
// return at once, except a hang-up, which joins the emulator's threads
// (within about one frame period).
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "apps/vorel-sim/cycle_record.h"
#include "apps/vorel-sim/fault_step.h"
#include "sim/sensor_emulator.h"

namespace vorel_sim_app {

class FaultPlan {
 public:
  struct Applied {
    FaultStep step;
    double time_s = 0.0;  // controller time it was applied
  };

  enum class Anchor {
    ForceControl,  // the plan starts with the first reference offset
    Host,          // the plan starts when the host calls anchorAt
  };

  // `steps` in the order of their times.
  FaultPlan(vorel_sim::SensorEmulator& emulator, std::vector<FaultStep> steps,
            Anchor anchor = Anchor::ForceControl);

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

 private:
  void apply(const FaultStep& step);

  vorel_sim::SensorEmulator& emulator_;
  const std::vector<FaultStep> steps_;
  const Anchor anchor_;
  mutable std::mutex mutex_;
  std::optional<double> start_;
  std::size_t next_ = 0;
  std::vector<Applied> applied_;
};

}  // namespace vorel_sim_app
