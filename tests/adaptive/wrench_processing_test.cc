// Gravity compensation and the TCP transform as pure functions, against
// values worked out by hand or computed independently (explicit matrices
// from elementary rotations, products written out component by component).
#include <gtest/gtest.h>

#include <string>

#include "adaptive/wrench_processing.h"

namespace vorel_device {
namespace {

using hx4rc_api::Frame;
using hx4rc_api::Rotation;
using hx4rc_api::Vector;

constexpr double kTol = 1e-12;

void expectWrenchNear(const Wrench& actual, const Wrench& expected) {
  for (int i = 0; i < 6; ++i)
    EXPECT_NEAR(actual[i], expected[i], kTol) << "component " << i;
}

const Wrench kRaw = Wrench{{3.0, -2.0, 5.0, 0.1, 0.2, -0.3}};

// The raw wrench with the tool's weight removed: `expected` worked out by
// hand, or (general rotations) computed independently. A sensor at the
// flange origin without rotation, or one whose pose is not known yet (NaN),
// gives the numbers of a sensor whose axes and origin are the flange's.
struct GravityCase {
  const char* name;
  Rotation flange;  // flange to world
  double mass;      // kg
  Vector cog;       // m, flange coordinates
  Frame sensor;     // sensor pose on the flange
  Wrench expected;
  friend void PrintTo(const GravityCase& c, std::ostream* out) { *out << c.name; }
};

class CompensateGravity : public testing::TestWithParam<GravityCase> {};

TEST_P(CompensateGravity, MatchesWorkedOutWrench) {
  const GravityCase& c = GetParam();
  expectWrenchNear(compensateGravity(kRaw, c.flange, c.mass, c.cog, c.sensor), c.expected);
}

// Rf = Rz(1.2) Ry(-0.5) Rx(0.3).
const Rotation kGeneral(0.3179988464944819, -0.9417497709439283, 0.10947192587708202,
                        0.8179412488450798, 0.21412234855367762, -0.5339697868677671,
                        0.479425538604203, 0.2593433800522308, 0.8383866435942036);
// Rs = Rz(0.9) Ry(0.2).
const Rotation kSensorTurned(0.6092191543550328, -0.7833269096274834, 0.12349483641187213,
                             0.7677125236495632, 0.6216099682706644, 0.15562303292945553,
                             -0.19866933079506122, 0.0, 0.9800665778412416);
const Frame kAtFlange = Frame::Identity();
const Frame kUnknown;  // twelve NaN
// +90 degrees about z (sensor x = flange y), 0.035 m along the flange z axis.
const Frame kTurned90(Rotation(0, -1, 0, 1, 0, 0, 0, 0, 1), Vector(0.0, 0.0, 0.035));
// +90 degrees about x: flange y = world z.
const Rotation kTiltedAboutX(1, 0, 0, 0, 0, -1, 0, 1, 0);

INSTANTIATE_TEST_SUITE_P(
    Tools, CompensateGravity,
    testing::Values(
        GravityCase{"ZeroMassTilted", Rotation(0, -1, 0, 1, 0, 0, 0, 0, 1), 0.0,
                    Vector(0.1, 0.2, 0.3), kTurned90, kRaw},
        GravityCase{"CogAtOrigin", Rotation::Identity(), 2.0, Vector(0, 0, 0), kAtFlange,
                    Wrench{{3.0, -2.0, 5.0 + 19.62, 0.1, 0.2, -0.3}}},
        GravityCase{"DefaultTool", Rotation::Identity(), 1.0, Vector(0, 0, 0.05), kAtFlange,
                    Wrench{{3.0, -2.0, 5.0 + 9.81, 0.1, 0.2, -0.3}}},
        // G = (0, 0, -19.62); c x G = (0, -cx gz, 0) = (0, 1.962, 0).
        GravityCase{"OffsetCog", Rotation::Identity(), 2.0, Vector(0.1, 0, 0), kAtFlange,
                    Wrench{{3.0, -2.0, 5.0 + 19.62, 0.1, 0.2 - 1.962, -0.3}}},
        GravityCase{"OffsetCogPoseUnknown", Rotation::Identity(), 2.0, Vector(0.1, 0, 0), kUnknown,
                    Wrench{{3.0, -2.0, 5.0 + 19.62, 0.1, 0.2 - 1.962, -0.3}}},
        GravityCase{"GeneralRotation", kGeneral, 1.5, Vector(0.02, -0.01, 0.08), kAtFlange,
                    Wrench{{10.054746800560848, 1.816237837468576, 17.336859460488704,
                            -0.3286676216023732, 0.5176425548350937, -0.15312777524502}}},
        // Level flange, sensor turned 90 degrees about z: G = (0, 0, -19.62)
        // in both; c_s = Rs^T (c - ps) = (0, -0.1, -0.035), c_s x G =
        // (-0.1 x -19.62, 0, 0) = (1.962, 0, 0).
        GravityCase{"Turned90Level", Rotation::Identity(), 2.0, Vector(0.1, 0, 0), kTurned90,
                    Wrench{{3.0, -2.0, 5.0 + 19.62, 0.1 - 1.962, 0.2, -0.3}}},
        // Flange tilted 90 degrees about x: g = (0, -19.62, 0) in flange axes,
        // G = Rs^T g = (-19.62, 0, 0) in sensor axes; c_s x G =
        // (0, -0.035 x -19.62, -(-0.1) x (-19.62)) = (0, 0.6867, -1.962).
        GravityCase{"Turned90Tilted", kTiltedAboutX, 2.0, Vector(0.1, 0, 0), kTurned90,
                    Wrench{{3.0 + 19.62, -2.0, 5.0, 0.1, 0.2 - 0.6867, -0.3 + 1.962}}},
        GravityCase{"GeneralRotationAndOffset", kGeneral, 1.5, Vector(0.02, -0.01, 0.08),
                    Frame(kSensorTurned, Vector(-0.005, 0.003, 0.035)),
                    Wrench{{7.776704847948494, -5.153961528425555, 18.55606294145896,
                            -0.13256048838810172, 0.4657712741908477, -0.15621893355759844}}}),
    [](const testing::TestParamInfo<GravityCase>& info) { return std::string(info.param.name); });

TEST(TransformToTcp, SensorAboveTcp_ForceXGivesTorqueY) {
  // ps - pt = (0, 0, 0.1): r x F = (0, 0.1 * 1, 0).
  const Frame tcp(Rotation::Identity(), Vector(0.0, 0.0, 0.05));
  const Frame sensor(Rotation::Identity(), Vector(0.0, 0.0, 0.15));
  const Wrench out = transformToTcp(Wrench{{1.0, 0.0, 0.0, 0.0, 0.0, 0.0}}, tcp, sensor);
  expectWrenchNear(out, Wrench{{1.0, 0.0, 0.0, 0.0, 0.1, 0.0}});
}

TEST(TransformToTcp, GeneralRotationsAndOffsets_MatchIndependentComputation) {
  // Rt = Rx(0.4) Rz(-0.7), pt = (0.01, 0.02, 0.15) m; Rs = Rz(0.9) Ry(0.2),
  // ps = (-0.005, 0.003, 0.035) m.
  const Frame tcp(
      Rotation(0.7648421872844885, 0.644217687237691, 0.0, -0.5933637833613874, 0.7044663052755917,
               -0.3894183423086505, -0.2508701838500143, 0.2978435767000479, 0.9210609940028851),
      Vector(0.01, 0.02, 0.15));
  const Frame sensor(kSensorTurned, Vector(-0.005, 0.003, 0.035));
  const Wrench out = transformToTcp(Wrench{{1.5, -2.5, 4.0, 0.3, -0.2, 0.1}}, tcp, sensor);
  expectWrenchNear(out, Wrench{{1.535275671994452, 3.4023929979232754, 3.2506384755405593,
                                0.34347798705365457, 0.08195962057290593, 0.16729260037776528}});
}

}  // namespace
}  // namespace vorel_device
