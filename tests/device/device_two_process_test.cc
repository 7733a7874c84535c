// The activating and the binding device in two real processes of the host.
// This process activates its device: it creates the shared segment and runs
// the reader on the sensor emulator and the force-control thread on the
// stepping controller double. The peer process (device_program_peer) binds
// its own device to that segment and runs robot-program functions that steer
// this process's force control, also after this process re-activates (a new
// segment, which the peer re-opens).
#include <gtest/gtest.h>

#include <boost/make_shared.hpp>
#include <cstdio>
#include <sstream>

#include "adaptive/adaptive_thread.h"
#include "sim/sensor/sensor_emulator.h"
#include "tests/device/device_fixture.h"
#include "tests/support/console_capture.h"
#include "tests/support/peer_process.h"
#include "tests/support/poll_until.h"

namespace vorel_device_test {
namespace {

namespace ss = vorel_device::shared_segment;
using hx4rc_api::Model;

// The peer's side of the conversation: one statement in, its reply out;
// the device's console lines met on the way are kept.
class ProgramPeer {
 public:
  std::string call(const std::string& statement) {
    if (!process_.writeLine(statement))
      return "write failed";
    while (const auto line = process_.readLine()) {
      if (line->rfind("console ", 0) == 0)
        console_.push_back(line->substr(8));
      else if (line->rfind("ok", 0) == 0 || line->rfind("error", 0) == 0)
        return *line;
    }
    return "no reply";
  }
  Vec3 vector(const std::string& statement) {
    std::istringstream in(call(statement));
    std::string ok;
    Vec3 v{};
    in >> ok >> v[0] >> v[1] >> v[2];
    EXPECT_EQ(ok, "ok") << statement;
    return v;
  }

