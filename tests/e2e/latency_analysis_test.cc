// Step-to-drive latency from recorded steps and drive commands, the
// distribution figures, and the force steps the sensor applies. The expected
// latencies are built into the synthetic recordings: the command at which
// the integrated force changes is chosen, not computed.
#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "bench/e2e/force_steps.h"
#include "bench/e2e/latency_analysis.h"

namespace {

using vorel_sim_app::distributionOf;
using vorel_sim_app::DriveSample;
using vorel_sim_app::StepEvent;
using vorel_sim_app::stepToDriveLatencies;

constexpr double kMetresPerNewton = 2e-6;  // 0.002 s x gain 1 x 0.001 (m/s)/N
constexpr std::int64_t kMs = 1000000;      // ns

// Drive commands every 2 ms from 1 ms on; command k integrates force(k)
// (N) plus +-0.02 N of alternating noise.
std::vector<DriveSample> commands(int count, double (*force)(int)) {
  std::vector<DriveSample> out;
  double z = 0.0;
  for (int k = 0; k < count; ++k) {
    z += kMetresPerNewton * (force(k) + (k % 2 ? 0.02 : -0.02));
    out.push_back({1 * kMs + 2 * kMs * k, z});
  }
  return out;
}

TEST(StepToDriveLatency_KnownResponses_AreTheTimesToTheFirstChangedIncrement, ForEachStep) {
  // Steps at 10.3, 30.3 and 50.3 ms; the drive's increments change first at
  // the commands of 17 ms (k = 8), 39 ms (k = 19) and 53 ms (k = 26).
  const std::vector<StepEvent> steps = {
      {10300000, 5.0, -5.0}, {30300000, -5.0, 5.0}, {50300000, 5.0, -5.0}};
  const auto drive = commands(40, [](int k) {
    return k < 8 ? 5.0 : k < 19 ? -5.0 : k < 26 ? 5.0 : -5.0;
  });
  const auto r = stepToDriveLatencies(steps, drive, kMetresPerNewton);
  ASSERT_EQ(r.ms.size(), 3u);
  EXPECT_DOUBLE_EQ(r.ms[0], 6.7);
  EXPECT_DOUBLE_EQ(r.ms[1], 8.7);
  EXPECT_DOUBLE_EQ(r.ms[2], 2.7);
  EXPECT_EQ(r.missed, 0u);
}

TEST(StepToDriveLatency_NoResponse_IsMissedOnlyWhenTheCommandsGoOn, LastStepIsSkipped) {
  // The force changes once, at 17 ms, and never again: the second step has
  // no response although commands follow the third step (missed); the third
  // has none and nothing after it can tell (skipped). A step with fewer than
  // two commands before it is skipped too.
  const std::vector<StepEvent> steps = {
      {2 * kMs, -5.0, 5.0}, {10300000, 5.0, -5.0}, {30300000, -5.0, 5.0}, {50300000, 5.0, -5.0}};
  const auto drive = commands(40, [](int k) { return k < 8 ? 5.0 : -5.0; });
  const auto r = stepToDriveLatencies(steps, drive, kMetresPerNewton);
  ASSERT_EQ(r.ms.size(), 1u);
  EXPECT_DOUBLE_EQ(r.ms[0], 6.7);
  EXPECT_EQ(r.missed, 1u);
  EXPECT_TRUE(stepToDriveLatencies(steps, {}, kMetresPerNewton).ms.empty());
}

TEST(DistributionOf_KnownSamples_GivesMedianNearestRankP99AndMax, EvenOddAndEmpty) {
  std::vector<double> hundred;
  for (int i = 100; i >= 1; --i)
    hundred.push_back(i);
  auto d = distributionOf(hundred);
  EXPECT_EQ(d.count, 100u);
  EXPECT_DOUBLE_EQ(d.median, 50.5);
  EXPECT_DOUBLE_EQ(d.p99, 99.0);  // ceil(0.99 x 100) = 99th value
  EXPECT_DOUBLE_EQ(d.max, 100.0);

  d = distributionOf({3.0, 1.0, 2.0});
  EXPECT_DOUBLE_EQ(d.median, 2.0);
  EXPECT_DOUBLE_EQ(d.p99, 3.0);  // ceil(2.97) = 3rd value
  EXPECT_DOUBLE_EQ(d.max, 3.0);

  std::vector<double> thousand_and_one(1001, 1.0);
  for (int i = 0; i < 11; ++i)
    thousand_and_one[static_cast<std::size_t>(i)] = 10.0 + i;
  d = distributionOf(thousand_and_one);
  EXPECT_DOUBLE_EQ(d.p99, 10.0);  // ceil(990.99) = 991st of 1001: the smallest of the 11 high ones
  EXPECT_DOUBLE_EQ(d.max, 20.0);

  EXPECT_EQ(distributionOf({}).count, 0u);
}

TEST(ForceSteps_Armed_AlternatesAndRecordsTheFramesThatChangeLevel, OnlyWhileRecording) {
  using Clock = vorel_sim_app::ForceSteps::Clock;
  using std::chrono::milliseconds;
  vorel_sim_app::ForceSteps steps(5.0, milliseconds(20), 1);
  const Clock::time_point t0{std::chrono::seconds(100)};
  const std::int64_t t0_ns = 100 * 1000 * kMs;
  EXPECT_EQ(steps.wrenchAt(t0)[2], 0.0);  // not armed
  steps.arm(t0);
  steps.setRecording(true);
  EXPECT_EQ(steps.wrenchAt(t0 - milliseconds(1))[2], 0.0);
  EXPECT_EQ(steps.wrenchAt(t0 + milliseconds(1))[2], 5.0);  // 0 -> +5: no step recorded
  EXPECT_EQ(steps.wrenchAt(t0 + milliseconds(19))[2], 5.0);
  const auto w = steps.wrenchAt(t0 + milliseconds(21));
  EXPECT_EQ(w[2], -5.0);
  for (int i : {0, 1, 3, 4, 5})
    EXPECT_EQ(w[i], 0.0) << i;
  steps.setRecording(false);
  EXPECT_EQ(steps.wrenchAt(t0 + milliseconds(41))[2], 5.0);
  steps.setRecording(true);
  EXPECT_EQ(steps.wrenchAt(t0 + milliseconds(61))[2], -5.0);  // no room: counted
  steps.disarm();
  EXPECT_EQ(steps.wrenchAt(t0 + milliseconds(81))[2], 0.0);

  const auto recorded = steps.recorded();
  ASSERT_EQ(recorded.size(), 1u);
  EXPECT_EQ(recorded[0].time_ns, t0_ns + 21 * kMs);
  EXPECT_EQ(recorded[0].from_n, 5.0);
  EXPECT_EQ(recorded[0].to_n, -5.0);
  EXPECT_EQ(steps.overflowed(), 1u);
}

}  // namespace
