// ForceSteps: the force steps of the measurement program, added by the
// sensor emulator to fz (sensor axes) of every frame. Until armed it adds
// nothing; from the armed start time it alternates between +amplitude and
// -amplitude every period:
//
//   t < start                          0
//   start + 2m P <= t < start + (2m+1) P   +A
//   start + (2m+1) P <= t < start + (2m+2) P  -A
//
// The level of a frame is that of its send time, so each step reaches the
// line with the first frame sent at or after its boundary. While recording,
// every change between the two levels is noted with that frame's send time
// (CLOCK_MONOTONIC), into a buffer allocated up front: recording never
// allocates, and what does not fit is counted and dropped.
//
// Threads: wrenchAt runs on the emulator's sender thread (the only caller);
// arm, disarm, setRecording and the readouts from any thread. Readouts of
// the steps are meant for after recording has stopped.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "bench/e2e/latency_analysis.h"
#include "filters/wrench.h"
#include "sim/sensor/sensor_emulator.h"

namespace vorel_sim {

class ForceSteps {
 public:
  using Clock = vorel_sim::SensorEmulator::Clock;

  // amplitude_n: N; period: time at each level; capacity: steps recorded at
  // most.
  ForceSteps(double amplitude_n, std::chrono::nanoseconds period, std::size_t capacity);
  ForceSteps(const ForceSteps&) = delete;
  ForceSteps& operator=(const ForceSteps&) = delete;

  // The wrench to add to a frame sent at `t` (N, N m, sensor axes).
  vorel_device::Wrench wrenchAt(Clock::time_point t);

  void arm(Clock::time_point start);
  void disarm();
  void setRecording(bool on);

  double amplitude() const { return amplitude_n_; }
  std::chrono::nanoseconds period() const { return period_; }
  std::vector<StepEvent> recorded() const;
  std::size_t overflowed() const { return overflow_.load(); }

 private:
  const double amplitude_n_;
  const std::chrono::nanoseconds period_;
  std::atomic<std::int64_t> start_ns_{0};  // 0: not armed
  std::atomic<bool> recording_{false};
  double last_level_ = 0.0;  // sender thread only
  std::vector<StepEvent> events_;
  std::atomic<std::size_t> count_{0};
  std::atomic<std::size_t> overflow_{0};
};

}  // namespace vorel_sim
