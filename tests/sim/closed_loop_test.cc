// The whole force-control loop against the simulated cell, with the device's
// processing written out here by hand: gravity compensation (F - G, T - c x
// G with G the weight in flange axes), the TCP transform, set-point smoothing
// and the integration of the reference offset along TCP z (0.001 x gain x
// (F - F_target) x 0.002 s per cycle). It settles on the target force only
// when the sign conventions of the world, the drive and the law agree.
#include <gtest/gtest.h>

#include <atomic>
#include <boost/make_shared.hpp>
#include <chrono>
#include <cmath>
#include <thread>

#include "sim/controller/robot_model.h"
#include "sim/controller/simulated_controller.h"
#include "sim/world/contact_world.h"
#include "tests/sim/sim_test_util.h"

namespace {

using hx4rc_api::Frame;
using hx4rc_api::Model;
using hx4rc_api::Rotation;
using hx4rc_api::Vector;
using vorel_device::Wrench;
using vorel_sim::ContactWorld;
using vorel_sim::RobotModel;

constexpr double kDt = 0.002;

Vector cross(const Vector& a, const Vector& b) {
  return Vector(a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]);
}

// The device's processing and control law for the z axis of the TCP.
class HandForceControl {
 public:
  HandForceControl(double target_fz, double track_smoothing)
      : target_fz_(target_fz), smoothing_(track_smoothing) {}

  // Gravity-compensated wrench in TCP axes, torque about the TCP.
  Wrench tcpWrench(const Wrench& raw, const Frame& flange_in_world,
                   const Frame& tcp_in_flange) const {
    const Vector g = flange_in_world.rotation.Inverse() * Vector(0, 0, -9.81 * mass_);
    const Vector f(raw[0] - g[0], raw[1] - g[1], raw[2] - g[2]);
    const Vector cg = cross(cog_, g);
    const Vector t(raw[3] - cg[0], raw[4] - cg[1], raw[5] - cg[2]);
    const Rotation rt_inv = tcp_in_flange.rotation.Inverse();
    const Rotation m = rt_inv * sensor_.rotation;
    const Vector r = rt_inv * (sensor_.position - tcp_in_flange.position);
    const Vector f_tcp = m * f;
    const Vector t_tcp = m * t + cross(r, f_tcp);
    Wrench out;
    for (int i = 0; i < 3; ++i) {
      out[i] = f_tcp[i];
      out[3 + i] = t_tcp[i];
    }
    return out;
  }

  // One 2 ms cycle; returns the offset to send.
  hx4rc_api::Pose step(const Wrench& tcp_wrench) {
    reference_ = reference_ * (1.0 - smoothing_) + target_fz_ * smoothing_;
    const double rate = (tcp_wrench[2] - reference_) * 5.0 * 0.001;  // gain 5
    offset_z_ += kDt * rate;
    return vorel_sim_test::referenceOffset(0.0, 0.0, offset_z_);
  }

 private:
  double target_fz_;
  double smoothing_;
  double reference_ = 0.0;
  double offset_z_ = 0.0;
  // What the device believes: the cell's tool and sensor pose.
  double mass_ = vorel_sim::cell::kToolMass;
  Vector cog_ = vorel_sim::cell::toolCog();
  Frame sensor_ = vorel_sim::cell::sensorInFlange();
};

struct LoopResult {
  double last_tcp_fz = 0.0;   // N, TCP axes
  double mean_tcp_fz = 0.0;   // N, over the last `average` cycles
  double max_push = 0.0;      // N, world
  double last_push = 0.0;     // N, world
  double tcp_z_change = 0.0;  // m, world
};

LoopResult runLoop(RobotModel& robot, ContactWorld& world, HandForceControl& law, int cycles,
                   int average) {
  LoopResult result;
  const double start_z = robot.tcp().position.z();
  double sum = 0.0;
  for (int k = 0; k < cycles; ++k) {
    const Wrench raw = world.measure(robot.state());
    const Wrench tcp = law.tcpWrench(
        raw, robot.frame(Model::SysId::FRAME_ROBOT_FLANGE, Model::SysId::FRAME_WORLD),
        robot.frame(Model::SysId::FRAME_ROBOTX_TCP, Model::SysId::FRAME_ROBOT_FLANGE));
    EXPECT_TRUE(robot.setOffset(law.step(tcp)));
    robot.advance(kDt, false);
    const double push = world.evaluate(robot.state()).contact_force.Norm();
    result.max_push = std::max(result.max_push, push);
    result.last_push = push;
    result.last_tcp_fz = tcp[2];
    if (k >= cycles - average)
      sum += tcp[2];
  }
  result.mean_tcp_fz = sum / average;
  result.tcp_z_change = robot.tcp().position.z() - start_z;
  return result;
}

