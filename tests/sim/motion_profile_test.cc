// The motion profile: per-cycle travel toward a target, checked against
// distances and angles worked out by hand.
#include "sim/controller/motion_profile.h"

#include <gtest/gtest.h>

#include <cmath>

#include "tests/sim/sim_test_util.h"

namespace {

using hx4rc_api::Frame;
using hx4rc_api::Rotation;
using hx4rc_api::Vector;
using vorel_sim::MotionLimits;
using vorel_sim::rotationAngle;
using vorel_sim::stepToward;
using vorel_sim_test::framesNear;

constexpr double kDt = 0.002;
constexpr double kPi = 3.14159265358979323846;

Frame at(double x, double y, double z) {
  return Frame(Rotation::Identity(), Vector(x, y, z));
}

MotionLimits constantSpeed() {
  MotionLimits limits;
  limits.settle_time = 0.0;
  return limits;
}

TEST(MotionProfile, ConstantSpeed_StepsOfMaxSpeedTimesCycleThenLandsOnTarget) {
  // 0.25 m/s x 0.002 s = 0.0005 m per cycle; 0.3 m takes 600 cycles.
  const Frame target = at(0.3, 0.0, 0.0);
  Frame pose = at(0.0, 0.0, 0.0);
  for (int k = 1; k <= 599; ++k) {
    pose = stepToward(pose, target, constantSpeed(), kDt);
    ASSERT_NEAR(pose.position.x(), 0.0005 * k, 1e-12) << "cycle " << k;
    ASSERT_EQ(pose.position.y(), 0.0);
  }
  pose = stepToward(pose, target, constantSpeed(), kDt);
  EXPECT_TRUE(pose.position == target.position);
  EXPECT_TRUE(pose.rotation == target.rotation);
}

TEST(MotionProfile, DiagonalTarget_MovesAlongTheLine) {
  // Target (0.003, 0.004, 0): 0.005 m away along (0.6, 0.8, 0).
  const Frame pose = stepToward(at(0, 0, 0), at(0.003, 0.004, 0.0), constantSpeed(), kDt);
  EXPECT_NEAR(pose.position.x(), 0.0003, 1e-15);
  EXPECT_NEAR(pose.position.y(), 0.0004, 1e-15);
  EXPECT_EQ(pose.position.z(), 0.0);
}

TEST(MotionProfile, TargetSixMillimetresAheadEachCycle_SteadyFiftyMillimetresPerSecond) {
  // 0.006 m / 0.12 s = 0.05 m/s: 0.0001 m per cycle.
  Frame pose = at(0.0, 0.0, 0.2);
  for (int k = 1; k <= 50; ++k) {
    const Frame target = at(0.0, 0.0, pose.position.z() - 0.006);
    const double before = pose.position.z();
    pose = stepToward(pose, target, MotionLimits(), kDt);
    ASSERT_NEAR(before - pose.position.z(), 0.0001, 1e-15) << "cycle " << k;
  }
}

TEST(MotionProfile, FixedTarget_SlowsDownGeometricallyThenReachesExactly) {
  // Distance left shrinks by the factor 1 - dt / 0.12 = 59/60 per cycle while
  // d / 0.12 s is above the final 0.001 m/s.
  const Frame target = at(0.012, 0.0, 0.0);
  Frame pose = at(0.0, 0.0, 0.0);
  double last_step = 1.0;
  int cycles = 0;
  while (!(pose.position == target.position) && cycles < 1000) {
    const double before = pose.position.x();
    pose = stepToward(pose, target, MotionLimits(), kDt);
    ++cycles;
    const double step = pose.position.x() - before;
    ASSERT_LE(step, last_step + 1e-9) << "cycle " << cycles;
    ASSERT_LE(step, 0.25 * kDt + 1e-9);
    last_step = step;
    if (cycles == 10) {
      EXPECT_NEAR(0.012 - pose.position.x(), 0.012 * std::pow(59.0 / 60.0, 10), 1e-15);
    }
  }
  // 274 geometric cycles down to 0.00012 m, then about 60 at 0.000002 m.
  EXPECT_GT(cycles, 300);
  EXPECT_LT(cycles, 400);
  EXPECT_TRUE(pose.position == target.position);
}

TEST(MotionProfile, QuarterTurnAboutZ_TurnsOneMaxRateStepPerCycle) {
  // 1 rad/s x 0.002 s = 0.002 rad per cycle; pi/2 takes 786 cycles.
  const Frame target(Rotation::RPY(0.0, 0.0, kPi / 2), Vector());
  Frame pose = Frame::Identity();
  for (int k = 1; k <= 785; ++k) {
    pose = stepToward(pose, target, constantSpeed(), kDt);
    ASSERT_NEAR(pose.rotation(0, 0), std::cos(0.002 * k), 1e-12) << "cycle " << k;
    ASSERT_NEAR(pose.rotation(1, 0), std::sin(0.002 * k), 1e-12) << "cycle " << k;
    ASSERT_NEAR(pose.rotation(2, 2), 1.0, 1e-12);
  }
  pose = stepToward(pose, target, constantSpeed(), kDt);
  EXPECT_TRUE(pose.rotation == target.rotation);
}

TEST(MotionProfile, HalfTurn_StepsByRateAndStaysARotation) {
  // Identity to a half turn about x: the ill-conditioned case of axis-angle.
  const Frame target(Rotation(1, 0, 0, 0, -1, 0, 0, 0, -1), Vector());
  const Frame pose = stepToward(Frame::Identity(), target, constantSpeed(), kDt);
  EXPECT_NEAR(rotationAngle(Rotation::Identity(), pose.rotation), 0.002, 1e-9);
  EXPECT_NEAR(rotationAngle(pose.rotation, target.rotation), kPi - 0.002, 1e-9);
  EXPECT_TRUE(vorel_sim::isRotation(pose.rotation, 1e-12));
}

TEST(MotionProfile, MixedTargets_NeverExceedsSpeedBounds) {
  const MotionLimits limits;  // 0.25 m/s, 1 rad/s
  const Frame targets[] = {
      Frame(Rotation::RPY(0.4, -0.3, 2.0), Vector(0.5, -0.2, 0.3)),
      Frame(Rotation::RPY(-1.0, 0.2, -2.5), Vector(0.49, -0.2, 0.31)),
      Frame(Rotation::RPY(3.0, 0.0, 0.0), Vector(-0.1, 0.1, 0.0)),
  };
  Frame pose = Frame::Identity();
  for (const Frame& target : targets) {
    for (int k = 0; k < 3000; ++k) {
      const Frame next = stepToward(pose, target, limits, kDt);
      ASSERT_LE((next.position - pose.position).Norm(), 0.25 * kDt + 1e-9);
      ASSERT_LE(rotationAngle(pose.rotation, next.rotation), 1.0 * kDt + 1e-9);
      pose = next;
    }
    EXPECT_TRUE(framesNear(pose, target, 0.0)) << "target not reached exactly";
  }
}

TEST(MotionProfile, IsRotation_TellsRotationsFromOtherMatrices) {
  EXPECT_TRUE(vorel_sim::isRotation(Rotation::Identity()));
  EXPECT_TRUE(vorel_sim::isRotation(Rotation::RPY(0.3, -1.2, 2.9)));
  EXPECT_FALSE(vorel_sim::isRotation(Rotation(2, 0, 0, 0, 2, 0, 0, 0, 2)));
  EXPECT_FALSE(vorel_sim::isRotation(Rotation(1, 0, 0, 0, 1, 0, 0, 0, -1)));  // a reflection
  EXPECT_FALSE(vorel_sim::isRotation(Frame().rotation));                      // NaN
}

}  // namespace
