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

// The dead band is continuous at its edge: inside it nothing, beyond it only
// the part beyond it; a band of 0 leaves the error exactly as it is.
TEST(ControlLaw, Deadband_NothingInsideOnlyThePartBeyondContinuousAtTheEdge) {
  struct Case {
    double error, band, expected;
  };
  const Case cases[] = {{5.999, 6.0, 0.0},       {6.0, 6.0, 0.0},  {6.001, 6.0, 0.001},
                        {-7.5, 6.0, -1.5},       {-5.0, 6.0, 0.0}, {0.1, 0.0, 0.1},
                        {-1e-300, 0.0, -1e-300}, {40.0, 6.0, 34.0}};
  for (const Case& c : cases)
    EXPECT_NEAR(cl::deadband(c.error, c.band), c.expected, 1e-12) << c.error << " " << c.band;
  EXPECT_EQ(cl::deadband(0.1, 0.0), 0.1);  // exactly
  EXPECT_TRUE(std::isnan(cl::deadband(kNaN, 6.0)));
  // Through the rate: 4.9 N of load error inside a 6 N band moves nothing, a
  // 40 N push along x moves by its 34 N beyond it: 34 x 0.005 = 0.17 m/s.
  Wrench w = forceZ(4.9);
  w[0] = 40.0;
  const Vector vt = cl::translationalRate(w, Wrench(), Gains{}, {1, 1, 1, 0, 0, 0}, 6.0);
  EXPECT_NEAR(vt.x(), 0.17, 1e-15);
  EXPECT_EQ(vt.z(), 0.0);
}

// The compliance step by hand, gain 4 (k = 0.004 (m/s)/N), 16 N of error,
// dt = 0.002 s. Without mass: x' = (x + dt k e) / (1 + dt k K), with K =
// 500 N/m: 1 + dt k K = 1.004, x1 = 1.28e-4 / 1.004, x2 = (x1 + 1.28e-4) /
// 1.004; it settles at e / K = 32 mm. With 2 kg: v1 = dt k e / (M k + dt +
// dt^2 K k) = 1.28e-4 / 0.010008, x1 = dt v1. Without either: the integral
// law itself.
TEST(ControlLaw, Compliance_FirstCyclesAsWorkedOutSettlesAtErrorOverStiffness) {
  const Vector k(0.0, 0.0, 0.004);
  const Vector rate(0.0, 0.0, 0.004 * 16.0);
  Vector x, v;
  ASSERT_TRUE(cl::complianceStep(x, v, rate, k, {500.0, 0.0}));
  EXPECT_NEAR(x.z(), 1.28e-4 / 1.004, 1e-18);
  const double x1 = x.z();
  ASSERT_TRUE(cl::complianceStep(x, v, rate, k, {500.0, 0.0}));
  EXPECT_NEAR(x.z(), (x1 + 1.28e-4) / 1.004, 1e-18);
  for (int n = 0; n < 5000; ++n)
    ASSERT_TRUE(cl::complianceStep(x, v, rate, k, {500.0, 0.0}));
  EXPECT_NEAR(x.z(), 16.0 / 500.0, 1e-9);
  EXPECT_EQ(x.x(), 0.0);  // an axis without a factor keeps its offset

  Vector xm, vm;
  ASSERT_TRUE(cl::complianceStep(xm, vm, rate, k, {500.0, 2.0}));
  EXPECT_NEAR(xm.z(), 0.002 * 1.28e-4 / 0.010008, 1e-18);

  Vector plain, integrated;
  for (int n = 0; n < 100; ++n) {
    ASSERT_TRUE(cl::complianceStep(plain, v, rate, k, {0.0, 0.0}));
    ASSERT_TRUE(cl::integrate(integrated, rate));
  }
  EXPECT_EQ(plain, integrated);  // bit for bit
}

}  // namespace
}  // namespace vorel_device
