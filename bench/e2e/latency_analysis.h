// Latency figures of a measurement run, as pure functions of what was
// recorded: the force steps the sensor applied, the reference offsets the
// drive received, and the latency samples themselves.
//
// Step-to-drive latency. The sensor's fz alternates between two levels; with
// force control on z, no filter and the set-point at 0, each drive command's
// z offset grows by
//
//   d(k) = z(k) - z(k-1) = k_f * F(k)     k_f = 0.002 s * translation gain * 0.001 (m/s)/N
//
// where F(k) is the force the force-control cycle used. A step of the force
// by dF changes the increment by k_f * dF. The latency of a step is the time
// from the send time of the first frame with the new level to the arrival at
// the drive of the first command whose increment differs from the last
// increment before the step by more than half of k_f * |dF|. A step with no
// such command before the next step is counted as missed (when the commands
// go on past the next step; else the recording ended too early to tell, and
// the step is skipped).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vorel_sim {

// A force step: the send time (CLOCK_MONOTONIC, ns) of the first frame with
// the new level, and the levels before and after (N).
struct StepEvent {
  std::int64_t time_ns = 0;
  double from_n = 0.0;
  double to_n = 0.0;
};

// A drive command: its arrival time (CLOCK_MONOTONIC, ns) and the z of its
// reference offset (m, TCP axes).
struct DriveSample {
  std::int64_t time_ns = 0;
  double z_m = 0.0;
};

struct StepLatencies {
  std::vector<double> ms;  // one per step with a visible response, in step order
  std::size_t missed = 0;  // steps without one
};

// `steps` and `commands` in time order. `metres_per_newton`: k_f above (m of
// offset per command and N of force). Steps with fewer than two commands
// before them are skipped (neither measured nor missed).
StepLatencies stepToDriveLatencies(const std::vector<StepEvent>& steps,
                                   const std::vector<DriveSample>& commands,
                                   double metres_per_newton);

// Median, 99th percentile and maximum of a sample.
struct Distribution {
  std::size_t count = 0;  // 0: no sample, the figures are meaningless
  double median = 0.0;    // middle value; mean of the two middle values for an even count
  double p99 = 0.0;       // nearest rank: the ceil(0.99 n)-th smallest value
  double max = 0.0;
};

Distribution distributionOf(std::vector<double> values);

}  // namespace vorel_sim
