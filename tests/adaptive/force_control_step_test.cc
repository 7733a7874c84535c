// The force-control step, cycle by cycle on one thread, with golden values
// worked out by hand from the law (adaptive/control_law.h):
//   set-point    R <- 0.99 R + 0.01 T               (track_smoothing 0.01)
//   increment    dz = 0.002 s x gain x 0.001 x (fz - Rz)
// With gain 4 and fz = 0.375 N (exact in float): dz = 3e-6 m per cycle.
// The world is identity (flange, TCP, sensor pose); the tool is massless
// unless a test gives it a mass.
#include "adaptive/force_control_step.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace vorel_device {
namespace {

using State = ForceControlState;
using R = ForceControlRecord;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

RxFrame frameWith(float fz, std::uint16_t status = 0) {
  RxFrame f{};
  f.header = RxFrame::kHeader;
  f.status = status;
  f.ft_data[2] = fz;
  return f;
}

class StepTest : public testing::Test {
 protected:
  explicit StepTest(double rate = 500.0) : step(rate) {
    commands.translation = true;
    commands.enabled_axes = {{0, 0, 1, 0, 0, 0}};
    commands.gains.translation_gain = 4.0;
    commands.sensor_to_tfc_transform = hx4rc_api::Frame::Identity();
    step.takeCommands(commands);
    in.robot.flange = hx4rc_api::Frame::Identity();
    in.robot.tcp_in_flange = hx4rc_api::Frame::Identity();
    setToolMass(0.0);
  }
  void setToolMass(double kg) {
    const double tensor[6] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    in.robot.tool_load.inertia.set(kg, hx4rc_api::Vector(0.0, 0.0, 0.0), tensor);
  }
  // One cycle; `sample` is published as new when given.
  StepOutput cycle(const RxFrame* sample = nullptr) {
    in.new_sample = sample != nullptr;
    if (sample)
      in.frame = *sample;
    return step.run(in);
  }
  void command() { step.takeCommands(commands); }

