// The contact world's sensor wrench against values worked out by hand: the
// tool's weight at several flange orientations, the surface's push at a known
// depth, its torque through the lever arm, damping, and the noise's seed.
#include "sim/world/contact_world.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>

#include "tests/sim/sim_test_util.h"

namespace {

using hx4rc_api::Frame;
using hx4rc_api::Rotation;
using hx4rc_api::Vector;
using vorel_device::Wrench;
using vorel_sim::ContactPlane;
using vorel_sim::ContactWorld;
using vorel_sim::RobotState;

const Rotation kDown(1, 0, 0, 0, -1, 0, 0, 0, -1);  // flange z = world -z
// +90 deg about world y: flange x points along world -z.
const Rotation kFlangeXDown(0, 0, 1, 0, 1, 0, -1, 0, 0);

void expectWrench(const Wrench& actual, const Wrench& expected, double tol) {
  for (int i = 0; i < 6; ++i)
    EXPECT_NEAR(actual[i], expected[i], tol) << "component " << i;
}

Wrench wrench(double fx, double fy, double fz, double tx, double ty, double tz) {
  Wrench w;
  const double v[6] = {fx, fy, fz, tx, ty, tz};
  for (int i = 0; i < 6; ++i)
    w[i] = v[i];
  return w;
}

// A state whose TCP lies `tcp_in_flange` from a flange at (rotation, position).
RobotState stateWithFlange(const Rotation& rotation, const Vector& position,
                           const Frame& tcp_in_flange = vorel_sim::cell::tcpInFlange()) {
  RobotState s;
  s.flange = Frame(rotation, position);
  s.tcp = s.flange * tcp_in_flange;
  return s;
}

// The cell's tool pointing down with its TCP at `tcp` (world).
RobotState stateWithTcp(const Vector& tcp,
                        const Frame& tcp_in_flange = vorel_sim::cell::tcpInFlange()) {
  RobotState s;
  s.tcp = Frame(kDown, tcp);
  s.flange = s.tcp * tcp_in_flange.Inverse();
  return s;
}

ContactWorld::Config quiet() {
  ContactWorld::Config c;
  c.force_noise = 0.0;
  c.torque_noise = 0.0;
  return c;
}

ContactWorld::Config weightOnly(double mass, const Vector& cog, const Frame& sensor) {
  ContactWorld::Config c = quiet();
  c.plane.reset();
  c.tool_mass = mass;
  c.tool_cog = cog;
  c.sensor_in_flange = sensor;
  return c;
}

TEST(ContactWorld, Weight_FlangeUpright_DownwardWeightAndLeverTorque) {
  // G = (0, 0, -19.62) N; c x G = (0.1, 0, 0) x (0, 0, -19.62) = (0, 1.962, 0) N m.
  ContactWorld world(weightOnly(2.0, Vector(0.1, 0.0, 0.0), Frame::Identity()));
  const auto parts = world.evaluate(stateWithFlange(Rotation::Identity(), Vector(0.3, 0, 0.5)));
  expectWrench(parts.weight, wrench(0, 0, -19.62, 0, 1.962, 0), 1e-12);
  expectWrench(parts.contact, Wrench(), 0.0);
  expectWrench(parts.total, parts.weight, 0.0);
}

TEST(ContactWorld, Weight_FlangePointingDown_WeightAlongSensorPlusZ) {
  // Flange z = world -z: G = (0, 0, +19.62); (0.1, 0, 0) x G = (0, -1.962, 0).
  ContactWorld world(weightOnly(2.0, Vector(0.1, 0.0, 0.0), Frame::Identity()));
  const auto parts = world.evaluate(stateWithFlange(kDown, Vector(0.3, 0, 0.5)));
  expectWrench(parts.weight, wrench(0, 0, 19.62, 0, -1.962, 0), 1e-12);
}

TEST(ContactWorld, Weight_FlangeHorizontal_TorqueAboutOffsetSensorOrigin) {
  // Flange x = world -z: G = (7.848, 0, 0) for 0.8 kg. The centre of
  // gravity (0, 0, 0.04) seen from the sensor origin (0, 0, 0.035) is
  // (0, 0, 0.005): torque (0, 0.005 x 7.848, 0) = (0, 0.03924, 0).
  ContactWorld world(weightOnly(0.8, Vector(0, 0, 0.04), vorel_sim::cell::sensorInFlange()));
  const auto parts = world.evaluate(stateWithFlange(kFlangeXDown, Vector(0.3, 0, 0.5)));
  expectWrench(parts.weight, wrench(7.848, 0, 0, 0, 0.03924, 0), 1e-12);
}

TEST(ContactWorld, Weight_AnyOrientation_IsTheToolWeightInWorldAxes) {
  ContactWorld world(weightOnly(1.3, Vector(0.02, -0.01, 0.05), vorel_sim::cell::sensorInFlange()));
  const Rotation rotations[] = {Rotation::RPY(0.3, -0.2, 0.5), Rotation::RPY(2.5, 1.1, -0.4),
                                Rotation::RPY(-1.2, 0.0, 3.0)};
  for (const Rotation& r : rotations) {
    const auto parts = world.evaluate(stateWithFlange(r, Vector(0.1, 0.2, 0.3)));
    const Vector in_world = r * Vector(parts.weight[0], parts.weight[1], parts.weight[2]);
    EXPECT_TRUE(vorel_sim_test::vectorsNear(in_world, Vector(0, 0, -1.3 * 9.81), 1e-12));
  }
}

// What the device's gravity compensation leaves of the weight: it subtracts
// G = Rf^T (0, 0, -9.81 m) and c x G, counting c from the sensor origin.
Wrench deviceCompensated(const Wrench& raw, const Rotation& flange, double mass, const Vector& c) {
  const Vector g = flange.Inverse() * Vector(0, 0, -9.81 * mass);
  const Vector cxg(c[1] * g[2] - c[2] * g[1], c[2] * g[0] - c[0] * g[2], c[0] * g[1] - c[1] * g[0]);
  return wrench(raw[0] - g[0], raw[1] - g[1], raw[2] - g[2], raw[3] - cxg[0], raw[4] - cxg[1],
                raw[5] - cxg[2]);
}

TEST(ContactWorld, DeviceCompensation_DefaultCell_CancelsUprightLeavesPsCrossGWhenHorizontal) {
  ContactWorld world(quiet());
  world.setPlane(std::nullopt);
  const Vector cog = vorel_sim::cell::toolCog();
  const auto down = world.evaluate(stateWithFlange(kDown, Vector(0.4, 0, 0.5)));
  expectWrench(deviceCompensated(down.total, kDown, 0.8, cog), Wrench(), 1e-12);
  // Horizontal: -ps x G = -(0, 0, 0.035) x (7.848, 0, 0) = (0, -0.27468, 0).
  const auto side = world.evaluate(stateWithFlange(kFlangeXDown, Vector(0.4, 0, 0.5)));
  expectWrench(deviceCompensated(side.total, kFlangeXDown, 0.8, cog),
               wrench(0, 0, 0, 0, -0.27468, 0), 1e-12);
  // The centre of gravity counted from the sensor origin cancels it.
  expectWrench(deviceCompensated(side.total, kFlangeXDown, 0.8, Vector(0, 0, 0.005)), Wrench(),
               1e-12);
}

TEST(ContactWorld, Contact_TwoMillimetresIntoFloor_TenNewtonsOutOfSurface) {
  // 5000 N/m x 0.002 m = 10 N along world +z; sensor z is world -z.
  ContactWorld world(quiet());
  const auto parts = world.evaluate(stateWithTcp(Vector(0.4, 0.0, -0.002)));
  EXPECT_NEAR(parts.depth, 0.002, 1e-15);
  EXPECT_TRUE(vorel_sim_test::vectorsNear(parts.contact_force, Vector(0, 0, 10.0), 1e-12));
  // The TCP lies on the sensor's z axis: no torque.
  expectWrench(parts.contact, wrench(0, 0, -10.0, 0, 0, 0), 1e-12);
  // Plus the 0.8 kg tool's weight along sensor +z.
  expectWrench(parts.total, wrench(0, 0, 7.848 - 10.0, 0, 0, 0), 1e-12);
}

TEST(ContactWorld, Contact_TcpBesideSensorAxis_TorqueFromLeverArm) {
  // TCP at (0.05, 0, 0.1) on the flange: seen from the sensor origin (0, 0,
  // 0.035) it is r = (0.05, 0, 0.065); r x (0, 0, -10) = (0, 0.5, 0).
  const Frame tcp_in_flange(Rotation::Identity(), Vector(0.05, 0.0, 0.1));
  ContactWorld world(quiet());
  const auto parts = world.evaluate(stateWithTcp(Vector(0.4, 0.0, -0.002), tcp_in_flange));
  expectWrench(parts.contact, wrench(0, 0, -10.0, 0, 0.5, 0), 1e-12);
}

TEST(ContactWorld, Contact_Damping_AddsWhileApproachingNeverPulls) {
  ContactWorld::Config c = quiet();
  c.plane->damping = 200.0;
  ContactWorld world(c);
  RobotState s = stateWithTcp(Vector(0.4, 0.0, -0.002));
  s.tcp_velocity = Vector(0.0, 0.0, -0.01);  // 10 + 200 x 0.01 = 12 N
  EXPECT_NEAR(world.evaluate(s).contact_force.z(), 12.0, 1e-12);
  s.tcp_velocity = Vector(0.0, 0.0, 0.1);  // 10 - 200 x 0.1 < 0: no pull
  const auto leaving = world.evaluate(s);
  EXPECT_NEAR(leaving.depth, 0.002, 1e-15);
  expectWrench(leaving.contact, Wrench(), 0.0);
}

TEST(ContactWorld, Contact_TiltedPlaneNormalScaledToUnit) {
  // Normal (0, 2, 2) -> (0, 1, 1)/sqrt 2. TCP at (0, 0, -0.001): depth
  // 0.001/sqrt 2; 5000 x depth = 3.5355 N along the normal = (0, 2.5, 2.5).
  ContactWorld::Config c = quiet();
  c.plane->normal = Vector(0.0, 2.0, 2.0);
  ContactWorld world(c);
  const auto parts = world.evaluate(stateWithTcp(Vector(0.0, 0.0, -0.001)));
  EXPECT_NEAR(parts.depth, 0.001 / std::sqrt(2.0), 1e-15);
  EXPECT_TRUE(vorel_sim_test::vectorsNear(parts.contact_force, Vector(0, 2.5, 2.5), 1e-12));
  // Sensor axes: (x, -y, -z) of the world.
  EXPECT_NEAR(parts.contact[1], -2.5, 1e-12);
  EXPECT_NEAR(parts.contact[2], -2.5, 1e-12);
}

TEST(ContactWorld, Contact_AboveSurfaceOrNoPlane_NoForce) {
  ContactWorld world(quiet());
  const auto above = world.evaluate(stateWithTcp(Vector(0.4, 0.0, 0.0001)));
  EXPECT_EQ(above.depth, 0.0);
  expectWrench(above.contact, Wrench(), 0.0);
  world.setPlane(std::nullopt);
  expectWrench(world.evaluate(stateWithTcp(Vector(0.4, 0.0, -0.5))).contact, Wrench(), 0.0);
}

TEST(ContactWorld, Config_InvalidValues_RefusedWithMessageAndNothingChanged) {
  ContactWorld world(quiet());
  ContactWorld::Config zero_normal = quiet();
  zero_normal.plane->normal = Vector();
  EXPECT_THROW(world.setConfig(zero_normal), std::invalid_argument);
  EXPECT_THROW(world.setTool(std::numeric_limits<double>::quiet_NaN(), Vector()),
               std::invalid_argument);
  EXPECT_THROW(world.setNoise(-0.1, 0.0), std::invalid_argument);
  EXPECT_THROW(world.setSensorInFlange(Frame(Rotation(1, 0, 0, 0, 1, 0, 0, 0, -1), Vector())),
               std::invalid_argument);
  ContactPlane soft;
  soft.stiffness = -1.0;
  try {
    world.setPlane(soft);
    ADD_FAILURE() << "negative stiffness taken";
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find("stiffness (N/m)"), std::string::npos) << e.what();
  }
  const ContactWorld::Config kept = world.config();
  EXPECT_EQ(kept.plane->stiffness, 5000.0);
  EXPECT_EQ(kept.tool_mass, 0.8);
  EXPECT_EQ(kept.force_noise, 0.0);
}

