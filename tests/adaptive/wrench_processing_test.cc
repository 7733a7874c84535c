// Gravity compensation and the TCP transform as pure functions, against
// values worked out by hand or computed independently (explicit matrices
// from elementary rotations, products written out component by component).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "adaptive/wrench_processing.h"

namespace vorel_device {
namespace {

using hx4rc_api::Frame;
using hx4rc_api::Rotation;
using hx4rc_api::Vector;

constexpr double kTol = 1e-12;

Wrench makeWrench(double fx, double fy, double fz, double tx, double ty, double tz) {
  Wrench w;
  w[0] = fx;
  w[1] = fy;
  w[2] = fz;
  w[3] = tx;
  w[4] = ty;
  w[5] = tz;
  return w;
}

void expectWrenchNear(const Wrench& actual, const Wrench& expected, double tol = kTol) {
  for (int i = 0; i < 6; ++i)
    EXPECT_NEAR(actual[i], expected[i], tol) << "component " << i;
}

const Wrench kRaw = makeWrench(3.0, -2.0, 5.0, 0.1, 0.2, -0.3);

TEST(CompensateGravity, ZeroMass_WrenchUnchanged) {
  const Rotation tilted(0.0, -1.0, 0.0, 1.0, 0.0, 0.0, 0.0, 0.0, 1.0);
  expectWrenchNear(compensateGravity(kRaw, tilted, 0.0, Vector(0.1, 0.2, 0.3)), kRaw, 0.0);
}

TEST(CompensateGravity, IdentityFlangeCogAtOrigin_OnlyForceZRises) {
  const Wrench out = compensateGravity(kRaw, Rotation::Identity(), 2.0, Vector(0.0, 0.0, 0.0));
  expectWrenchNear(out, makeWrench(3.0, -2.0, 5.0 + 19.62, 0.1, 0.2, -0.3));
}

TEST(CompensateGravity, DefaultTool_ForceZRises981TorquesUnchanged) {
  const Wrench out = compensateGravity(kRaw, Rotation::Identity(), 1.0, Vector(0.0, 0.0, 0.05));
  expectWrenchNear(out, makeWrench(3.0, -2.0, 5.0 + 9.81, 0.1, 0.2, -0.3));
}

TEST(CompensateGravity, OffsetCog_TorqueYFallsByMomentOfWeight) {
  // G = (0, 0, -19.62); c x G = (0, -cx gz, 0) = (0, 1.962, 0).
  const Wrench out = compensateGravity(kRaw, Rotation::Identity(), 2.0, Vector(0.1, 0.0, 0.0));
  expectWrenchNear(out, makeWrench(3.0, -2.0, 5.0 + 19.62, 0.1, 0.2 - 1.962, -0.3));
}

TEST(CompensateGravity, GeneralRotation_MatchesIndependentComputation) {
  // Rf = Rz(1.2) Ry(-0.5) Rx(0.3); m = 1.5 kg, c = (0.02, -0.01, 0.08) m.
  const Rotation rf(0.3179988464944819, -0.9417497709439283, 0.10947192587708202,
                    0.8179412488450798, 0.21412234855367762, -0.5339697868677671, 0.479425538604203,
                    0.2593433800522308, 0.8383866435942036);
  const Wrench out = compensateGravity(kRaw, rf, 1.5, Vector(0.02, -0.01, 0.08));
  expectWrenchNear(out, makeWrench(10.054746800560848, 1.816237837468576, 17.336859460488704,
                                   -0.3286676216023732, 0.5176425548350937, -0.15312777524502));
}

TEST(TransformToTcp, IdentitiesAndSameOrigin_WrenchUnchanged) {
  const Vector origin(0.01, -0.02, 0.15);
  const Frame tcp(Rotation::Identity(), origin);
  const Frame sensor(Rotation::Identity(), origin);
  expectWrenchNear(transformToTcp(kRaw, tcp, sensor), kRaw, 0.0);
}

TEST(TransformToTcp, SensorAboveTcp_ForceXGivesTorqueY) {
  // ps - pt = (0, 0, 0.1): r x F = (0, 0.1 * 1, 0).
  const Frame tcp(Rotation::Identity(), Vector(0.0, 0.0, 0.05));
  const Frame sensor(Rotation::Identity(), Vector(0.0, 0.0, 0.15));
  const Wrench out = transformToTcp(makeWrench(1.0, 0.0, 0.0, 0.0, 0.0, 0.0), tcp, sensor);
  expectWrenchNear(out, makeWrench(1.0, 0.0, 0.0, 0.0, 0.1, 0.0));
}

TEST(TransformToTcp, GeneralRotationsAndOffsets_MatchIndependentComputation) {
  // Rt = Rx(0.4) Rz(-0.7), pt = (0.01, 0.02, 0.15) m; Rs = Rz(0.9) Ry(0.2),
  // ps = (-0.005, 0.003, 0.035) m.
  const Frame tcp(
      Rotation(0.7648421872844885, 0.644217687237691, 0.0, -0.5933637833613874, 0.7044663052755917,
               -0.3894183423086505, -0.2508701838500143, 0.2978435767000479, 0.9210609940028851),
      Vector(0.01, 0.02, 0.15));
  const Frame sensor(Rotation(0.6092191543550328, -0.7833269096274834, 0.12349483641187213,
                              0.7677125236495632, 0.6216099682706644, 0.15562303292945553,
                              -0.19866933079506122, 0.0, 0.9800665778412416),
                     Vector(-0.005, 0.003, 0.035));
  const Wrench out = transformToTcp(makeWrench(1.5, -2.5, 4.0, 0.3, -0.2, 0.1), tcp, sensor);
  expectWrenchNear(out, makeWrench(1.535275671994452, 3.4023929979232754, 3.2506384755405593,
                                   0.34347798705365457, 0.08195962057290593, 0.16729260037776528));
}

TEST(TransformToTcp, UnsetSensorPose_EveryComponentNaN) {
  const Wrench out = transformToTcp(kRaw, Frame::Identity(), Frame());
  for (int i = 0; i < 6; ++i)
    EXPECT_TRUE(std::isnan(out[i])) << "component " << i;
}

}  // namespace
}  // namespace vorel_device
