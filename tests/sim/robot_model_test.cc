// The simulated robot's kinematics: the flange follows the TCP, reference
// offsets act in TCP axes on top of the commanded pose, refused commands
// change nothing. Expected poses are worked out by hand for the cell's start
// pose: TCP at (0.4, 0, 0.05) m pointing down (rotation diag(1, -1, -1)), TCP
// 0.1 m along the flange z axis.
#include "sim/controller/robot_model.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "tests/sim/sim_test_util.h"

namespace {

using hx4rc_api::Frame;
using hx4rc_api::Model;
using hx4rc_api::Rotation;
using hx4rc_api::Vector;
using vorel_sim::RobotModel;
using vorel_sim_test::framesNear;
using vorel_sim_test::referenceOffset;
using vorel_sim_test::vectorsNear;
using vorel_sim_test::worldTarget;

constexpr double kDt = 0.002;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
const Rotation kDown(1, 0, 0, 0, -1, 0, 0, 0, -1);

TEST(RobotModel, StartPose_FlangeTenCentimetresAboveTcp) {
  RobotModel robot;
  EXPECT_TRUE(framesNear(robot.tcp(), Frame(kDown, Vector(0.4, 0.0, 0.05)), 0.0));
  EXPECT_TRUE(framesNear(robot.flange(), Frame(kDown, Vector(0.4, 0.0, 0.15)), 1e-15));
  EXPECT_FALSE(robot.moving());
}

TEST(RobotModel, PositionOffsetAlongTcpZ_MovesTcpDownInWorldAtNextCycle) {
  RobotModel robot;
  ASSERT_TRUE(robot.setOffset(referenceOffset(0.0, 0.0, 0.01)));
  EXPECT_NEAR(robot.tcp().position.z(), 0.05, 1e-15) << "applied only by the next cycle";
  robot.advance(kDt, false);
  // TCP z is world -z: +0.01 m along it is 0.01 m down.
  EXPECT_TRUE(vectorsNear(robot.tcp().position, Vector(0.4, 0.0, 0.04), 1e-15));
  EXPECT_TRUE(vectorsNear(robot.flange().position, Vector(0.4, 0.0, 0.14), 1e-15));
  EXPECT_TRUE(vectorsNear(robot.commandedTcp().position, Vector(0.4, 0.0, 0.05), 0.0));
  // 0.01 m in one 2 ms cycle: 5 m/s downward.
  EXPECT_TRUE(vectorsNear(robot.state().tcp_velocity, Vector(0.0, 0.0, -5.0), 1e-9));
}

TEST(RobotModel, OffsetAlongTcpX_AndYaw_ActInTcpAxes) {
  RobotModel robot;
  ASSERT_TRUE(robot.setOffset(referenceOffset(0.0, 0.02, 0.0, 0.0, 0.0, 0.3)));
  robot.advance(kDt, false);
  // TCP y is world -y.
  EXPECT_TRUE(vectorsNear(robot.tcp().position, Vector(0.4, -0.02, 0.05), 1e-15));
  // Yaw about TCP z (world -z): TCP x turns to (cos 0.3, -sin 0.3, 0) in the world.
  EXPECT_NEAR(robot.tcp().rotation(0, 0), std::cos(0.3), 1e-15);
  EXPECT_NEAR(robot.tcp().rotation(1, 0), -std::sin(0.3), 1e-15);
  EXPECT_NEAR(robot.tcp().rotation(2, 2), -1.0, 1e-15);
  // The flange stays 0.1 m above the TCP: the TCP offset lies on the yaw axis.
  EXPECT_TRUE(vectorsNear(robot.flange().position, Vector(0.4, -0.02, 0.15), 1e-15));
}

TEST(RobotModel, RefusedOffsets_PreviousOffsetStays) {
  RobotModel robot;
  ASSERT_TRUE(robot.setOffset(referenceOffset(0.0, 0.0, 0.01)));
  robot.advance(kDt, false);

  hx4rc_api::Pose not_valid = referenceOffset(0.0, 0.0, 0.5);
  not_valid.valid = 0;
  hx4rc_api::Pose nan_value = referenceOffset(0.0, 0.0, kNaN);
  hx4rc_api::Pose infinite = referenceOffset(std::numeric_limits<double>::infinity(), 0.0, 0.0);
  hx4rc_api::Pose not_a_rotation = referenceOffset(0.0, 0.0, 0.5);
  not_a_rotation.frame.rotation(0, 0) = 2.0;
  EXPECT_FALSE(robot.setOffset(not_valid));
  EXPECT_FALSE(robot.setOffset(nan_value));
  EXPECT_FALSE(robot.setOffset(infinite));
  EXPECT_FALSE(robot.setOffset(not_a_rotation));
  EXPECT_FALSE(robot.setOffset(hx4rc_api::Pose()));  // twelve NaN, field 0
  robot.advance(kDt, false);
  EXPECT_TRUE(vectorsNear(robot.tcp().position, Vector(0.4, 0.0, 0.04), 1e-15));

  ASSERT_TRUE(robot.setOffset(referenceOffset(0.0, 0.0, 0.0)));
  robot.advance(kDt, false);
  EXPECT_TRUE(vectorsNear(robot.tcp().position, Vector(0.4, 0.0, 0.05), 0.0));
}

TEST(RobotModel, Targets_OnlyFiniteWorldPosesTaken) {
  RobotModel robot;
  const Frame goal(kDown, Vector(0.4, 0.0, 0.0));
  hx4rc_api::Motion::Target no_id = worldTarget(goal);
  no_id.frame_id = 0;
  hx4rc_api::Motion::Target base = worldTarget(goal);
  base.frame_id = static_cast<std::int32_t>(Model::SysId::FRAME_ROBOT_BASE);
  hx4rc_api::Motion::Target not_a_rotation = worldTarget(goal);
  not_a_rotation.frame.rotation(1, 1) = 0.5;
  EXPECT_FALSE(robot.setTarget(no_id));
  EXPECT_FALSE(robot.setTarget(base));
  EXPECT_FALSE(robot.setTarget(not_a_rotation));
  EXPECT_FALSE(robot.setTarget(worldTarget(Frame())));         // NaN frame
  EXPECT_FALSE(robot.setTarget(hx4rc_api::Motion::Target()));  // NaN frame, id 0
  EXPECT_FALSE(robot.moving());
  EXPECT_TRUE(robot.setTarget(worldTarget(goal)));
  EXPECT_TRUE(robot.moving());
}

TEST(RobotModel, Motion_ReachesTargetThenStops) {
  RobotModel::Config config;
  config.limits.settle_time = 0.0;  // 0.0005 m per cycle
  RobotModel robot(config);
  ASSERT_TRUE(robot.setTarget(worldTarget(Frame(kDown, Vector(0.4, 0.0, 0.0)))));
  for (int k = 1; k <= 99; ++k)
    robot.advance(kDt, false);
  EXPECT_NEAR(robot.tcp().position.z(), 0.05 - 99 * 0.0005, 1e-15);
  EXPECT_TRUE(vectorsNear(robot.state().tcp_velocity, Vector(0.0, 0.0, -0.25), 1e-9));
  EXPECT_TRUE(robot.moving());
  robot.advance(kDt, false);
  EXPECT_EQ(robot.tcp().position.z(), 0.0);
  EXPECT_FALSE(robot.moving());
  robot.advance(kDt, false);
  EXPECT_TRUE(vectorsNear(robot.state().tcp_velocity, Vector(), 0.0));
  EXPECT_NEAR(robot.state().time_s, 101 * kDt, 1e-15);
}

TEST(RobotModel, Hold_FreezesCommandedPoseButOffsetStillActs) {
  RobotModel robot;
  ASSERT_TRUE(robot.setTarget(worldTarget(Frame(kDown, Vector(0.4, 0.0, 0.0)))));
  ASSERT_TRUE(robot.setOffset(referenceOffset(0.001, 0.0, 0.0)));
  for (int k = 0; k < 10; ++k)
    robot.advance(kDt, true);
  EXPECT_TRUE(vectorsNear(robot.commandedTcp().position, Vector(0.4, 0.0, 0.05), 0.0));
  EXPECT_TRUE(vectorsNear(robot.tcp().position, Vector(0.401, 0.0, 0.05), 1e-15));
  EXPECT_TRUE(robot.moving());
  robot.advance(kDt, false);
  EXPECT_LT(robot.commandedTcp().position.z(), 0.05);
}

TEST(RobotModel, ToolChange_TcpStaysFlangeMoves) {
  RobotModel robot;
  ASSERT_TRUE(robot.setTcpInFlange(Frame(Rotation::Identity(), Vector(0.0, 0.0, 0.2))));
  EXPECT_TRUE(vectorsNear(robot.tcp().position, Vector(0.4, 0.0, 0.05), 0.0));
  EXPECT_TRUE(vectorsNear(robot.flange().position, Vector(0.4, 0.0, 0.25), 1e-15));
  EXPECT_FALSE(robot.setTcpInFlange(Frame()));
  EXPECT_FALSE(robot.placeTcp(Frame(Rotation(1, 0, 0, 0, 1, 0, 0, 0, 3), Vector())));
  EXPECT_TRUE(vectorsNear(robot.flange().position, Vector(0.4, 0.0, 0.25), 1e-15));
}

}  // namespace
