// The device's lifecycle operations on real workers: activation with the
// sensor emulator on a pseudo-terminal (sampling rate and filter commands on
// the wire), activation without a sensor and its real-time priorities, a
// force-control thread that starts too late, binding with missing parameters,
// binding twice, deactivation before any activation, and activations from the
// hardware-ready handler racing the host's operations.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <sched.h>
#include <boost/interprocess/exceptions.hpp>
#include <boost/make_shared.hpp>
#include <cstdio>
#include <ostream>
#include <thread>

#include "adaptive/force_control_thread.h"
#include "comm/command_facade.h"
#include "comm/sensor_reader.h"
#include "device/test_hooks.h"
#include "sim/sensor/sensor_emulator.h"
#include "tests/device/device_fixture.h"
#include "tests/support/console_capture.h"
#include "tests/support/poll_until.h"
#include "tests/support/realtime_probe.h"

namespace vorel_device_test {
namespace {

namespace ss = vorel_device::shared_segment;

class DeviceLifecycleTest : public ::testing::Test {
 protected:
  boost::shared_ptr<VorelFTSensor> makeDevice(const std::string& inner) {
    device = boost::make_shared<VorelFTSensor>(controller.program(), deviceConfig(inner));
    return device;
  }

  void TearDown() override {
    if (device)
      retire(*device, controller);
  }

