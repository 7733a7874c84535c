// The offset shaping as pure code, cycle by cycle, against bounds and times
// worked out by hand: a step is at most speed x 2 ms, a return changes its
// speed by at most acceleration x 2 ms per cycle, ends exactly at its target
// and takes the trapezoid's time D / v + v / a (D >= v^2 / a) or 2 sqrt(D / a).
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "adaptive/offset_shaping.h"

namespace vorel_device {
namespace {

using hx4rc_api::Vector;
namespace os = offset_shaping;

constexpr double kDt = 0.002;
constexpr double kSlack = 1.0 + 1e-9;  // rounding of the products
const Vector kZero(0.0, 0.0, 0.0);

Vector cross(const Vector& a, const Vector& b) {
  return Vector(a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]);
}

// Steps `half` toward `target` until it lands there; checks every step
// against the limits and the line from the start; returns the commands.
std::vector<Vector> returnTo(os::HalfState& half, const Vector& target, const os::HalfLimits& l,
                             const Vector& line) {
  std::vector<Vector> commands;
  for (int k = 0; k < 100000; ++k) {
    const os::HalfState before = half;
    const bool done = os::approach(half, target, l).at_target;
    commands.push_back(half.offset);
    EXPECT_LE((half.offset - before.offset).Norm(), l.speed * kDt * kSlack) << k;
    EXPECT_LE((half.velocity - before.velocity).Norm(), l.acceleration * kDt * kSlack) << k;
    EXPECT_LE(cross(half.offset - target, line).Norm(), 1e-12) << k;
    if (done)
      break;
  }
  return commands;
}

struct ReturnCase {
  const char* name;
  double distance;  // m or rad, along `direction`
  os::HalfLimits limits;
  double seconds;  // the trapezoid's time, by hand
};

class ReturnTest : public testing::TestWithParam<ReturnCase> {};

TEST_P(ReturnTest, FromRest_BoundedStraightExactlyZeroInTheTrapezoidsTime) {
  const ReturnCase& c = GetParam();
  const Vector direction(2.0 / 7.0, 3.0 / 7.0, 6.0 / 7.0);
  os::HalfState half{c.distance * direction, kZero};
  const std::vector<Vector> commands = returnTo(half, kZero, c.limits, direction);
  EXPECT_EQ(commands.back(), kZero);
  EXPECT_NEAR(static_cast<double>(commands.size()) * kDt, c.seconds, 2 * kDt);
  // The command holds it there, at rest.
  EXPECT_TRUE(os::approach(half, kZero, c.limits).at_target);
  EXPECT_EQ(half.offset, kZero);
  EXPECT_EQ(half.velocity, kZero);
}

INSTANTIATE_TEST_SUITE_P(
    Returns, ReturnTest,
    testing::Values(
        // 2 sqrt(0.012 / 1) = 0.21909 s: never at 250 mm/s.
        ReturnCase{"Twelve_mm", 0.012, {0.25, 1.0, 0.0}, 0.21909},
        // 0.196 / 0.25 + 0.25 / 1 = 1.034 s, at 250 mm/s from 0.25 s on.
        ReturnCase{"HundredNinetySix_mm", 0.196, {0.25, 1.0, 0.0}, 1.034},
        // 30 deg at 45 deg/s and 360 deg/s^2: 30 / 45 + 45 / 360 = 0.79167 s.
        ReturnCase{"Thirty_deg", 30.0 * M_PI / 180.0, os::Limits().rotation, 0.79167}),
    [](const testing::TestParamInfo<ReturnCase>& info) { return std::string(info.param.name); });

TEST(OffsetShaping, FasterThanTheLimit_ExactlyLimitTimesCyclePerStep) {
  // The law wants 5 mm per cycle along (0.6, 0.8, 0); 250 mm/s allows 0.5.
  os::HalfState half;
  const os::HalfLimits limits;
  for (int k = 1; k <= 3; ++k) {
    const os::HalfStep step = os::follow(half, half.offset + Vector(0.003, 0.004, 0.0), limits);
    EXPECT_TRUE(step.speed_limited);
    EXPECT_NEAR(half.offset.x(), 0.0003 * k, 1e-15);
    EXPECT_NEAR(half.offset.y(), 0.0004 * k, 1e-15);
    EXPECT_NEAR(half.velocity.Norm(), 0.25, 1e-12);
  }
  // Below the limit the law's offset is taken as it is.
  const Vector wanted = half.offset + Vector(0.0, 0.0, -0.0002);
  EXPECT_FALSE(os::follow(half, wanted, limits).speed_limited);
  EXPECT_EQ(half.offset, wanted);
  // Rotation: 45 deg/s, 0.09 deg per cycle.
  os::HalfState turn;
  os::follow(turn, Vector(1.0, 0.0, 0.0), os::Limits().rotation);
  EXPECT_NEAR(turn.offset.x(), 0.09 * M_PI / 180.0, 1e-15);
}

TEST(OffsetShaping, ReturnWhileMovingAway_SlowsDownFirstThenExactlyZero) {
  // 10 mm out, moving out at 50 mm/s: the speed drops by 2 mm/s per cycle,
  // 48, 46, ... 2, 0 mm/s, which carries it 0.002 s x 600 mm/s = 1.2 mm on.
  os::HalfState half{Vector(0.010, 0.0, 0.0), Vector(0.05, 0.0, 0.0)};
  const std::vector<Vector> commands =
      returnTo(half, kZero, os::HalfLimits(), Vector(1.0, 0.0, 0.0));
  EXPECT_NEAR(commands[0].x(), 0.010 + 0.048 * kDt, 1e-15);
  double furthest = 0.0;
  for (const Vector& c : commands)
    furthest = std::max(furthest, c.x());
  EXPECT_NEAR(furthest, 0.0112, 1e-12);
  EXPECT_EQ(commands.back(), kZero);
}

TEST(OffsetShaping, SwitchedOnDuringReturn_ContinuesFromTheOffsetWithoutJump) {
  os::HalfState half{Vector(0.0, 0.012, 0.0), kZero};
  for (int k = 0; k < 50; ++k)
    os::approach(half, kZero, os::HalfLimits());
  const Vector at = half.offset;
  ASSERT_GT(at.y(), 0.0);
  ASSERT_LT(at.y(), 0.012);
  // The law wants 100 mm further out at once: the first step starts where
  // the return stood and is one limited step long.
  os::follow(half, Vector(0.0, 0.1, 0.0), os::HalfLimits());
  EXPECT_NEAR((half.offset - at).Norm(), 0.0005, 1e-15);
  EXPECT_NEAR(half.offset.y(), at.y() + 0.0005, 1e-15);
}

TEST(OffsetShaping, EnvelopeTightened_ReturnsToItThenClampsThere) {
  // At 20 mm; the envelope becomes 5 mm: 15 mm back, 2 sqrt(0.015) = 0.2449 s.
  os::HalfLimits limits;
  limits.envelope = 0.005;
  const Vector out(0.0, 0.0, 0.020);
  os::HalfState half{out, kZero};
  std::vector<Vector> commands;
  os::HalfStep step;
  do {
    const os::HalfState before = half;
    step = os::follow(half, out, limits);
    EXPECT_TRUE(step.envelope_limited);
    EXPECT_LE((half.offset - before.offset).Norm(), limits.speed * kDt * kSlack);
    EXPECT_LE((half.velocity - before.velocity).Norm(), limits.acceleration * kDt * kSlack);
    commands.push_back(half.offset);
  } while (half.offset.z() > 0.005 * kSlack && commands.size() < 1000);
  EXPECT_EQ(half.offset, Vector(0.0, 0.0, 0.005));
  EXPECT_NEAR(static_cast<double>(commands.size()) * kDt, 0.2449, 2 * kDt);
  // The law still wants 20 mm: clamped at the envelope from here on.
  EXPECT_TRUE(os::follow(half, out, limits).envelope_limited);
  EXPECT_EQ(half.offset, Vector(0.0, 0.0, 0.005));
}

TEST(OffsetShaping, EndedAtTheSpeedLimit_BrakesAt5Then1MetrePerSecondSquaredToExactlyZero) {
  // 100 cycles at 250 mm/s: 50 mm out, moving out. The brake takes 10 mm/s
  // off per cycle: 240, 230, ... 0 mm/s in 25 cycles (50 ms), 0.002 s x
  // 3000 mm/s = 6 mm on (at most v^2 / 2a = 6.25 mm). From rest at 56 mm
  // the return takes 2 sqrt(0.056 / 1) = 0.4733 s.
  os::OffsetShaper shaper;
  for (int k = 1; k <= 100; ++k)
    shaper.follow(Vector(1.0, 0.0, 0.0), kZero, os::Limits());
  ASSERT_NEAR(shaper.translation().x(), 0.05, 1e-12);
  std::vector<double> x{shaper.translation().x()};
  os::Step step;
  while (!step.returned && x.size() < 10000) {
    step = shaper.returnToZero(os::Limits());
    x.push_back(shaper.translation().x());
  }
  std::size_t rest = 0;  // the furthest command: the 24th (the 25th stays there at 0 mm/s)
  for (std::size_t k = 0; k < x.size(); ++k)
    rest = x[k] > x[rest] ? k : rest;
  EXPECT_EQ(rest, 24u);
  EXPECT_NEAR(x[rest] - 0.05, 0.006, 1e-12);
  for (std::size_t k = 2; k < x.size(); ++k) {
    const double change = std::fabs((x[k] - x[k - 1]) - (x[k - 1] - x[k - 2])) / (kDt * kDt);
    EXPECT_LE(change, (k <= rest + 1 ? 5.0 : 1.0) * kSlack) << k;  // m/s^2
  }
  EXPECT_EQ(x.back(), 0.0);
  EXPECT_NEAR(static_cast<double>(x.size() - 1 - rest) * kDt, 0.4733, 2 * kDt);
}

TEST(OffsetShaping, WholeOffset_ReturnedOnlyWhenBothHalvesAreExactlyZero) {
  // 0.4 mm and one limited rotation step (0.09 deg), then held: at rest.
  os::OffsetShaper shaper;
  shaper.follow(Vector(0.0004, 0.0, 0.0), Vector(0.0, 0.0, 0.01), os::Limits());
  shaper.hold();
  int cycles = 0;
  for (os::Step step; !step.returned && cycles < 10000; ++cycles)
    step = shaper.returnToZero(os::Limits());
  EXPECT_TRUE(shaper.atZero());
  // The rotation's 0.0015708 rad take 2 sqrt(0.0015708 / 2 pi) = 0.0316 s,
  // the translation's 0.4 mm 2 sqrt(0.0004 / 1) = 0.04 s: the longer counts.
  EXPECT_NEAR(cycles * kDt, 0.04, 2 * kDt);
}

}  // namespace
}  // namespace vorel_device
