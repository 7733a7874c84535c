// A device bound to a real shared segment whose reader exists but does not
// run, with no force-control thread: what a robot-program function writes
// stays in the segment for the test to read. The heartbeat of a live (idle)
// force-control thread is played, as another process's thread would beat.
#pragma once

#include <gtest/gtest.h>

#include <boost/make_shared.hpp>
#include <memory>

#include "comm/sensor_reader.h"
#include "tests/device/device_fixture.h"
#include "tests/support/console_capture.h"
#include "tests/support/heartbeat_player.h"

namespace vorel_device_test {

class BoundDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    device = boost::make_shared<VorelFTSensor>(
        controller.program(), deviceConfig(activationXml("/dev/null", "500") + mountingXml()));
    ASSERT_EQ(device->onBind(), 0);
    view = std::make_unique<SegmentView>();
    console.clear();
  }

  void TearDown() override { retire(*device, controller); }

  vorel_test::InstalledController controller;
  vorel_device::VorelForceTorqueSensorComm reader{5};  // creates the segment; not started
  vorel_test::HeartbeatPlayer heartbeat;
  vorel_test::ConsoleCapture console;
  boost::shared_ptr<VorelFTSensor> device;
  std::unique_ptr<SegmentView> view;
};

}  // namespace vorel_device_test
