// Geometry of the controller API. Expected matrices are worked out by hand
// from the elementary rotations about x, y and z.
#include "host/geometry.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>

namespace {

using hx4rc_api::Frame;
using hx4rc_api::Rotation;
using hx4rc_api::Vector;

constexpr double kHalfPi = M_PI / 2;
constexpr double kTol = 1e-12;

void expectNear(const Rotation& actual, const Rotation& expected, double tol = kTol) {
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c)
      EXPECT_NEAR(actual(r, c), expected(r, c), tol) << "element (" << r << ", " << c << ")";
  }
}

void expectNear(const Vector& actual, const Vector& expected, double tol = kTol) {
  for (int i = 0; i < 3; ++i)
    EXPECT_NEAR(actual[i], expected[i], tol) << "component " << i;
}

bool isQuietNaN(double value) {
  std::uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return std::isnan(value) && ((bits >> 51) & 1u) == 1u;
}

TEST(Rotation, RPY_QuarterTurnsAndProducts_MatchHandComputedMatrices) {
  // Rx(90): y -> z, z -> -y.  Ry(90): z -> x, x -> -z.  Rz(90): x -> y, y -> -x.
  const Rotation rx(1, 0, 0, 0, 0, -1, 0, 1, 0);
  const Rotation ry(0, 0, 1, 0, 1, 0, -1, 0, 0);
  const Rotation rz(0, -1, 0, 1, 0, 0, 0, 0, 1);
  expectNear(Rotation::RPY(kHalfPi, 0.0, 0.0), rx);
  expectNear(Rotation::RPY(0.0, kHalfPi, 0.0), ry);
  expectNear(Rotation::RPY(0.0, 0.0, kHalfPi), rz);
  // RPY is yaw * pitch * roll: Ry(90) * Rx(90) and Rz(90) * Rx(90) by hand.
  expectNear(Rotation::RPY(kHalfPi, kHalfPi, 0.0), Rotation(0, 1, 0, 0, 0, -1, -1, 0, 0));
  expectNear(ry * rx, Rotation(0, 1, 0, 0, 0, -1, -1, 0, 0));
  expectNear(Rotation::RPY(kHalfPi, 0.0, kHalfPi), Rotation(0, 0, 1, 1, 0, 0, 0, 1, 0));
  expectNear(rz * Vector(1.0, 0.0, 0.0), Vector(0.0, 1.0, 0.0));
  // Matrix times vector row by row; the inverse is the transpose.
  const Rotation m(1, 2, 3, 4, 5, 6, 7, 8, 9);
  EXPECT_EQ(m * Vector(1.0, 0.0, -1.0), Vector(-2.0, -2.0, -2.0));
  EXPECT_EQ(m.Inverse(), Rotation(1, 4, 7, 2, 5, 8, 3, 6, 9));
}

TEST(Frame, Default_TwelveQuietNaNAndNotFinite) {
  const Frame f;
  for (int i = 0; i < 9; ++i)
    EXPECT_TRUE(isQuietNaN(f.rotation.data()[i])) << i;
  for (int i = 0; i < 3; ++i)
    EXPECT_TRUE(isQuietNaN(f.position[i])) << i;
  EXPECT_FALSE(f.isFinite());
  EXPECT_TRUE(Frame::Identity().isFinite());
  Frame inf = Frame::Identity();
  inf.position[2] = INFINITY;
  EXPECT_FALSE(inf.isFinite());
}

TEST(Frame, CompositionAndInverse_ExpressChildInGrandparent) {
  const Frame a(Rotation::RPY(0.0, 0.0, kHalfPi), Vector(1.0, 0.0, 0.0));
  const Frame b(Rotation::Identity(), Vector(0.0, 2.0, 0.0));
  // b's origin (0, 2, 0) in a's axes is (-2, 0, 0) in a's parent, plus a's origin.
  const Frame ab = a * b;
  expectNear(ab.position, Vector(-1.0, 0.0, 0.0));
  expectNear(ab.rotation, Rotation(0, -1, 0, 1, 0, 0, 0, 0, 1));
  expectNear(a * Vector(0.0, 2.0, 0.0), Vector(-1.0, 0.0, 0.0));
  // Rz(-90) * (1, 0, 0) = (0, -1, 0), negated.
  expectNear(a.Inverse().position, Vector(0.0, 1.0, 0.0));
  const Frame f(Rotation::RPY(0.4, -0.2, 1.3), Vector(0.3, -0.5, 0.8));
  for (const Frame& id : {f * f.Inverse(), f.Inverse() * f}) {
    expectNear(id.rotation, Rotation::Identity());
    expectNear(id.position, Vector());
  }
}

}  // namespace
