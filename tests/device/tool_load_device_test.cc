// Commissioning on real workers: the sensor emulator sends the raw wrench of
// a true tool and a sensor bias for the flange orientation the controller
// double reports, in the axes of the mounted sensor (turned 90 degrees about
// the flange's z axis, 0.035 m above it); the device captures samples in six
// orientations, refuses a set with a disturbed sample, forgets it on request,
// identifies load and bias from a clean set and applies them, after which
// the tool-frame readout is zero in an orientation it has not seen. Also the
// refusals: force control on, too few samples, a robot that moves, no usable
// frame.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "adaptive/tool_load_fit.h"
#include "tests/device/emulated_device_fixture.h"

namespace vorel_device_test {
namespace {

namespace ss = vorel_device::shared_segment;
namespace tl = vorel_device::tool_load;
using hx4rc_api::Model;
using hx4rc_api::Rotation;
using hx4rc_api::Vector;

// The true tool and the sensor's own bias. The centre of gravity (0.012,
// -0.004, 0.065) m in flange coordinates is, for the mounted sensor,
// Rs^T (c - ps) = (c_y, -c_x, c_z - 0.035) in sensor axes.
tl::Fit truth() {
  tl::Fit f;
  f.mass = 1.25;
  f.cog = {-0.004, -0.012, 0.03};
  f.cog_flange = {0.012, -0.004, 0.065};
  f.force_bias = {2.5, -1.5, 3.0};
  f.torque_bias = {0.1, -0.08, 0.05};
  return f;
}

class ToolLoadDeviceTest : public EmulatedDeviceTest {
 protected:
  void SetUp() override {
    tcpAboveFlange();
    // The configuration's (wrong) tool, offered by the load model.
    controller->setToolLoad(0.8, Vector(0.0, 0.0, 0.04));
    controller->setRcState(hx4rc_api::State::SysStat_RCState::kLoadModelReady);
    orient(0.0, 0.0, 0.0);
    ASSERT_NO_FATAL_FAILURE(startSensor());
    ASSERT_NO_FATAL_FAILURE(activateAndBind());
    // About real time, so that the emulator's frames keep up.
    controller->setFreeRunning(true, std::chrono::microseconds(2000));
    console.clear();
  }

  // The flange turned by roll, pitch, yaw (rad) in the world; the emulator
  // then sends the true tool's weight plus the bias, in sensor axes, and
  // `push` N more along the sensor's z axis (a contact).
  void orient(double roll, double pitch, double yaw, double push = 0.0) {
    const Rotation r = Rotation::RPY(roll, pitch, yaw);
    controller->setFrame(Model::SysId::FRAME_ROBOT_FLANGE, Model::SysId::FRAME_WORLD,
                         hx4rc_api::Frame(r, Vector(0.4, 0.0, 0.3)));
    const hx4rc_api::Frame sensor(Rotation(0, -1, 0, 1, 0, 0, 0, 0, 1), Vector(0, 0, 0.035));
    tl::Vec3 force, torque;
    tl::predict(truth(), tl::gravityInSensor(r, sensor), force, torque);
    emulator.setWrench(
        wrenchOf(force[0], force[1], force[2] + push, torque[0], torque[1], torque[2]));
  }

