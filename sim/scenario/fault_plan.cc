#include "sim/scenario/fault_plan.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>

#include "sim/scenario/mutex_holder.h"
#include "sim/scenario/summary.h"

namespace vorel_sim {

std::string FaultStep::describe() const {
  switch (kind) {
    case Kind::CorruptCrcs:
      return fmt("%.0f frames with a wrong CRC", value);
    case Kind::CrcProbability:
      return value > 0.0 ? fmt("wrong CRCs with probability %g", value)
                         : std::string("no more wrong CRCs");
    case Kind::DropBytes:
      return value > 0.0 ? fmt("bytes dropped with probability %g", value)
                         : std::string("no more dropped bytes");
    case Kind::InsertBytes:
      return value > 0.0 ? fmt("bytes inserted with probability %g", value)
                         : std::string("no more inserted bytes");
    case Kind::GarbageBurst:
      return fmt("%.0f ms of garbage instead of frames", value);
    case Kind::Clear:
      return "line clean again";
    case Kind::HangUp:
      return "the sensor hangs up the line";
    case Kind::StatusFrames:
      return value > 0.0 ? fmt("frames flagged with status 0x%04x with probability %g", bits, value)
                         : fmt("no more frames flagged with status 0x%04x", bits);
    case Kind::NanFrame:
      return "one frame with fz = NaN";
    case Kind::MutexHolder:
      return "a process takes VorelNamedMutex and dies holding it";
    case Kind::Signals:
      return fmt("SIGUSR1 at 1 kHz for %g s", value);
    case Kind::ActivatorKill:
      return "SIGKILL to the activating process";
  }
  return "?";
}

FaultPlan::FaultPlan(vorel_sim::SensorEmulator& emulator, std::vector<FaultStep> steps,
                     Anchor anchor, std::function<double()> clock)
    : emulator_(emulator), steps_(std::move(steps)), anchor_(anchor), clock_(std::move(clock)) {}

FaultPlan::~FaultPlan() {
  storm_.stop();
}

void FaultPlan::setActivatorKiller(std::function<std::string(bool& done)> killer) {
  std::lock_guard<std::mutex> lock(mutex_);
  activator_killer_ = std::move(killer);
}

void FaultPlan::anchorAt(double time_s) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (anchor_ == Anchor::Host && !start_)
    start_ = time_s;
}

void FaultPlan::onRecord(const CycleRecord& record) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!start_) {
    if (anchor_ == Anchor::Host || record.drive_commands == 0)
      return;
    start_ = record.time_s;
  }
  while (next_ < steps_.size() && record.time_s - *start_ >= steps_[next_].at_s) {
    Applied applied{steps_[next_], record.time_s, std::string(), true};
    apply(steps_[next_], applied);
    if (clock_)
      applied.time_s = clock_();
    std::printf("[faults] t=%.3f s: %s%s%s\n", applied.time_s, steps_[next_].describe().c_str(),
                applied.note.empty() ? "" : ": ", applied.note.c_str());
    applied_.push_back(applied);
    ++next_;
  }
}

void FaultPlan::apply(const FaultStep& step, Applied& applied) {
  switch (step.kind) {
    case FaultStep::Kind::CorruptCrcs:
      emulator_.corruptNextCrcs(static_cast<std::uint32_t>(step.value));
      break;
    case FaultStep::Kind::CrcProbability:
      emulator_.setCrcErrorProbability(step.value);
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
    case FaultStep::Kind::HangUp:
      emulator_.hangUp();
      break;
    case FaultStep::Kind::StatusFrames:
      emulator_.setStatusFault(static_cast<std::uint16_t>(step.bits), step.value);
      break;
    case FaultStep::Kind::NanFrame:
      emulator_.sendNanFrame();
      break;
    case FaultStep::Kind::MutexHolder:
      applied.note = runMutexHolder(applied.done);
      break;
    case FaultStep::Kind::Signals:
      storm_.start(step.value);
      break;
    case FaultStep::Kind::ActivatorKill:
      if (activator_killer_) {
        applied.note = activator_killer_(applied.done);
      } else {
        applied.note = "no activating process of its own (--processes 2)";
        applied.done = false;
      }
      break;
  }
}

std::optional<double> FaultPlan::cleanAfter(const std::vector<FaultStep>& steps) {
  using Kind = FaultStep::Kind;
  // Faults that stay on until switched off, and the time the last fault of
  // any kind ended.
  std::map<Kind, bool> on;
  double clean = 0.0;
  for (const auto& step : steps) {
    switch (step.kind) {
      case Kind::CrcProbability:
      case Kind::DropBytes:
      case Kind::InsertBytes:
      case Kind::StatusFrames:
        if (on[step.kind] && step.value <= 0.0)
          clean = std::max(clean, step.at_s);
        on[step.kind] = step.value > 0.0;
        break;
      case Kind::CorruptCrcs:
        // N frames, counted at the slowest sensor rate (100 Hz).
        clean = std::max(clean, step.at_s + step.value * 0.01);
        break;
      case Kind::GarbageBurst:
        clean = std::max(clean, step.at_s + step.value / 1000.0);
        break;
      case Kind::NanFrame:
        // One frame, counted at the slowest sensor rate (100 Hz).
        clean = std::max(clean, step.at_s + 0.01);
        break;
      case Kind::Signals:
        clean = std::max(clean, step.at_s + step.value);
        break;
      case Kind::Clear:
        for (auto& entry : on) {
          if (entry.second)
            clean = std::max(clean, step.at_s);
          entry.second = false;
        }
        break;
      case Kind::HangUp:
      case Kind::MutexHolder:
      case Kind::ActivatorKill:
        return std::nullopt;
    }
  }
  for (const auto& entry : on) {
    if (entry.second)
      return std::nullopt;
  }
  return clean;
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

}  // namespace vorel_sim