  ForceControlStep step;
  ForceControlCommands commands;
  StepInput in;
};

// A target change while force control runs: the law uses the smoothed
// set-point from the cycle of the change on, never the raw target.
TEST_F(StepTest, TargetChanged_FirstIncrementUsesTheSmoothedSetPoint) {
  // 0.5 kg at the flange origin: weight (0, 0, -4.905) N, so fz 5 N reads
  // 9.905 N compensated. Bias 2 N: the law sees 7.905 N.
  setToolMass(0.5);
  commands.wrench_offset[2] = 2.0;
  command();
  const RxFrame f = frameWith(5.0f);
  StepOutput out = cycle(&f);
  EXPECT_NEAR(out.record.compensated[2], 9.905, 1e-12);
  EXPECT_NEAR(out.tcp_with_bias[2], 9.905, 1e-12);
  EXPECT_NEAR(out.record.filtered[2], 7.905, 1e-12);
  ASSERT_TRUE(out.send);
  EXPECT_NEAR(out.offset[2], 6.324e-5, 1e-17);  // 0.002 x 0.004 x 7.905
  EXPECT_EQ(out.record.flags, R::kNewSample | R::kProcessed);

  commands.track_wrench[2] = 10.0;
  command();
  // R = 0.1: dz = 0.000008 x 7.805 (the raw target would give a negative step).
  out = cycle(&f);
  EXPECT_NEAR(step.trackReference()[2], 0.1, 1e-15);
  EXPECT_NEAR(out.offset[2], 6.324e-5 + 6.244e-5, 1e-17);
  // R = 0.199: dz = 0.000008 x 7.706.
  out = cycle(&f);
  EXPECT_NEAR(out.offset[2], 6.324e-5 + 6.244e-5 + 6.1648e-5, 1e-17);

  // A speed limit of 10 mm/s (0.02 mm per cycle) binds from the next cycle:
  // one event at its start.
  commands.track_wrench[2] = 0.0;
  commands.gains.translation_gain = 400.0;
  commands.speed_limits.translation = 0.01;
  command();
  const double before = out.offset[2];
  out = cycle(&f);
  EXPECT_NEAR(out.offset[2], before + 2e-5, 1e-17);
  EXPECT_EQ(out.limits_started, R::kTranslationalSpeed);
  EXPECT_EQ(out.record.events, R::kLimitBinds);
  out = cycle(&f);
  EXPECT_NEAR(out.offset[2], before + 4e-5, 1e-17);
  EXPECT_EQ(out.limits_started, 0);
  EXPECT_EQ(out.record.limits_bound, R::kTranslationalSpeed);
}

// A stale spell: no new sample for max(10 sensor periods, 50 ms) holds the
// offset from that cycle on, with one trip event; a usable sample resumes it.
struct StaleCase {
  double rate;  // Hz
  int limit;    // cycles
  const char* name;
};
class StepStaleTest : public StepTest, public testing::WithParamInterface<StaleCase> {
 protected:
  StepStaleTest() : StepTest(GetParam().rate) {}
};

TEST_P(StepStaleTest, StaleSpell_HoldsFromTheLimitThenResumesWithOneEventEach) {
  const int limit = GetParam().limit;
  ASSERT_EQ(step.staleLimit(), limit);
  const RxFrame f = frameWith(0.375f);
  StepOutput out = cycle(&f);
  EXPECT_NEAR(out.offset[2], 3e-6, 1e-18);
  // A failed cycle meanwhile: the offset held and sent unchanged.
  out = step.hold(false);
  EXPECT_TRUE(out.send);
  EXPECT_NEAR(out.offset[2], 3e-6, 1e-18);
  for (int age = 1; age < limit; ++age) {  // the last sample again: integrating
    out = cycle();
    EXPECT_FALSE(out.stale_trip) << age;
    EXPECT_NEAR(out.offset[2], 3e-6 * (age + 1), 1e-17) << age;
  }
  const double held = 3e-6 * limit;
  out = cycle();  // the limit: stale, held
  EXPECT_TRUE(out.stale_trip);
  EXPECT_EQ(out.stale_ms, 2 * limit);
  EXPECT_EQ(out.record.events, R::kStaleTrip);
  EXPECT_TRUE(out.send);
  EXPECT_NEAR(out.offset[2], held, 1e-17);
  out = cycle();  // held, no second event
  EXPECT_FALSE(out.stale_trip);
  EXPECT_TRUE(step.stale());
  EXPECT_NEAR(out.offset[2], held, 1e-17);
  out = cycle(&f);  // usable again: the recovery, age at the last stale cycle
  EXPECT_TRUE(out.recovered);
  EXPECT_EQ(out.stale_ms, 2 * (limit + 1));
  EXPECT_FALSE(step.stale());
  EXPECT_NEAR(out.offset[2], held + 3e-6, 1e-17);

  // Off, a stale spell trips nothing.
  commands.translation = false;
  command();
  for (int k = 0; k < 2 * limit; ++k)
    EXPECT_FALSE(cycle().stale_trip) << k;
}

INSTANTIATE_TEST_SUITE_P(Rates, StepStaleTest,
                         testing::Values(StaleCase{500.0, 25, "At500Hz"},
                                         StaleCase{250.0, 25, "At250Hz"},
                                         StaleCase{100.0, 50, "At100Hz"}),
                         [](const testing::TestParamInfo<StaleCase>& info) {
                           return std::string(info.param.name);
                         });

// The end of force control and its return, ended by the flags or by the
// owner: braking from 1.5 mm/s at 1 m/s^2, then landing on zero.
struct EndCase {
  const char* name;
  bool flags_off;  // the program switched it off; otherwise the owner ended it
};
class StepEndTest : public StepTest, public testing::WithParamInterface<EndCase> {};

TEST_P(StepEndTest, Ended_ReturnsToExactlyZeroThenIdle) {
  const RxFrame f = frameWith(0.375f);
  StepOutput out = cycle(&f);
  ASSERT_NEAR(out.offset[2], 3e-6, 1e-18);  // velocity 1.5 mm/s
  // Suspended by the controller: nothing sent, nothing changes.
  in.robot.suspended = true;
  out = cycle(&f);
  EXPECT_FALSE(out.send);
  EXPECT_EQ(step.state(), State::kSuspended);
  in.robot.suspended = false;

  if (GetParam().flags_off) {
    commands.translation = false;
    command();
  } else {
    in.ended = true;
  }
  // Braking at 5 m/s^2 (10 mm/s per cycle) stops the 1.5 mm/s at once.
  out = cycle(&f);
  EXPECT_EQ(step.state(), State::kReturning);
  EXPECT_TRUE(out.send);
  EXPECT_EQ(out.offset[2], 3e-6);
  EXPECT_FALSE(out.returned);
  // From rest, 3 um at 1 m/s^2: the braking profile's one step of 1.5 mm/s
  // lands on zero.
  out = cycle(&f);
  EXPECT_TRUE(out.send);
  EXPECT_EQ(out.offset[2], 0.0);
  EXPECT_TRUE(out.returned);
  EXPECT_EQ(step.state(), State::kIdle);
  EXPECT_FALSE(step.wasActive());
  out = cycle(&f);
  EXPECT_FALSE(out.send);
  EXPECT_EQ(step.state(), State::kIdle);
  EXPECT_FALSE(step.hold(false).send);  // a failed cycle while idle sends nothing
}

INSTANTIATE_TEST_SUITE_P(Ends, StepEndTest,
                         testing::Values(EndCase{"FlagsOff", true}, EndCase{"OwnerEnd", false}),
                         [](const testing::TestParamInfo<EndCase>& info) {
                           return std::string(info.param.name);
                         });

// Flagged, non-finite and broken frames are never used: the last usable
// sample is processed again. A non-finite set-point holds the offset, with
// one event per activation.
TEST_F(StepTest, FlaggedAndNaNSamples_LastUsableSampleUsedNonFiniteRateHeld) {
  const RxFrame good = frameWith(0.375f);
  RxFrame nan_frame = frameWith(100.0f);
  nan_frame.ft_data[0] = std::numeric_limits<float>::quiet_NaN();
  RxFrame bad_header = frameWith(100.0f);
  bad_header.header = 0;
  const RxFrame flagged = frameWith(100.0f, 0x0004);
  const RxFrame* bad[] = {&flagged, &nan_frame, &bad_header};

  EXPECT_FALSE(cycle(&flagged).processed);  // nothing usable yet: no output
  EXPECT_FALSE(step.hasUsable());
  double z = 0.0;
  StepOutput out = cycle(&good);
  z += 3e-6;
  EXPECT_NEAR(out.offset[2], z, 1e-18);
  for (const RxFrame* frame : bad) {
    out = cycle(frame);
    z += 3e-6;
    EXPECT_EQ(out.record.flags, R::kProcessed);  // no new sample
    EXPECT_NEAR(out.record.filtered[2], 0.375, 1e-12);
    EXPECT_NEAR(out.offset[2], z, 1e-17);
  }
  EXPECT_EQ(step.usableAgeCycles(), 3);

  commands.track_wrench[2] = kNaN;
  command();
  out = cycle(&good);
  EXPECT_TRUE(out.non_finite);
  EXPECT_TRUE(out.send);
  EXPECT_NEAR(out.offset[2], z, 1e-17);
  out = cycle(&good);
  EXPECT_FALSE(out.non_finite);  // once per activation
  EXPECT_NEAR(out.offset[2], z, 1e-17);
  EXPECT_TRUE(std::isfinite(out.offset[2]));
}

// The force limits, with fz against a limit of 15 N, gain 4 and the
// set-point at its target at once (smoothing 1): the law's error along the
// force (+z) is raised to at least |fz| - 15 N. Over the limit (16 N) a step
// into the force is dropped and the tool backs out by the 1 N excess, one
// out of it is kept; below it (14 N) a target beyond the limit presses only
// by the 1 N left to it, one within the limit is the plain law.
//   dz = 0.002 s x 0.004 (m/s)/N x error
struct LimitCase {
  const char* name;
  float fz;       // N
  double target;  // N
  double dz;      // m
  bool over;
};
class StepLimitTest : public StepTest, public testing::WithParamInterface<LimitCase> {};

TEST_P(StepLimitTest, OverTheForceLimit_NoStepIntoTheForce) {
  const LimitCase& c = GetParam();
  commands.force_limits.force = 15.0;
  commands.gains.track_smoothing = 1.0;
  commands.track_wrench[2] = c.target;
  command();
  const RxFrame f = frameWith(c.fz);
  const StepOutput out = cycle(&f);
  EXPECT_NEAR(out.offset[2], c.dz, 1e-18);
  EXPECT_EQ(out.force_limit.flags, c.over ? ForceLimits::kForceOver : 0u);
  EXPECT_EQ(out.force_limit.started, out.force_limit.flags);  // the episode's first cycle
  EXPECT_EQ(out.record.events, c.over ? R::kForceLimitEvent : 0u);
  EXPECT_EQ(out.record.limits_bound & R::kForceLimit, c.over ? R::kForceLimit : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StepLimitTest,
    testing::Values(
        LimitCase{"OutOfTheForceKept", 16.0f, 0.0, 0.002 * 0.004 * 16.0, true},
        LimitCase{"IntoTheForceDroppedBacksOut", 16.0f, 30.0, 0.002 * 0.004 * 1.0, true},
        LimitCase{"SmallErrorRaisedToTheExcess", 16.0f, 15.5, 0.002 * 0.004 * 1.0, true},
        LimitCase{"BelowTheLimitPressesToIt", 14.0f, 30.0, -0.002 * 0.004 * 1.0, false},
        LimitCase{"TargetWithinTheLimitPlainLaw", 14.0f, 5.0, 0.002 * 0.004 * 9.0, false}),
    [](const testing::TestParamInfo<LimitCase>& info) { return std::string(info.param.name); });

// A hold of 30 N on a 5000 N/m floor 4 mm beyond the offset's zero, whose
// limit is lowered to 15 N: the first cycle backs out by the 15 N excess
// (dz = 0.002 x 0.004 x 15 = 0.12 mm away from the floor), and the force
// comes down to the limit and stays there. A frame flagged overrange then
// holds the offset as a stale sensor would, with its own event.
TEST_F(StepTest, HoldWithLimitLoweredBelowItsForce_BacksOutToTheLimit) {
  commands.gains.track_smoothing = 1.0;
  commands.track_wrench[2] = -30.0;
  command();
  auto floor_force = [this] {
    const double press = step.shaper().translation()[2] - 0.004;
    return static_cast<float>(press > 0.0 ? -5000.0 * press : 0.0);
  };
  StepOutput out;
  for (int k = 0; k < 1000; ++k) {
    const RxFrame f = frameWith(floor_force());
    out = cycle(&f);
  }
  ASSERT_NEAR(floor_force(), -30.0, 1e-3);
  const double pressed = out.offset[2];

  commands.force_limits.force = 15.0;
  command();
  RxFrame f = frameWith(floor_force());
  out = cycle(&f);
  EXPECT_EQ(out.force_limit.started, ForceLimits::kForceOver);
  EXPECT_NEAR(out.offset[2], pressed - 0.002 * 0.004 * 15.0, 1e-7);
  for (int k = 0; k < 250; ++k) {  // 0.5 s
    f = frameWith(floor_force());
    out = cycle(&f);
    EXPECT_EQ(out.force_limit.started, 0u) << k;  // one episode
  }
  EXPECT_NEAR(floor_force(), -15.0, 0.01);
  EXPECT_EQ(step.forceLimitEpisode(), ForceLimits::kForceOver);

  const double held = out.offset[2];
  const RxFrame overrange = frameWith(-1000.0f, RxFrameStatus::overrange);
  out = cycle(&overrange);
  EXPECT_EQ(out.force_limit.started, ForceLimits::kOverrange);
  EXPECT_EQ(out.record.events, R::kForceLimitEvent);
  for (int k = 0; k < 5; ++k)
    out = cycle();
  EXPECT_EQ(out.offset[2], held);
}

// The law in the robot base's axes, for a tool turned 30 and 90 degrees about
// x: a 10 N force along world z (in TCP axes R^T (0, 0, 10)) with only the
// base's z axis enabled gives an offset along world z, dz = 0.002 x 0.004 x
// 10 = 80 um, sent in TCP axes as R^T (0, 0, dz).
class StepBaseFrameTest : public StepTest, public testing::WithParamInterface<double> {};

TEST_P(StepBaseFrameTest, ForceAlongWorldZ_OffsetAlongWorldZInTcpAxes) {
  const hx4rc_api::Rotation r = hx4rc_api::Rotation::RPY(GetParam(), 0.0, 0.0);
  in.robot.tcp_in_base = hx4rc_api::Frame(r, hx4rc_api::Vector(0.4, 0.0, 0.3));
  commands.law.frame = ForceControlLaw::kBaseFrame;
  command();
  const hx4rc_api::Vector f = r.Inverse() * hx4rc_api::Vector(0.0, 0.0, 10.0);
  RxFrame frame = frameWith(static_cast<float>(f.z()));
  frame.ft_data[1] = static_cast<float>(f.y());
  const StepOutput out = cycle(&frame);
  ASSERT_TRUE(out.send);
  const hx4rc_api::Vector sent(out.offset[0], out.offset[1], out.offset[2]);
  const hx4rc_api::Vector expected = r.Inverse() * hx4rc_api::Vector(0.0, 0.0, 8e-5);
  for (int i = 0; i < 3; ++i)
    EXPECT_NEAR(sent[i], expected[i], 1e-11) << i;
  const hx4rc_api::Vector world = r * sent;
  EXPECT_NEAR(world.x(), 0.0, 1e-11);
  EXPECT_NEAR(world.y(), 0.0, 1e-11);
  EXPECT_NEAR(world.z(), 8e-5, 1e-11);
  EXPECT_TRUE(step.lawInBase());
}

INSTANTIATE_TEST_SUITE_P(Tilts, StepBaseFrameTest,
                         testing::Values(0.5235987755982988, 1.5707963267948966));

// A change of frame while force control moves re-expresses the offset: the
// command sent does not jump (it moves by at most one cycle's step).
TEST_F(StepTest, FrameChangedWhileActive_OffsetSentWithoutJump) {
  commands.enabled_axes = {{1, 1, 1, 0, 0, 0}};
  command();
  in.robot.tcp_in_base =
      hx4rc_api::Frame(hx4rc_api::Rotation::RPY(1.2, -0.4, 0.3), hx4rc_api::Vector());
  RxFrame f = frameWith(10.0f);
  f.ft_data[0] = 5.0f;
  StepOutput out;
  for (int k = 0; k < 50; ++k)
    out = cycle(&f);
  const double step_m = 0.002 * 0.004 * std::sqrt(125.0);  // one cycle at |F| = 11.18 N
  for (int frame : {ForceControlLaw::kBaseFrame, ForceControlLaw::kTcpFrame}) {
    const hx4rc_api::Vector before(out.offset[0], out.offset[1], out.offset[2]);
    commands.law.frame = frame;
    command();
    out = cycle(&f);
    const hx4rc_api::Vector after(out.offset[0], out.offset[1], out.offset[2]);
    EXPECT_LE((after - before).Norm(), step_m * (1.0 + 1e-9)) << frame;
  }
}

// One bad frame in a changing stream, through all four filter types and the
// system filter: every output is exactly that of the stream in which the
// frame never came.
struct BadFrameCase {
  const char* name;
  std::uint16_t status;
  int axis;
  float value;
};
class StepBadFrameTest : public testing::TestWithParam<BadFrameCase> {
 protected:
  static FilterOptions filter(const char* name, int type, double reject, double bandwidth = -1.0,
                              double cutoff = -1.0, double rising = 0.0, double falling = 0.0) {
    FilterOptions o{{}, type, reject, bandwidth, cutoff, rising, falling};
    o.setName(name);
    return o;
  }
  // Filtered fz and offset z of 40 cycles; at cycle 10 the bad frame, or none.
  static std::vector<double> run(bool bad) {
    ForceControlStep step(500.0);
    ForceControlCommands c;
    c.translation = true;
    c.enabled_axes = {{0, 0, 1, 0, 0, 0}};
    c.enabled_system_filters = 1;
    c.sensor_to_tfc_transform = hx4rc_api::Frame::Identity();
    step.takeCommands(c);
    for (const FilterOptions& o :
         {filter("low", kLowPassFilter, -1.0, -1.0, 20.0), filter("notch", kNotchFilter, 60.0, 8.0),
          filter("limiter", kRateLimiter, -1.0, -1.0, -1.0, 200.0, -200.0),
          filter("hp", kHighPassRateLimiter, -1.0, -1.0, 30.0, 100.0, -100.0)})
      step.addFilter(o);
    StepInput in;
    in.robot.flange = hx4rc_api::Frame::Identity();
    in.robot.tcp_in_flange = hx4rc_api::Frame::Identity();
    const double tensor[6] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    in.robot.tool_load.inertia.set(0.0, hx4rc_api::Vector(0.0, 0.0, 0.0), tensor);
    std::vector<double> out;
    for (int k = 0; k < 40; ++k) {
      in.new_sample = k != 10 || bad;
      if (k == 10) {
        in.frame.status = GetParam().status;
        in.frame.ft_data[GetParam().axis] = GetParam().value;
      } else {
        const double w[6] = {0.5 * k, -0.2 * k, 10.0 + std::sin(0.7 * k), 0.1, 0.0, 0.05 * k};
        in.frame = frameWith(0.0f);
        for (int i = 0; i < 6; ++i)
          in.frame.ft_data[i] = static_cast<float>(w[i]);
      }
      const StepOutput o = step.run(in);
      out.push_back(o.record.filtered[2]);
      out.push_back(o.offset[2]);
    }
    return out;
  }
};

TEST_P(StepBadFrameTest, OneBadFrame_OutputsAsIfItWereNeverSent) {
  const std::vector<double> reference = run(false);
  const std::vector<double> faulted = run(true);
  EXPECT_EQ(faulted, reference);
  for (double v : faulted)
    EXPECT_TRUE(std::isfinite(v));
}

INSTANTIATE_TEST_SUITE_P(
    Frames, StepBadFrameTest,
    testing::Values(BadFrameCase{"InvalidMeasurementStatus", 0x04, 3, 1000.0f},
                    BadFrameCase{"AppTookTooLongStatus", 0x01, 2, -1000.0f},
                    BadFrameCase{"NaNForce", 0, 2, std::numeric_limits<float>::quiet_NaN()},
                    BadFrameCase{"InfiniteTorque", 0, 5, std::numeric_limits<float>::infinity()}),
    [](const testing::TestParamInfo<BadFrameCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vorel_device