TEST(ContactWorld, Noise_SameSeedSameSequence_OtherSeedOther) {
  const RobotState s = stateWithTcp(Vector(0.4, 0.0, -0.001));
  ContactWorld a, b;
  ContactWorld::Config other_seed;
  other_seed.seed = 2;
  ContactWorld c(other_seed);
  bool differs = false;
  for (int k = 0; k < 100; ++k) {
    const Wrench wa = a.measure(s), wb = b.measure(s), wc = c.measure(s);
    for (int i = 0; i < 6; ++i) {
      ASSERT_EQ(wa[i], wb[i]);
      differs = differs || wa[i] != wc[i];
    }
  }
  EXPECT_TRUE(differs);
  // Restarting the generator repeats the sequence.
  a.reseed(1);
  ContactWorld fresh;
  expectWrench(a.measure(s), fresh.measure(s), 0.0);
}

TEST(ContactWorld, Noise_SampleStatisticsMatchSettings) {
  ContactWorld::Config c;
  c.plane.reset();
  c.tool_mass = 0.0;
  c.force_noise = 0.05;
  c.torque_noise = 0.005;
  ContactWorld world(c);
  const RobotState s = stateWithTcp(Vector(0.4, 0.0, 0.1));
  const int n = 20000;
  double sum[6] = {0}, sq[6] = {0};
  for (int k = 0; k < n; ++k) {
    const Wrench w = world.measure(s);
    for (int i = 0; i < 6; ++i) {
      sum[i] += w[i];
      sq[i] += w[i] * w[i];
    }
  }
  for (int i = 0; i < 6; ++i) {
    const double sigma = i < 3 ? 0.05 : 0.005;
    const double mean = sum[i] / n;
    const double std = std::sqrt(sq[i] / n - mean * mean);
    // Standard error of the mean sigma/141, of the deviation about sigma/200.
    EXPECT_LT(std::fabs(mean), 0.04 * sigma) << "component " << i;
    EXPECT_NEAR(std, sigma, 0.03 * sigma) << "component " << i;
  }
  // Without noise the reading is the noiseless sum exactly.
  world.setNoise(0.0, 0.0);
  expectWrench(world.measure(s), world.evaluate(s).total, 0.0);
}

}  // namespace
