// FaultPlan: line faults injected into the sensor emulator at set times after
// force control has started (the first reference offset the drive receives).
// It runs as a per-cycle observer: every record checks whether the next step
// is due; steps are non-blocking emulator calls.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "apps/vorel-sim/cycle_record.h"
#include "sim/sensor_emulator.h"

namespace vorel_sim_app {

struct FaultStep {
  enum class Kind {
    CorruptCrcs,   // value: number of frames sent with a wrong CRC
    DropBytes,     // value: probability per frame byte of leaving it out
    InsertBytes,   // value: probability per frame byte of a random byte after it
    GarbageBurst,  // value: ms of random bytes instead of frames
    Clear,         // every fault off
  };
  double at_s = 0.0;  // s after force control started
  Kind kind = Kind::Clear;
  double value = 0.0;

  std::string describe() const;
};

class FaultPlan {
 public:
  struct Applied {
    FaultStep step;
    double time_s = 0.0;  // controller time it was applied
  };

  FaultPlan(vorel_sim::SensorEmulator& emulator, std::vector<FaultStep> steps);

  // Per-cycle observer.
  void onRecord(const CycleRecord& record);

  std::vector<Applied> applied() const;
  // Controller time force control started; empty before.
  std::optional<double> startTime() const;
  bool finished() const;

 private:
  void apply(const FaultStep& step);

  vorel_sim::SensorEmulator& emulator_;
  const std::vector<FaultStep> steps_;
  mutable std::mutex mutex_;
  std::optional<double> start_;
  std::size_t next_ = 0;
  std::vector<Applied> applied_;
};

}  // namespace vorel_sim_app
