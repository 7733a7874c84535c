// The device's fail-safe behaviour on real workers and the sensor emulator:
// every end of force control leaves the drive at the zero offset, the health
// readout, and a named mutex left locked by a killed process.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/make_shared.hpp>
#include <functional>
#include <ostream>
#include <string>

#include "adaptive/adaptive_thread.h"
#include "comm/VorelForceTorqueSensorComm.h"
#include "sim/sensor_emulator.h"
#include "tests/device/device_fixture.h"
#include "tests/support/console_capture.h"
#include "tests/support/dead_mutex_holder.h"

namespace vorel_device_test {
namespace {

namespace ss = vorel_device::shared_segment;
using hx4rc_api::Model;
using hx4rc_api::Vector;

class FailSafeDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    controller->setFrame(Model::SysId::FRAME_ROBOTX_TCP, Model::SysId::FRAME_ROBOT_FLANGE,
                         hx4rc_api::Frame(hx4rc_api::Rotation(), Vector(0, 0, 0.135)));
    vorel_device::Wrench raw;
    raw[2] = 4.0;  // N along sensor z
    emulator.setWrench(raw);
    ASSERT_TRUE(emulator.start());
    device = boost::make_shared<VorelFTSensor>(
        controller.program(),
        deviceConfig(activationXml(emulator.slavePath(), "500") + mountingXml()));
    ASSERT_TRUE(device->onActivate(*device->activationParams()).ok());
    ASSERT_EQ(device->onBind(), 0);
    SegmentView view;
    ASSERT_TRUE(pollUntil([&] {
      return view.read<vorel_device::SensorHealth>(ss::kSensorHealth).frames_published > 0;
    }));
  }

  void TearDown() override {
    if (device)
      retire(*device, controller);
  }

  // Force control on z with a force error: the offset moves every cycle.
  void forceControlRunning() {
    Array targets = vector3(0.0, 0.0, -10.0);
    ASSERT_TRUE(device->resetForce(targets).ok());
    ASSERT_TRUE(device->setEnabledAxes(false, false, true, false, false, false).ok());
    ASSERT_TRUE(device->activateForceControl(true, false).ok());
    ASSERT_TRUE(controller->runCycles(4));
    ASSERT_FALSE(lastOffset() == Vector(0.0, 0.0, 0.0));
  }

  Vector lastOffset() {
    return controller->driveCommands().back().command.referenceOffset().frame.position;
  }

  // Zero offsets at the end of the drive's record, after the last other one.
  std::size_t trailingZeros() {
    const auto commands = controller->driveCommands();
    std::size_t n = 0;
    for (auto it = commands.rbegin(); it != commands.rend(); ++it) {
      if (!(it->command.referenceOffset().frame.position == Vector(0.0, 0.0, 0.0)))
        break;
      ++n;
    }
    return n;
  }

  vorel_test::ConsoleCapture console;
  vorel_test::InstalledController controller;
  vorel_sim::SensorEmulator emulator;
  boost::shared_ptr<VorelFTSensor> device;
};

// --- Every end of force control sends the zero offset ---------------------------

struct EndCase {
  const char* name;
  std::function<void(VorelFTSensor&)> end;
  friend void PrintTo(const EndCase& c, std::ostream* os) { *os << c.name; }
};

class EndOfForceControlTest : public FailSafeDeviceTest,
                              public testing::WithParamInterface<EndCase> {};

TEST_P(EndOfForceControlTest, WhileActive_ExactlyOneZeroOffsetIsTheLastCommand) {
  forceControlRunning();
  // The force-control thread must be able to leave its synchronisation.
  controller->setFreeRunning(true, std::chrono::microseconds(500));
  GetParam().end(*device);
  // Unbinding ends force control through the shared flags: the running
  // thread sends the zero offset in its next cycle.
  ASSERT_TRUE(pollUntil([&] { return trailingZeros() > 0; }));
  device->onDeactivate();
  EXPECT_EQ(lastOffset(), Vector(0.0, 0.0, 0.0));
  EXPECT_EQ(trailingZeros(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Ends, EndOfForceControlTest,
    testing::Values(EndCase{"Deactivate", [](VorelFTSensor& d) { d.onDeactivate(); }},
                    EndCase{"Reactivate",
                            [](VorelFTSensor& d) { d.onActivate(*d.activationParams()); }},
                    EndCase{"Unbind", [](VorelFTSensor& d) { d.onUnbind(); }},
                    EndCase{"Destroy", [](VorelFTSensor& d) { d.onDestroy(); }}),
    [](const testing::TestParamInfo<EndCase>& info) { return std::string(info.param.name); });

// --- Health readout in the activating process --------------------------------------

TEST_F(FailSafeDeviceTest, ReadSensorHealth_CleanLine_UsableSamplesSupervisorOk) {
  ASSERT_TRUE(controller->runCycles(3));
  Array health(6, 1);
  ASSERT_TRUE(device->readSensorHealth(health).ok());
  EXPECT_GE(health.item(0, 0).d(true), 0.0);   // age, s
  EXPECT_LE(health.item(0, 0).d(true), 0.01);  // taken within the last few cycles
  EXPECT_EQ(health.item(2, 0).d(true), 0.0);   // CRC errors
  EXPECT_EQ(health.item(4, 0).d(true), 0.0);   // status bits
  EXPECT_EQ(health.item(5, 0).d(true), 0.0);   // supervisor ok
}

// --- A named mutex left locked by a killed process ----------------------------------

TEST_F(FailSafeDeviceTest,
       MutexHeldByKilledProcess_FunctionsRefuseDeactivateEndsReactivateRecovers) {
  forceControlRunning();
  ASSERT_TRUE(vorel_test::leaveNamedMutexHeldByDeadProcess());

  // A robot-program function does nothing and says so; its array is untouched.
  console.clear();
  Array force = vector3(7.0, 7.0, 7.0);
  ASSERT_TRUE(device->readForce(force).ok());
  EXPECT_EQ(rows(force), (Vec3{7.0, 7.0, 7.0}));
  EXPECT_THAT(console.lines(),
              testing::Contains("[ERROR] getTCPFrameFTData: VorelNamedMutex not acquired within "
                                "100 ms; nothing was done"));

  // Deactivation completes and ends force control with the zero offset.
  controller->setFreeRunning(true, std::chrono::microseconds(500));
  ASSERT_TRUE(device->onDeactivate().ok());
  EXPECT_FALSE(device->sensorComm()->isRunning());
  EXPECT_FALSE(device->adaptiveThread()->isRunning());
  EXPECT_EQ(lastOffset(), Vector(0.0, 0.0, 0.0));
  EXPECT_EQ(trailingZeros(), 1u);

  // A re-activation makes a fresh segment and mutex: the functions work again.
  ASSERT_TRUE(device->onActivate(*device->activationParams()).ok());
  SegmentView view;
  ASSERT_TRUE(pollUntil([&] {
    return view.read<vorel_device::SensorHealth>(ss::kSensorHealth).frames_published > 0;
  }));
  ASSERT_TRUE(pollUntil([&] {
    Array fresh = vector3(7.0, 7.0, 7.0);
    device->readForce(fresh);
    return rows(fresh)[2] != 7.0;
  }));
}

}  // namespace
}  // namespace vorel_device_test