  vorel_test::PeerProcess process_{{VOREL_DEVICE_PROGRAM_PEER}};
  std::vector<std::string> console_;
};

TEST(DeviceTwoProcessTest, PeerProcessFunctions_SteerThisProcessForceControl) {
  vorel_test::ConsoleCapture console;
  vorel_test::InstalledController controller;
  controller->setFrame(Model::SysId::FRAME_ROBOTX_TCP, Model::SysId::FRAME_ROBOT_FLANGE,
                       hx4rc_api::Frame(hx4rc_api::Rotation(), hx4rc_api::Vector(0, 0, 0.135)));
  vorel_sim::SensorEmulator emulator;
  vorel_device::Wrench raw;
  raw[0] = -3.0;  // N along sensor x = flange y
  raw[2] = 4.0;   // N along sensor z
  emulator.setWrench(raw);
  ASSERT_TRUE(emulator.start());
  // Activation parameters only: this process's device is never bound.
  auto device = boost::make_shared<VorelFTSensor>(
      controller.program(), deviceConfig(activationXml(emulator.slavePath(), "500")));
  ASSERT_TRUE(device->onActivate(*device->activationParams()).ok());
  auto adaptive = device->adaptiveThread();

  ProgramPeer peer;
  ASSERT_TRUE(peer.process_.started());
  ASSERT_EQ(peer.call("bind"), "ok 0");
  EXPECT_EQ(peer.console_, (std::vector<std::string>{"[INFO] VorelFTSensor::onBind",
                                                     "[INFO] onBind: device_address = /dev/null"}));

  // The peer's bind stored the sensor pose; with it this process's force
  // control turns the sensor's (-3, 0, 4) N into the tool frame: +90 degrees
  // about z gives (0, -3, 4), plus the default 1 kg tool's 9.81 N along z.
  SegmentView view;
  ASSERT_TRUE(vorel_test::pollUntil([&] {
    const vorel_device::RxFrame frame = view.read<vorel_device::RxFrame>(ss::kFrame);
    const float fz = frame.ft_data[2];
    return fz == 4.0f;
  }));
  ASSERT_TRUE(controller->runCycles(2));
  const Vec3 force = peer.vector("readForce");
  EXPECT_NEAR(force[0], 0.0, 1e-9);
  EXPECT_NEAR(force[1], -3.0, 1e-9);
  EXPECT_NEAR(force[2], 13.81, 1e-9);

  // Bias to read (0, 0, -10) N, force control on z: -1e-4 m per cycle.
  ASSERT_EQ(peer.call("resetForce 0 0 -10"), "ok");
  ASSERT_EQ(peer.call("setEnabledAxes false false true false false false"), "ok");
  ASSERT_EQ(peer.call("activateForceControl true false"), "ok");
  controller->clearRecords();
  // The first cycle still works on the snapshot taken before the commands.
  ASSERT_TRUE(controller->runCycles(4));
  auto commands = controller->driveCommands();
  ASSERT_EQ(commands.size(), 3u);
  for (std::size_t k = 0; k < commands.size(); ++k) {
    EXPECT_NEAR(commands[k].command.referenceOffset().frame.position.z(),
                -1e-4 * static_cast<double>(k + 1), 1e-12);
    EXPECT_NEAR(commands[k].command.referenceOffset().frame.position.y(), 0.0, 1e-15);
  }

  // The peer reads this process's health figures from the segment: usable
  // samples, supervisor ok, a clean line.
  const vorel_device::SensorHealth here = view.read<vorel_device::SensorHealth>(ss::kSensorHealth);
  std::istringstream health(peer.call("readSensorHealth"));
  std::string ok;
  double rows[6];
  health >> ok >> rows[0] >> rows[1] >> rows[2] >> rows[3] >> rows[4] >> rows[5];
  ASSERT_EQ(ok, "ok");
  EXPECT_EQ(rows[0], here.last_usable_age);
  EXPECT_GE(rows[0], 0.0);
  EXPECT_EQ(rows[1], here.usable_samples_per_second);
  EXPECT_EQ(rows[2], 0.0);  // CRC errors
  EXPECT_EQ(rows[4], 0.0);  // status bits
  EXPECT_EQ(rows[5], 0.0);  // supervisor ok

  // A filter requested there runs here: 0.1 N per cycle from rest.
  ASSERT_EQ(peer.call("addFilter ramp 3 0 0 0 50 -50"), "ok");
  ASSERT_TRUE(controller->runCycles(2));
  EXPECT_EQ(adaptive->getFilterChain().order(), std::vector<std::string>{"ramp"});
  const Vec3 filtered = peer.vector("readForceFiltered");
  EXPECT_NEAR(filtered[2], -0.1, 1e-12);

  // This process re-activates its device, as a second hardware-ready does:
  // a new segment and a new force-control thread. The peer's next function
  // finds the new segment and re-opens it, with one INFO line; from then on
  // its functions steer the new force-control thread.
  controller->setFreeRunning(true);  // the running thread leaves its cycle
  ASSERT_TRUE(device->onActivate(*device->activationParams()).ok());
  controller->setFreeRunning(false);
  adaptive = device->adaptiveThread();
  SegmentView renewed;
  ASSERT_TRUE(vorel_test::pollUntil([&] {
    const vorel_device::RxFrame frame = renewed.read<vorel_device::RxFrame>(ss::kFrame);
    const float fz = frame.ft_data[2];
    return fz == 4.0f;
  }));
  ASSERT_TRUE(controller->runCycles(2));
  const std::size_t lines_before = peer.console_.size();
  ASSERT_EQ(peer.call("readSensorHealth").substr(0, 2), "ok");
  EXPECT_EQ(std::vector<std::string>(peer.console_.begin() + lines_before, peer.console_.end()),
            (std::vector<std::string>{"[INFO] readSensorHealth: the shared segment was re-created "
                                      "by a new activation; the command facade now uses the new "
                                      "one"}));
  // The re-opened facade gave the new segment the sensor pose; its bias
  // starts at zero.
  ASSERT_TRUE(controller->runCycles(2));
  const Vec3 fresh = peer.vector("readForce");
  EXPECT_NEAR(fresh[1], -3.0, 1e-9);
  EXPECT_NEAR(fresh[2], 13.81, 1e-9);
  ASSERT_EQ(peer.call("resetForce 0 0 -10"), "ok");
  ASSERT_EQ(peer.call("setEnabledAxes false false true false false false"), "ok");
  ASSERT_EQ(peer.call("activateForceControl true false"), "ok");
  EXPECT_EQ(peer.console_.size(), lines_before + 1)  // re-opened once
      << peer.console_.back();
  controller->clearRecords();
  ASSERT_TRUE(controller->runCycles(4));
  commands = controller->driveCommands();
  ASSERT_EQ(commands.size(), 3u);
  for (std::size_t k = 0; k < commands.size(); ++k) {
    EXPECT_NEAR(commands[k].command.referenceOffset().frame.position.z(),
                -1e-4 * static_cast<double>(k + 1), 1e-12);
  }

  // The peer's program ends: filters removed, force control off with one
  // zero offset.
  ASSERT_EQ(peer.call("terminate"), "ok");
  controller->clearRecords();
  ASSERT_TRUE(controller->runCycles(2));
  commands = controller->driveCommands();
  ASSERT_FALSE(commands.empty());
  EXPECT_EQ(commands.back().command.referenceOffset().frame.position,
            hx4rc_api::Vector(0.0, 0.0, 0.0));
  EXPECT_TRUE(adaptive->getFilterChain().empty());
  ASSERT_TRUE(controller->runCycles(2));
  EXPECT_EQ(controller->driveCommandCount(), commands.size());

  EXPECT_EQ(peer.call("quit"), "ok");
  const vorel_test::PeerExit exit = peer.process_.finish();
  EXPECT_TRUE(exit.exited);
  EXPECT_EQ(exit.status, 0);
  EXPECT_EQ(peer.console_.back(), "[INFO] VorelFTSensor::onUnbind");

  controller->setFreeRunning(true);
  EXPECT_TRUE(device->onDeactivate().ok());
  EXPECT_EQ(device->onDestroy(), 0);
}

}  // namespace
}  // namespace vorel_device_test