ContactWorld::Config quietWorld() {
  ContactWorld::Config c;
  c.force_noise = 0.0;
  c.torque_noise = 0.0;
  return c;
}

TEST(ClosedLoop, ToolPointingDown_TargetMinusTenAlongTcpZ_PressesTenNewtons) {
  // TCP z = world -z: the floor's push (world +z) reads fz = -10 N.
  RobotModel robot;
  ContactWorld world(quietWorld());
  HandForceControl law(-10.0, 0.01);
  const LoopResult r = runLoop(robot, world, law, 3000, 1);
  EXPECT_NEAR(r.last_tcp_fz, -10.0, 1e-6);
  EXPECT_NEAR(r.last_push, 10.0, 1e-6);
  EXPECT_NEAR(robot.tcp().position.z(), -0.002, 1e-9) << "10 N / 5000 N/m below the floor";
  EXPECT_LT(r.max_push, 10.5) << "settles without overshoot";
}

TEST(ClosedLoop, TcpZUp_TargetPlusTen_PressesTenNewtons) {
  // Flange pointing down, TCP turned half about x: TCP z = world +z.
  RobotModel::Config config;
  config.tcp_in_flange = Frame(Rotation(1, 0, 0, 0, -1, 0, 0, 0, -1), Vector(0, 0, 0.1));
  config.start_tcp = Frame(Rotation::Identity(), Vector(0.4, 0.0, 0.05));
  RobotModel robot(config);
  ContactWorld world(quietWorld());
  HandForceControl law(10.0, 0.01);
  const LoopResult r = runLoop(robot, world, law, 3000, 1);
  EXPECT_NEAR(r.last_tcp_fz, 10.0, 1e-6);
  EXPECT_NEAR(r.last_push, 10.0, 1e-6);
}

TEST(ClosedLoop, ToolPointingDown_TargetWithWrongSign_BacksAwayWithoutContact) {
  RobotModel robot;
  ContactWorld world(quietWorld());
  HandForceControl law(10.0, 0.01);
  const LoopResult r = runLoop(robot, world, law, 1000, 1);
  EXPECT_EQ(r.max_push, 0.0);
  EXPECT_GT(r.tcp_z_change, 0.01) << "moves up, away from the floor";
}

TEST(ClosedLoop, NoiseAndDamping_SettlesOnTargetOnAverage) {
  ContactWorld::Config c;  // default noise 0.05 N / 0.005 N m, seed 1
  c.plane->damping = 50.0;
  RobotModel robot;
  ContactWorld world(c);
  HandForceControl law(-10.0, 0.01);
  const LoopResult r = runLoop(robot, world, law, 3000, 500);
  EXPECT_NEAR(r.mean_tcp_fz, -10.0, 0.02);
  EXPECT_LT(r.max_push, 11.0);
}

TEST(ClosedLoop, RealClockAndThread_DriveOffsetsSettleOnTarget) {
  // The same law on a thread paced by the simulated controller's sync, its
  // offsets going through the drive channel: one loop per controller cycle.
  auto controller = boost::make_shared<vorel_sim::SimulatedController>();
  ASSERT_TRUE(
      controller->placeTcp(Frame(Rotation(1, 0, 0, 0, -1, 0, 0, 0, -1), Vector(0.4, 0.0, 0.005))));
  ContactWorld world;  // default noise
  HandForceControl law(-10.0, 1.0);
  ASSERT_TRUE(controller->start());
  double sum = 0.0;
  const int cycles = 600, average = 100;
  for (int k = 0; k < cycles; ++k) {
    controller->sync(false);
    const Wrench raw = world.measure(controller->robotState());
    const Wrench tcp = law.tcpWrench(
        raw, controller->frame(Model::SysId::FRAME_ROBOT_FLANGE, Model::SysId::FRAME_WORLD),
        controller->frame(Model::SysId::FRAME_ROBOTX_TCP, Model::SysId::FRAME_ROBOT_FLANGE));
    ASSERT_EQ(controller->submit(vorel_sim_test::driveCommand(law.step(tcp))), 0);
    if (k >= cycles - average)
      sum += tcp[2];
  }
  controller->stop();
  EXPECT_NEAR(sum / average, -10.0, 0.05);
  const auto s = controller->snapshot();
  EXPECT_EQ(s.drive_commands, static_cast<std::uint64_t>(cycles));
  EXPECT_EQ(s.drive_refused, 0u);
  EXPECT_NEAR(world.evaluate(s.robot).contact_force.z(), 10.0, 0.1);
}

}  // namespace
