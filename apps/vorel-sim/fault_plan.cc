#include "apps/vorel-sim/fault_plan.h"

#include <chrono>
#include <cstdio>

#include "apps/vorel-sim/summary.h"

namespace vorel_sim_app {

std::string FaultStep::describe() const {
  switch (kind) {
    case Kind::CorruptCrcs:
      return fmt("%.0f frames with a wrong CRC", value);
    case Kind::DropBytes:
      return fmt("bytes dropped with probability %g", value);
    case Kind::InsertBytes:
      return fmt("bytes inserted with probability %g", value);
    case Kind::GarbageBurst:
      return fmt("%.0f ms of garbage instead of frames", value);
    case Kind::Clear:
      return "line clean again";
  }
  return "?";
}

FaultPlan::FaultPlan(vorel_sim::SensorEmulator& emulator, std::vector<FaultStep> steps)
    : emulator_(emulator), steps_(std::move(steps)) {}

void FaultPlan::onRecord(const CycleRecord& record) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!start_) {
    if (record.drive_commands == 0)
      return;
    start_ = record.time_s;
  }
  while (next_ < steps_.size() && record.time_s - *start_ >= steps_[next_].at_s) {
    apply(steps_[next_]);
    applied_.push_back({steps_[next_], record.time_s});
    std::printf("[faults] t=%.3f s: %s\n", record.time_s, steps_[next_].describe().c_str());
    ++next_;
  }
}

void FaultPlan::apply(const FaultStep& step) {
  switch (step.kind) {
    case FaultStep::Kind::CorruptCrcs:
      emulator_.corruptNextCrcs(static_cast<std::uint32_t>(step.value));
      break;
    case FaultStep::Kind::DropBytes:
      emulator_.setByteDropProbability(step.value);
      break;
    case FaultStep::Kind::InsertBytes:
      emulator_.setByteInsertProbability(step.value);
      break;
    case FaultStep::Kind::GarbageBurst:
      emulator_.sendGarbageFor(std::chrono::milliseconds(static_cast<long>(step.value)));
      break;
    case FaultStep::Kind::Clear:
      emulator_.clearFaults();
      break;
  }
}

std::vector<FaultPlan::Applied> FaultPlan::applied() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return applied_;
}

std::optional<double> FaultPlan::startTime() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return start_;
}

bool FaultPlan::finished() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return next_ == steps_.size();
}

}  // namespace vorel_sim_app
