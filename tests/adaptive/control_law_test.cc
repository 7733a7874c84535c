// The control-law step as pure functions, with values worked out by hand.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "adaptive/control_law.h"

namespace vorel_device {
namespace {

using hx4rc_api::Vector;
namespace cl = control_law;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

Wrench forceZ(double fz) {
  Wrench w;
  w[2] = fz;
  return w;
}

TEST(ControlLaw, ForceZExample_RateAndFirstOffsetAsWorkedOut) {
  // Gains (5, 5, 0.01): kt = 0.005; 10 N against a zero set-point on axis z.
  const cl::AxisFactors axes{0, 0, 1, 0, 0, 0};
  const Vector vt = cl::translationalRate(forceZ(10.0), Wrench(), Gains{}, axes);
  EXPECT_DOUBLE_EQ(vt.x(), 0.0);
  EXPECT_DOUBLE_EQ(vt.y(), 0.0);
  EXPECT_DOUBLE_EQ(vt.z(), 0.05);
  Vector offset;
  ASSERT_TRUE(cl::integrate(offset, vt));
  EXPECT_DOUBLE_EQ(offset.z(), 0.0001);
  ASSERT_TRUE(cl::integrate(offset, vt));
  EXPECT_DOUBLE_EQ(offset.z(), 0.0002);
  EXPECT_EQ(offset.x(), 0.0);
  EXPECT_EQ(offset.y(), 0.0);
}

TEST(ControlLaw, AxisFactors_ZeroOffOneOnOthersScaleAndReverse) {
  // 2 N (N m) measured against a 0.5 N (N m) set-point on every axis.
  const Wrench y{{2.0, 2.0, 2.0, 2.0, 2.0, 2.0}};
  const Wrench r{{0.5, 0.5, 0.5, 0.5, 0.5, 0.5}};
  const cl::AxisFactors axes{0, 1, -2, 1, 0, 3};
  const Gains gains{10.0, 1.0, 0.0};
  // kt = 0.01 per N, kr = 0.024 per N m, times the difference of 1.5.
  const Vector vt = cl::translationalRate(y, r, gains, axes);
  const Vector vr = cl::rotationalRate(y, r, gains, axes);
  EXPECT_DOUBLE_EQ(vt.x(), 0.0);
  EXPECT_DOUBLE_EQ(vt.y(), 0.015);
  EXPECT_DOUBLE_EQ(vt.z(), -0.03);
  EXPECT_DOUBLE_EQ(vr.x(), 0.036);
  EXPECT_DOUBLE_EQ(vr.y(), 0.0);
  EXPECT_DOUBLE_EQ(vr.z(), 0.108);
}

TEST(ControlLaw, SmoothSetPoint_MovesByFactorTowardTarget) {
  Wrench r;
  Wrench t;
  t[2] = 10.0;
  t[3] = -4.0;
  cl::smoothSetPoint(r, t, 0.01);
  EXPECT_DOUBLE_EQ(r[2], 0.1);
  EXPECT_DOUBLE_EQ(r[3], -0.04);
  cl::smoothSetPoint(r, t, 0.01);
  EXPECT_DOUBLE_EQ(r[2], 0.1 * 0.99 + 0.1);  // 0.199
  EXPECT_DOUBLE_EQ(r[0], 0.0);
  cl::smoothSetPoint(r, t, 1.0);
  EXPECT_DOUBLE_EQ(r[2], 10.0);
}

TEST(ControlLaw, NonFiniteRate_OffsetKeepsItsValue) {
  Vector offset(0.1, 0.2, 0.3);
  EXPECT_FALSE(cl::integrate(offset, Vector(1.0, kNaN, 1.0)));
  EXPECT_FALSE(cl::integrate(offset, Vector(kInf, 0.0, 0.0)));
  EXPECT_FALSE(cl::integrate(offset, Vector(0.0, 0.0, -kInf)));
  EXPECT_EQ(offset, Vector(0.1, 0.2, 0.3));
  // Finite again: integration resumes from the held value.
  EXPECT_TRUE(cl::integrate(offset, Vector(5.0, 0.0, 0.0)));
  EXPECT_DOUBLE_EQ(offset.x(), 0.11);
}

}  // namespace
}  // namespace vorel_device
