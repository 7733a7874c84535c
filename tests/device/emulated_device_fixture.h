// A device on the sensor emulator: the emulator on a real pseudo-terminal as
// the sensor, the stepping controller double as the robot controller, the
// device configured with the emulator's line at 500 Hz and the tests'
// mounting. The real reader, facade and force-control threads run on the
// real shared segment once the device is activated.
#pragma once

#include <gtest/gtest.h>

#include <boost/make_shared.hpp>

#include "sim/sensor/sensor_emulator.h"
#include "tests/device/device_fixture.h"
#include "tests/support/console_capture.h"

namespace vorel_device_test {

class EmulatedDeviceTest : public ::testing::Test {
 protected:
  // Starts the emulator (sending whatever wrench was set on it) and makes the
  // device on its line.
  void startSensor() {
    ASSERT_TRUE(emulator.start());
    device = boost::make_shared<VorelFTSensor>(
        controller.program(),
        deviceConfig(activationXml(emulator.slavePath(), "500") + mountingXml()));
  }

  void activateAndBind() {
    ASSERT_TRUE(device->onActivate(*device->activationParams()).ok());
    ASSERT_EQ(device->onBind(), 0);
  }

  // The TCP 0.135 m above the flange, not turned.
  void tcpAboveFlange() {
    controller->setFrame(hx4rc_api::Model::SysId::FRAME_ROBOTX_TCP,
                         hx4rc_api::Model::SysId::FRAME_ROBOT_FLANGE,
                         hx4rc_api::Frame(hx4rc_api::Rotation(), hx4rc_api::Vector(0, 0, 0.135)));
  }

  void TearDown() override {
    if (device)
      retire(*device, controller);
    emulator.stop();
  }

  vorel_test::ConsoleCapture console;
  vorel_test::InstalledController controller;
  vorel_sim::SensorEmulator emulator;
  boost::shared_ptr<VorelFTSensor> device;
};

}  // namespace vorel_device_test