  vorel_test::ConsoleCapture console;
  vorel_test::InstalledController controller;
  boost::shared_ptr<VorelFTSensor> device;
};

// --- Sensor frequency -> sampling rate and the sensor's filter command -----

struct FrequencyCase {
  const char* frequency;  // activation parameter 1, as written in the XML
  double sampling_rate;   // Hz
  const char* filter_command;
};

class DeviceFrequencyTest : public DeviceLifecycleTest,
                            public ::testing::WithParamInterface<FrequencyCase> {};

TEST_P(DeviceFrequencyTest, Activate_SensorFrequency_SetsRateAndConfiguresSensor) {
  const FrequencyCase& c = GetParam();
  vorel_sim::SensorEmulator emulator;
  ASSERT_TRUE(emulator.start());
  makeDevice(activationXml(emulator.slavePath(), c.frequency));

  const VorelFTSensor::Result result = device->onActivate(*device->activationParams());

  ASSERT_TRUE(result.ok()) << result.message();
  EXPECT_EQ(vorel_device::test_hooks::samplingRate(*device), c.sampling_rate);
  ASSERT_TRUE(vorel_device::test_hooks::adaptiveThread(*device));
  EXPECT_EQ(vorel_device::test_hooks::adaptiveThread(*device)->getSamplingRate(), c.sampling_rate);
  EXPECT_GE(vorel_device::test_hooks::portFd(*device), 0);
  ASSERT_TRUE(emulator.waitForCommands(4, std::chrono::seconds(10)));
  EXPECT_EQ(emulator.commandLog(), (std::vector<std::string>{"C", c.filter_command, "s", "R"}));
  // The sensor streams again at the rate of the setting.
  EXPECT_EQ(emulator.rateHz(), c.sampling_rate);
  EXPECT_FALSE(emulator.inConfigMode());

  controller->setFreeRunning(true);
  EXPECT_TRUE(device->onDeactivate().ok());
  EXPECT_EQ(vorel_device::test_hooks::portFd(*device), -1);
  EXPECT_FALSE(vorel_device::test_hooks::sensorComm(*device)->holdsThread());
  EXPECT_FALSE(vorel_device::test_hooks::adaptiveThread(*device)->holdsThread());
}

INSTANTIATE_TEST_SUITE_P(Frequencies, DeviceFrequencyTest,
                         ::testing::Values(FrequencyCase{"600", 500.0, "f,86,0,0,1"},
                                           FrequencyCase{"499.9", 250.0, "f,172,0,0,1"},
                                           FrequencyCase{"250", 250.0, "f,172,0,0,1"},
                                           FrequencyCase{"50", 100.0, "f,430,0,0,1"},
                                           FrequencyCase{"nan", 100.0, "f,430,0,0,1"}));

// --- Real-time priority: activation argument 2 ----------------------------------

struct PriorityCase {
  const char* arg;  // the third activation argument, "" for none
  bool accepted;
  int force_control;  // SCHED_FIFO priority expected when permitted; 0: normal
  int reader;
  friend void PrintTo(const PriorityCase& c, std::ostream* os) { *os << '"' << c.arg << '"'; }
};

class DevicePriorityTest : public DeviceLifecycleTest,
                           public ::testing::WithParamInterface<PriorityCase> {};

TEST_P(DevicePriorityTest, Activate_PriorityArgument_SchedulesWorkersOrRefuses) {
  const PriorityCase& c = GetParam();
  std::string activation = activationXml(silentPortPath(), "500");
  if (*c.arg) {
    activation.insert(activation.find("</activation>"),
                      std::string("<arg type=\"double\">") + c.arg + "</arg>");
  }
  makeDevice(activation);
  testing::internal::CaptureStdout();  // the sensor configuration's lines
  const VorelFTSensor::Result result = device->onActivate(*device->activationParams());
  testing::internal::GetCapturedStdout();

  if (!c.accepted) {
    EXPECT_EQ(result.kind(), VorelFTSensor::Result::kError);
    EXPECT_EQ(result.code(), -1);
    EXPECT_EQ(result.message().rfind("Invalid real-time priority", 0), 0u) << result.message();
    EXPECT_FALSE(vorel_device::test_hooks::adaptiveThread(*device));  // nothing was started
    EXPECT_FALSE(vorel_device::test_hooks::sensorComm(*device));
    return;
  }
  // Without a sensor on the port the workers run all the same.
  ASSERT_TRUE(result.ok()) << result.message();
  EXPECT_GE(vorel_device::test_hooks::portFd(*device), 0);
  EXPECT_TRUE(vorel_device::test_hooks::adaptiveThread(*device)->isRunning());
  auto expectScheduling = [](tmvz_periodic_thread::PeriodicThread& thread, int priority) {
    if (priority > 0 && vorel_test::fifoPermitted(priority)) {
      EXPECT_EQ(thread.schedulingPolicy(), SCHED_FIFO);
      EXPECT_EQ(thread.schedulingPriority(), priority);
    } else {
      EXPECT_EQ(thread.schedulingPolicy(), SCHED_OTHER);
    }
  };
  expectScheduling(*vorel_device::test_hooks::adaptiveThread(*device), c.force_control);
  ASSERT_TRUE(vorel_test::pollUntil(
      [&] { return vorel_device::test_hooks::sensorComm(*device)->schedulingPolicy() != -1; }));
  expectScheduling(*vorel_device::test_hooks::sensorComm(*device), c.reader);
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, DevicePriorityTest,
    ::testing::Values(PriorityCase{"", true, 0, 0}, PriorityCase{"0", true, 0, 0},
                      PriorityCase{"40", true, 40, 39}, PriorityCase{"99", false, 0, 0},
                      PriorityCase{"-1", false, 0, 0}, PriorityCase{"40.5", false, 0, 0},
                      PriorityCase{"forty", false, 0, 0}));

// --- A port that cannot be opened or configured ---------------------------------

struct BadPortCase {
  const char* path;
  const char* why;
};

class DeviceBadPortTest : public DeviceLifecycleTest,
                          public ::testing::WithParamInterface<BadPortCase> {};

TEST_P(DeviceBadPortTest, Activate_PortUnusable_FailsWithItsErrorAndLeavesNothingRunning) {
  const BadPortCase& c = GetParam();
  makeDevice(activationXml(c.path, "500") + mountingXml());
  testing::internal::CaptureStdout();  // the serial set-up's own errors
  const VorelFTSensor::Result result = device->onActivate(*device->activationParams());
  testing::internal::GetCapturedStdout();

  const std::string why = std::string("the sensor port ") + c.path + " " + c.why;
  EXPECT_EQ(result.kind(), VorelFTSensor::Result::kError);
  EXPECT_EQ(result.code(), -1);
  EXPECT_EQ(result.message(), "Activation failed: " + why + ".");
  EXPECT_EQ(console.lines().back(),
            "[ERROR] onActivate: " + why + "; the device is not activated, nothing runs");
  EXPECT_FALSE(vorel_device::test_hooks::sensorComm(*device));
  EXPECT_FALSE(vorel_device::test_hooks::adaptiveThread(*device));
  EXPECT_EQ(vorel_device::test_hooks::portFd(*device), -1);
  // No segment is left for a binding device to steer.
  EXPECT_FALSE(ss::currentIdentity().exists());
  EXPECT_THROW(device->onBind(), boost::interprocess::interprocess_exception);
}

INSTANTIATE_TEST_SUITE_P(
    Ports, DeviceBadPortTest,
    ::testing::Values(BadPortCase{"/nonexistent/vorel-tty",
                                  "cannot be opened: No such file or directory (errno 2)"},
                      BadPortCase{
                          "/dev/null",
                          "cannot be configured as a serial port: Inappropriate ioctl for device "
                          "(errno 25)"}));

// --- Activation without a sensor, and a late force-control thread ---------

TEST_F(DeviceLifecycleTest, Activate_ForceControlThreadLate_ReturnsFailedToStart) {
  makeDevice(activationXml(silentPortPath(), "500"));
  // The force-control thread's first act is its start line on standard
  // output. Holding the stream's lock on this thread keeps it from reaching
  // its loop within its 100 ms; everything printed on this thread passes (the
  // lock is recursive), and the reader prints nothing without a port.
  testing::internal::CaptureStdout();
  flockfile(stdout);
  const VorelFTSensor::Result result = device->onActivate(*device->activationParams());
  funlockfile(stdout);

  EXPECT_EQ(result.kind(), VorelFTSensor::Result::kError);
  EXPECT_EQ(result.code(), -1);
  EXPECT_EQ(result.message(), "Failed to start the adaptive thread.");
  // The reader runs either way, and the late thread reaches its loop once
  // it can print.
  EXPECT_TRUE(vorel_device::test_hooks::sensorComm(*device)->isRunning());
  auto adaptive = vorel_device::test_hooks::adaptiveThread(*device);
  ASSERT_TRUE(adaptive);
  ASSERT_TRUE(vorel_test::pollUntil([&] { return adaptive->isRunning(); }));
  ASSERT_TRUE(controller->runCycles(1));
  const std::string printed = testing::internal::GetCapturedStdout();
  EXPECT_NE(printed.find("Start the adaptive thread instance.\n"), std::string::npos);
}

// --- Binding ------------------------------------------------------------------

TEST_F(DeviceLifecycleTest, Bind_WithoutActivationParams_LogsErrorAndCreatesNoFacade) {
  makeDevice(mountingXml());

  EXPECT_EQ(device->onBind(), -1);

  EXPECT_FALSE(vorel_device::test_hooks::secondaryInstance(*device));
  EXPECT_EQ(console.lines().back(), "[ERROR] [PLUX/sample] Activation params are not available");
  // The handlers are registered all the same.
  auto& bus = controller.program()->signalBus();
  ASSERT_TRUE(bus.findStream<hx4_signal::ProgramTerminated>());
  EXPECT_EQ(bus.findStream<hx4_signal::ProgramTerminated>()->callbackCount(), 1u);
  ASSERT_TRUE(bus.findStream<hx4_signal::Alarm>());
  EXPECT_EQ(bus.findStream<hx4_signal::Alarm>()->callbackCount(), 1u);
}

TEST_F(DeviceLifecycleTest, Bind_WithoutMountingParams_ReturnsMinusOneWithFacadeRunning) {
  vorel_device::VorelForceTorqueSensorComm reader(5);  // creates the segment
  makeDevice(activationXml("/dev/null", "500"));

  EXPECT_EQ(device->onBind(), -1);

  auto facade = vorel_device::test_hooks::secondaryInstance(*device);
  ASSERT_TRUE(facade);
  EXPECT_TRUE(facade->isRunning());
  EXPECT_EQ(console.lines().back(), "[ERROR] [PLUX/sample] Mounting params are not available");
  // No sensor pose was handed on.
  SegmentView view;
  EXPECT_FALSE(view.read<hx4rc_api::Frame>(ss::kSensorToTfcTransform).isFinite());
  retire(*device, controller);
}

TEST_F(DeviceLifecycleTest, Bind_AgainAfterUnbind_AddsNoSecondCallbackAndRestartsFacade) {
  vorel_device::VorelForceTorqueSensorComm reader(5);
  makeDevice(activationXml("/dev/null", "500") + mountingXml());
  ASSERT_EQ(device->onBind(), 0);
  auto first = vorel_device::test_hooks::secondaryInstance(*device);

  EXPECT_EQ(device->onUnbind(), 0);
  EXPECT_FALSE(first->holdsThread());
  ASSERT_EQ(device->onBind(), 0);

  auto& bus = controller.program()->signalBus();
  EXPECT_EQ(bus.findStream<hx4_signal::ProgramTerminated>()->callbackCount(), 1u);
  EXPECT_EQ(bus.findStream<hx4_signal::Alarm>()->callbackCount(), 1u);
  auto second = vorel_device::test_hooks::secondaryInstance(*device);
  ASSERT_TRUE(second);
  EXPECT_NE(second, first);
  EXPECT_TRUE(second->isRunning());
  retire(*device, controller);
}

TEST_F(DeviceLifecycleTest, Bind_NoSegment_InterprocessErrorLeavesOnBind) {
  { vorel_device::VorelForceTorqueSensorComm reader(5); }  // removes both names on its way out
  makeDevice(activationXml("/dev/null", "500") + mountingXml());

  EXPECT_THROW(device->onBind(), boost::interprocess::interprocess_exception);
  EXPECT_FALSE(vorel_device::test_hooks::secondaryInstance(*device));
}

// --- Deactivation -----------------------------------------------------------

// No descriptor is closed, standard input (0) included.
TEST_F(DeviceLifecycleTest, Deactivate_BeforeActivate_ClosesNothing) {
  makeDevice(activationXml("/dev/null", "500"));

  EXPECT_TRUE(device->onDeactivate().ok());
  EXPECT_EQ(device->onDestroy(), 0);
  EXPECT_EQ(device->onUnbind(), 0);

  EXPECT_EQ(vorel_device::test_hooks::portFd(*device), -1);
  EXPECT_NE(fcntl(0, F_GETFD), -1);
}

// The hardware-ready handler activates on the signal's delivery thread while
// the host deactivates or unbinds on its own: the device lock makes them run
// one after the other (ThreadSanitizer checks that no worker, port or field
// is touched by two at once), and the device ends in a usable state.
TEST_F(DeviceLifecycleTest, HWReadyActivation_RacingHostOperations_RunOneAtATime) {
  makeDevice(activationXml(silentPortPath(), "500") + mountingXml());
  controller->setFreeRunning(true, std::chrono::microseconds(100));
  testing::internal::CaptureStdout();  // the sensor configuration's lines, every activation
  ASSERT_TRUE(device->onActivate(*device->activationParams()).ok());
  ASSERT_EQ(device->onBind(), 0);

  for (int i = 0; i < 1000; ++i) {
    std::thread delivery([&] { device->onHWReady(hx4_signal::HWReady{}); });
    if (i % 2 == 0) {
      device->onDeactivate();
    } else {
      device->onUnbind();
      device->onBind();
    }
    delivery.join();
  }

  ASSERT_TRUE(device->onActivate(*device->activationParams()).ok());
  testing::internal::GetCapturedStdout();
  EXPECT_TRUE(vorel_device::test_hooks::sensorComm(*device)->isRunning());
  EXPECT_TRUE(vorel_device::test_hooks::adaptiveThread(*device)->isRunning());
  // The facade works on the segment that exists now.
  EXPECT_EQ(vorel_device::test_hooks::secondaryInstance(*device)->segmentState(),
            vorel_device::VorelForceTorqueSensorSecondaryInstance::SegmentState::kCurrent);
  console.clear();
  ASSERT_TRUE(device->activateForceControl(true, false).ok());
  SegmentView view;
  EXPECT_TRUE(view.read<bool>(ss::kActivateTranslation));
  // No sensor on the port: once force control is on, the force-control
  // thread may report the silent sensor at any moment; nothing else is printed.
  for (const std::string& line : console.lines())
    EXPECT_EQ(line.rfind("[ERROR] Sensor stale", 0), 0u) << line;
}

}  // namespace
}  // namespace vorel_device_test