  // `disturbed`: 1-based number of the sample with a 10 N contact; 0: none.
  // Each capture starts once the reader publishes the pose's wrench, as a
  // robot is captured once it stands still.
  void captureSix(std::size_t disturbed = 0) {
    const double poses[6][3] = {{0.0, 0.0, 0.0},       {M_PI, 0.0, 0.3}, {M_PI / 2, 0.0, 0.1},
                                {-M_PI / 2, 0.2, 0.0}, {0.0, 1.2, 0.4},  {0.3, -1.2, -0.2}};
    SegmentView view;
    for (std::size_t i = 0; i < 6; ++i) {
      orient(poses[i][0], poses[i][1], poses[i][2], i + 1 == disturbed ? 10.0 : 0.0);
      const vorel_device::Wrench sent = emulator.wrench();
      ASSERT_TRUE(vorel_test::pollUntil([&] {
        const vorel_device::RxFrame frame = view.read<vorel_device::RxFrame>(ss::kFrame);
        for (int k = 0; k < 6; ++k) {
          const float value = frame.ft_data[k];
          if (value != static_cast<float>(sent[k]))
            return false;
        }
        return true;
      }));
      ASSERT_TRUE(device->captureLoadSample().ok());
    }
  }
};

TEST_F(ToolLoadDeviceTest, Identify_DisturbedThenCleanSet_RefusedThenToolFrameReadsZero) {
  Array result = vector3(7.0, 7.0, 7.0);  // rows 0..2 of the 4 it fills
  captureSix(3);
  EXPECT_THAT(console.lines(), testing::Each(testing::StartsWith("[INFO] captureLoadSample")));
  console.clear();
  ASSERT_TRUE(device->identifyToolLoad(result).ok());
  ASSERT_EQ(console.lines().size(), 1u);
  EXPECT_THAT(console.lines()[0],
              testing::AllOf(testing::StartsWith("[ERROR] identifyToolLoad: sample 3 disagrees "
                                                 "with the model: residual 10.000 N"),
                             testing::EndsWith("; nothing changed")));
  EXPECT_EQ(rows(result), (Vec3{7.0, 7.0, 7.0}));
  EXPECT_TRUE(controller->loadWrites().empty());
  ASSERT_TRUE(device->clearLoadSamples().ok());
  EXPECT_EQ(console.lines().back(), "[INFO] clearLoadSamples: 6 samples cleared");

  captureSix();
  console.clear();
  result = Array(4, 1);  // mass, centre of gravity x, y, z
  ASSERT_TRUE(device->identifyToolLoad(result).ok());
  const tl::Fit want = truth();
  // The frames carry float32 values: a few micro-units of the largest.
  EXPECT_NEAR(result.item(0, 0).d(true), want.mass, 1e-5);
  for (int i = 0; i < 3; ++i)
    EXPECT_NEAR(result.item(1 + i, 0).d(true), want.cog_flange[i], 1e-5) << i;
  // The fit as the mounting parameter that holds it, in flange coordinates;
  // the samples are used up.
  EXPECT_THAT(console.lines(),
              testing::Contains(testing::HasSubstr("<arg type=\"load\"><mass>1.2500</mass>"
                                                   "<cog>0.01200 -0.00400 0.06500</cog></arg>")));
  EXPECT_THAT(console.lines().back(), testing::EndsWith("the 6 samples are cleared"));
  ASSERT_TRUE(device->clearLoadSamples().ok());
  EXPECT_EQ(console.lines().back(), "[INFO] clearLoadSamples: 0 samples cleared");

  // The host's tool load now holds the fit.
  const auto writes = controller->loadWrites();
  ASSERT_FALSE(writes.empty());
  EXPECT_NEAR(writes.back().record.inertia.mass, want.mass, 1e-5);
  for (int i = 0; i < 3; ++i)
    EXPECT_NEAR(writes.back().record.inertia.cog[i], want.cog_flange[i], 1e-5) << i;

  // In an orientation it has not seen, without contact, the tool frame
  // reads zero once force control has taken the new tool load.
  orient(0.7, -0.5, 1.1);
  SegmentView view;
  ASSERT_TRUE(vorel_test::pollUntil([&] { return !view.read<bool>(ss::kReloadToolLoad); }));
  ASSERT_TRUE(vorel_test::pollUntil([&] {
    const Vec3 force = readWith(*device, &VorelFTSensor::readForce);
    const Vec3 torque = readWith(*device, &VorelFTSensor::readTorque);
    return std::hypot(force[0], force[1], force[2]) < 1e-4 &&
           std::hypot(torque[0], torque[1], torque[2]) < 1e-5;
  })) << "force "
      << readWith(*device, &VorelFTSensor::readForce)[2];
}

TEST_F(ToolLoadDeviceTest, Commissioning_Refused_ErrorLineAndNothingChanged) {
  Array result = vector3(7.0, 7.0, 7.0);
  // Fewer than three samples.
  ASSERT_TRUE(device->captureLoadSample().ok());
  ASSERT_TRUE(device->identifyToolLoad(result).ok());
  EXPECT_THAT(console.lines().back(),
              testing::StartsWith("[ERROR] identifyToolLoad: needs at least 3 samples"));
  // Force control on.
  ASSERT_TRUE(device->activateForceControl(true, false).ok());
  console.clear();
  ASSERT_TRUE(device->captureLoadSample().ok());
  ASSERT_TRUE(device->identifyToolLoad(result).ok());
  EXPECT_THAT(console.lines(),
              testing::ElementsAre(testing::StartsWith("[ERROR] captureLoadSample: force control "
                                                       "is on"),
                                   testing::StartsWith("[ERROR] identifyToolLoad: force control "
                                                       "is on")));
  ASSERT_TRUE(device->deactivateForceControl().ok());
  EXPECT_EQ(rows(result), (Vec3{7.0, 7.0, 7.0}));
  EXPECT_TRUE(controller->loadWrites().empty());
}

TEST_F(ToolLoadDeviceTest, Capture_NoUsableFrameInTheWindow_NoSample) {
  emulator.setStatus(0x04);  // every frame flagged
  ASSERT_TRUE(device->captureLoadSample().ok());
  EXPECT_THAT(console.lines(),
              testing::ElementsAre("[ERROR] captureLoadSample: no frame with status 0 and finite "
                                   "values arrived in the 500 ms window; no sample taken"));
}

TEST_F(ToolLoadDeviceTest, Capture_RobotMovesDuringTheWindow_NoSample) {
  const std::uint64_t syncs = controller->syncCount();
  std::thread mover([&] {
    // Some cycles into the window, the flange turns.
    vorel_test::pollUntil([&] { return controller->syncCount() > syncs + 40; });
    controller->setFrame(Model::SysId::FRAME_ROBOT_FLANGE, Model::SysId::FRAME_WORLD,
                         hx4rc_api::Frame(Rotation::RPY(0.0, 0.01, 0.0), Vector(0.4, 0.0, 0.3)));
  });
  ASSERT_TRUE(device->captureLoadSample().ok());
  mover.join();
  EXPECT_THAT(console.lines(),
              testing::ElementsAre("[ERROR] captureLoadSample: the robot moved during the "
                                   "sampling window; let it stand still; no sample taken"));
}

}  // namespace
}  // namespace vorel_device_test
