// The device end to end in one process: the sensor emulator on a real
// pseudo-terminal as the sensor, the stepping controller double as the robot
// controller, the real reader, facade and force-control threads on the real
// shared segment. Every expected number below is worked out by hand from the
// mounting (2.0 kg tool, centre of gravity 0.1 m along flange x, sensor
// 0.035 m above the flange turned +90 degrees about z, TCP 0.135 m above the
// flange, flange level) and the wrench the emulator sends.
#include <gtest/gtest.h>

#include "adaptive/force_control_thread.h"
#include "device/test_hooks.h"
#include "tests/device/emulated_device_fixture.h"

namespace vorel_device_test {
namespace {

namespace ss = vorel_device::shared_segment;

// What the emulator sends: force (N) and torque (N m) in sensor axes, all
// exact in float32.
const vorel_device::Wrench kRaw = wrenchOf(1.5, -2.25, 10.0, 0.125, 0.25, -0.5);

// Gravity compensated: the tool's weight G = (0, 0, -19.62) N (the same in
// sensor axes, turned about z) is removed (F - G), and its moment about the
// sensor origin: the centre of gravity seen from there, in sensor axes, is
// c_s = Rs^T (c - ps) = (c_y, -c_x, c_z - 0.035) = (0, -0.1, -0.035) m, and
// c_s x G = (-0.1 x -19.62, 0, 0) = (1.962, 0, 0) N m (T - c_s x G).
constexpr double kCompensated[6] = {1.5, -2.25, 29.62, -1.837, 0.25, -0.5};
// In the TCP frame: rotated by +90 degrees about z ((x, y) -> (-y, x)), plus
// the moment r x F' of the sensor origin seen from the TCP, r = (0, 0, -0.1) m:
// r x (2.25, 1.5, 29.62) = (0.15, -0.225, 0).
constexpr double kTcp[6] = {2.25, 1.5, 29.62, -0.1, -2.062, -0.5};
constexpr double kTol = 1e-9;

class DeviceEndToEndTest : public EmulatedDeviceTest {
 protected:
  void SetUp() override {
    controller->setRcState(hx4rc_api::State::SysStat_RCState::kLoadModelReady);
    tcpAboveFlange();
    emulator.setWrench(kRaw);
    startSensor();
  }
};

// The force-control thread takes its snapshot once the controller's
// synchronisation has returned: a frame published or a command written
// between cycles is taken and acts in the next cycle.
TEST_F(DeviceEndToEndTest,
       Program_EveryKindOfFunction_ReadsTaresFiltersControlsAndStopsAtTermination) {
  ASSERT_EQ(device->onCreate(), 0);
  ASSERT_TRUE(device->onMount(*device->mountingParams()).ok());
  ASSERT_TRUE(device->onActivate(*device->activationParams()).ok());
  ASSERT_EQ(device->onBind(), 0);
  auto adaptive = vorel_device::test_hooks::adaptiveThread(*device);
  ASSERT_TRUE(adaptive);

  // --- All eight readouts, no bias yet ------------------------------------
  ASSERT_TRUE(vorel_test::pollUntil([&] {
    const Vec3 raw = readWith(*device, &VorelFTSensor::readForceRaw);
    return raw[2] == 10.0;  // the facade's cycle has copied the frame
  }));
  ASSERT_TRUE(awaitFrameFz(10.0f));  // the reader has published the emulator's wrench
  ASSERT_TRUE(controller->runCycles(1));
  EXPECT_TRUE(adaptive->isToolLoadRead());

  EXPECT_VEC3_NEAR(readWith(*device, &VorelFTSensor::readForceRaw), 1.5, -2.25, 10.0, kTol);
  EXPECT_VEC3_NEAR(readWith(*device, &VorelFTSensor::readTorqueRaw), 0.125, 0.25, -0.5, kTol);
  EXPECT_VEC3_NEAR(readWith(*device, &VorelFTSensor::readForceSensorFrame), kCompensated[0],
                   kCompensated[1], kCompensated[2], kTol);
  EXPECT_VEC3_NEAR(readWith(*device, &VorelFTSensor::readTorqueSensorFrame), kCompensated[3],
                   kCompensated[4], kCompensated[5], kTol);
  EXPECT_VEC3_NEAR(readWith(*device, &VorelFTSensor::readForce), kTcp[0], kTcp[1], kTcp[2], kTol);
  EXPECT_VEC3_NEAR(readWith(*device, &VorelFTSensor::readTorque), kTcp[3], kTcp[4], kTcp[5], kTol);
  // No filter, system filter off: the filtered wrench is the TCP wrench.
  EXPECT_VEC3_NEAR(readWith(*device, &VorelFTSensor::readForceFiltered), kTcp[0], kTcp[1], kTcp[2],
                   kTol);
  EXPECT_VEC3_NEAR(readWith(*device, &VorelFTSensor::readTorqueFiltered), kTcp[3], kTcp[4], kTcp[5],
                   kTol);

  // --- Tare: one bias (the TCP sample) for the raw, sensor and TCP stages ---
  ASSERT_TRUE(device->tareSensor().ok());
  EXPECT_VEC3_NEAR(readWith(*device, &VorelFTSensor::readForce), 0.0, 0.0, 0.0, kTol);
  EXPECT_VEC3_NEAR(readWith(*device, &VorelFTSensor::readTorque), 0.0, 0.0, 0.0, kTol);
  EXPECT_VEC3_NEAR(readWith(*device, &VorelFTSensor::readForceRaw), 1.5 - 2.25, -2.25 - 1.5,
                   10.0 - 29.62, kTol);
  EXPECT_VEC3_NEAR(readWith(*device, &VorelFTSensor::readTorqueSensorFrame), -1.837 + 0.1,
                   0.25 + 2.062, 0.0, kTol);

  // --- Reset to targets (0, 0, -10) N --------------------------------------
  Array targets = vector3(0.0, 0.0, -10.0);
  ASSERT_TRUE(device->resetForce(targets).ok());
  EXPECT_VEC3_NEAR(readWith(*device, &VorelFTSensor::readForce), 0.0, 0.0, -10.0, kTol);
  ASSERT_TRUE(controller->runCycles(1));
  EXPECT_VEC3_NEAR(readWith(*device, &VorelFTSensor::readForceFiltered), 0.0, 0.0, -10.0, kTol);
  EXPECT_VEC3_NEAR(readWith(*device, &VorelFTSensor::readTorqueFiltered), 0.0, 0.0, 0.0, kTol);

  // --- Filters, applied by the force-control thread -------------------------
  // A rate limiter of 50 N/s at 500 Hz moves at most 0.1 N per cycle.
  ASSERT_TRUE(device->addFilter("ramp", 3, 0.0, 0.0, 0.0, 50.0, -50.0).ok());
  ASSERT_TRUE(controller->runCycles(1));
  EXPECT_VEC3_NEAR(readWith(*device, &VorelFTSensor::readForceFiltered), 0.0, 0.0, -0.1, 1e-12);
  ASSERT_TRUE(controller->runCycles(1));
  EXPECT_VEC3_NEAR(readWith(*device, &VorelFTSensor::readForceFiltered), 0.0, 0.0, -0.2, 1e-12);
  // A second one (25 N/s: 0.05 N per cycle) runs after the first.
  ASSERT_TRUE(device->addFilter("gentle", 3, 0.0, 0.0, 0.0, 25.0, -25.0).ok());
  ASSERT_TRUE(controller->runCycles(1));
  // ramp is at -0.3 N by now; gentle follows from rest.
  EXPECT_VEC3_NEAR(readWith(*device, &VorelFTSensor::readForceFiltered), 0.0, 0.0, -0.05, 1e-12);
  EXPECT_EQ(adaptive->getFilterChain().order(), (std::vector<std::string>{"ramp", "gentle"}));
  // Both settle on the input within 200 cycles.
  ASSERT_TRUE(controller->runCycles(250));
  EXPECT_VEC3_NEAR(readWith(*device, &VorelFTSensor::readForceFiltered), 0.0, 0.0, -10.0, kTol);

  // --- Force control on z: -10 N x 5 x 0.001 x 0.002 s = -1e-4 m per cycle --
  ASSERT_TRUE(device->setEnabledAxes(false, false, true, false, false, false).ok());
  ASSERT_TRUE(device->activateForceControl(true, false).ok());
  controller->clearRecords();
  // The cycles above ran faster than the emulator's real-time frames, so the
  // sensor looks stale to force control: wait for a fresh frame, which the
  // next cycle takes.
  ASSERT_TRUE(awaitFramesPublishedAbove(framesPublished()));
  ASSERT_TRUE(controller->runCycles(5));
  const auto commands = controller->driveCommands();
  ASSERT_EQ(commands.size(), 5u);
  for (std::size_t k = 0; k < commands.size(); ++k) {
    const hx4rc_api::Pose& offset = commands[k].command.referenceOffset();
    EXPECT_EQ(offset.valid, 1u);
    EXPECT_NEAR(offset.frame.position.x(), 0.0, 1e-15);
    EXPECT_NEAR(offset.frame.position.y(), 0.0, 1e-15);
    EXPECT_NEAR(offset.frame.position.z(), -1e-4 * static_cast<double>(k + 1), 1e-12) << k;
    EXPECT_EQ(offset.frame.rotation, hx4rc_api::Rotation());
  }

  // --- Program termination ---------------------------------------------------
  // A torque target that the termination must put back to zero shows when the
  // handler has finished (rotation is off: it does not move the robot).
  Array torque_target = vector3(0.0, 0.0, 0.5);
  ASSERT_TRUE(device->setTorqueTrackValue(torque_target).ok());
  controller.program()->signalBus().findOrCreateStream<hx4_signal::ProgramTerminated>()->publish(
      boost::any(hx4_signal::ProgramTerminated{7}));
  SegmentView view;
  ASSERT_TRUE(vorel_test::pollUntil(
      [&] { return view.read<vorel_device::Wrench>(ss::kTrackWrench)[5] == 0.0; }));
  EXPECT_FALSE(device->programRunning());
  EXPECT_FALSE(view.read<bool>(ss::kActivateTranslation));
  EXPECT_FALSE(view.read<bool>(ss::kActivateRotation));

  // The next cycle takes the termination's commands: the end of force
  // control, every filter removed and the return to the zero offset.
  for (int k = 0; k < 1000 && (k == 0 || adaptive->wasActive()); ++k)
    ASSERT_TRUE(controller->runCycles(1));
  const auto after = controller->driveCommands();
  ASSERT_GT(after.size(), 6u);
  const hx4rc_api::Pose& zero = after.back().command.referenceOffset();
  EXPECT_EQ(zero.frame.position, hx4rc_api::Vector(0.0, 0.0, 0.0));
  EXPECT_EQ(zero.frame.rotation, hx4rc_api::Rotation());
  EXPECT_TRUE(adaptive->getFilterChain().empty());
  EXPECT_FALSE(adaptive->isActive());
  ASSERT_TRUE(controller->runCycles(3));
  EXPECT_EQ(controller->driveCommandCount(), after.size());
  // The filters are gone: the filtered readout is the unfiltered one again.
  EXPECT_VEC3_NEAR(readWith(*device, &VorelFTSensor::readForceFiltered), 0.0, 0.0, -10.0, kTol);
}

}  // namespace
}  // namespace vorel_device_test
