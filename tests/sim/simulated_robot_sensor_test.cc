// The closed cell over a real pseudo-terminal: the sensor emulator's frames,
// read as the device reads its port, carry the contact world's wrench for the
// simulated robot's current pose. Expected values are worked out by hand for
// the cell's tool pointing down (0.8 kg: weight +7.848 N along sensor z) and
// the floor at z = 0 (5000 N/m: 2 mm deep gives 10 N, -10 N along sensor z).
#include "sim/world/simulated_robot_sensor.h"

#include <gtest/gtest.h>

#include <boost/make_shared.hpp>
#include <cmath>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "tests/sim/sim_test_util.h"
#include "tests/sim/slave_line.h"

namespace {

using hx4rc_api::Frame;
using hx4rc_api::Rotation;
using hx4rc_api::Vector;
using vorel_device::RxFrame;
using vorel_sim::ContactWorld;
using vorel_sim::SensorEmulator;
using vorel_sim::SimulatedController;
using vorel_sim::SimulatedRobotSensor;
using vorel_sim_test::ftAt;
using vorel_sim_test::SlaveLine;

const Rotation kDown(1, 0, 0, 0, -1, 0, 0, 0, -1);
constexpr double kWeightZ = 7.848;          // N, 0.8 kg x 9.81 along sensor +z
constexpr double kPressedZ = 7.848 - 10.0;  // N, plus 10 N push along sensor -z

std::shared_ptr<ContactWorld> quietWorld() {
  ContactWorld::Config c;
  c.force_noise = 0.0;
  c.torque_noise = 0.0;
  return std::make_shared<ContactWorld>(c);
}

// Frames with a correct CRC wherever they start (the stream read after a
// clear() may begin inside a frame).
std::vector<RxFrame> validFrames(const std::vector<std::uint8_t>& bytes) {
  std::vector<RxFrame> frames;
  for (std::size_t offset : vorel_sim_test::validFrameOffsets(bytes)) {
    RxFrame frame;
    std::memcpy(&frame, &bytes[offset], RxFrame::kSize);
    frames.push_back(frame);
  }
  return frames;
}

bool frameHasFz(const RxFrame& frame, double fz) {
  for (int i : {0, 1, 3, 4, 5}) {
    if (std::fabs(ftAt(frame, i)) > 1e-6)
      return false;
  }
  return std::fabs(ftAt(frame, 2) - fz) < 1e-5;
}

TEST(SimulatedRobotSensor, PressedIntoFloor_EveryFrameCarriesWeightPlusPush) {
  auto controller = boost::make_shared<SimulatedController>();
  ASSERT_TRUE(controller->placeTcp(Frame(kDown, Vector(0.4, 0.0, -0.002))));
  SimulatedRobotSensor sensor(controller, quietWorld());
  SensorEmulator emulator;
  sensor.attach(emulator);
  SlaveLine line(emulator.slavePath());
  ASSERT_TRUE(emulator.start());
  ASSERT_TRUE(line.readUntil(
      [](const std::vector<std::uint8_t>& bytes) { return validFrames(bytes).size() >= 5; }));
  emulator.stop();
  const auto frames = validFrames(line.bytes());
  ASSERT_GE(frames.size(), 5u);
  for (const RxFrame& frame : frames) {
    EXPECT_TRUE(frameHasFz(frame, kPressedZ)) << "fz " << ftAt(frame, 2);
  }
  EXPECT_GE(sensor.framesProvided(), frames.size());
  EXPECT_NEAR(sensor.lastWrench()[2], kPressedZ, 1e-12);
}

TEST(SimulatedRobotSensor, DriveOffsetPressesTool_FramesFollowTheRobot) {
  auto controller = boost::make_shared<SimulatedController>();
  SimulatedRobotSensor sensor(controller, quietWorld());
  SensorEmulator emulator;
  sensor.attach(emulator);
  SlaveLine line(emulator.slavePath());
  ASSERT_TRUE(controller->start());
  ASSERT_TRUE(emulator.start());

  // Hanging free 0.05 m above the floor: the weight only.
  ASSERT_TRUE(line.readFrames(3));
  for (const RxFrame& frame : validFrames(line.bytes())) {
    EXPECT_TRUE(frameHasFz(frame, kWeightZ)) << "fz " << ftAt(frame, 2);
  }

  // 0.052 m along TCP z (world down): 2 mm into the floor.
  ASSERT_EQ(controller->submit(
                vorel_sim_test::driveCommand(vorel_sim_test::referenceOffset(0.0, 0.0, 0.052))),
            0);
  line.clear();
  ASSERT_TRUE(line.readUntil([](const std::vector<std::uint8_t>& bytes) {
    const auto frames = validFrames(bytes);
    return !frames.empty() && frameHasFz(frames.back(), kPressedZ);
  })) << "no frame showed the push";
  // Once pressed, it stays pressed.
  line.clear();
  ASSERT_TRUE(line.readUntil(
      [](const std::vector<std::uint8_t>& bytes) { return validFrames(bytes).size() >= 5; }));
  emulator.stop();
  controller->stop();
  for (const RxFrame& frame : validFrames(line.bytes())) {
    EXPECT_TRUE(frameHasFz(frame, kPressedZ)) << "fz " << ftAt(frame, 2);
  }
}

TEST(SimulatedRobotSensor, ProviderOutlivesItsMakers_FramesKeepFlowing) {
  SensorEmulator emulator;
  {
    auto controller = boost::make_shared<SimulatedController>();
    SimulatedRobotSensor sensor(controller, quietWorld());
    sensor.attach(emulator);
  }  // the controller, the world and the glue object are gone here
  SlaveLine line(emulator.slavePath());
  ASSERT_TRUE(emulator.start());
  ASSERT_TRUE(line.readFrames(3));
  emulator.stop();
  for (const RxFrame& frame : validFrames(line.bytes())) {
    EXPECT_TRUE(frameHasFz(frame, kWeightZ)) << "fz " << ftAt(frame, 2);
  }
}

TEST(SimulatedRobotSensor, MissingPart_Refused) {
  EXPECT_THROW(SimulatedRobotSensor(boost::shared_ptr<SimulatedController>(), quietWorld()),
               std::invalid_argument);
  EXPECT_THROW(SimulatedRobotSensor(boost::make_shared<SimulatedController>(), nullptr),
               std::invalid_argument);
}

}  // namespace
