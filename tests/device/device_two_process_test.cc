// The activating and the binding device in two real processes of the host.
// This process activates its device: it creates the shared segment and runs
// the reader on the sensor emulator and the force-control thread on the
// stepping controller double. The peer process (device_program_peer) binds
// its own device to that segment and runs robot-program functions that steer
// this process's force control, also after this process re-activates (a new
// segment, which the peer re-opens).
#include <gtest/gtest.h>

#include <signal.h>

#include <boost/make_shared.hpp>
#include <nlohmann/json.hpp>
#include <sstream>

#include "adaptive/force_control_thread.h"
#include "device/test_hooks.h"
#include "tests/device/emulated_device_fixture.h"
#include "tests/support/peer_process.h"

namespace vorel_device_test {
namespace {

namespace ss = vorel_device::shared_segment;

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
  // The values a statement read.
  std::vector<double> values(const std::string& statement) {
    std::istringstream in(call(statement));
    std::string ok;
    in >> ok;
    EXPECT_EQ(ok, "ok") << statement;
    std::vector<double> v;
    for (double x; in >> x;)
      v.push_back(x);
    return v;
  }

  vorel_test::PeerProcess process_{{VOREL_DEVICE_PROGRAM_PEER}};
  std::vector<std::string> console_;
};

using DeviceTwoProcessTest = EmulatedDeviceTest;

TEST_F(DeviceTwoProcessTest, PeerFunctions_SecondProcess_SteerThisProcessForceControl) {
  tcpAboveFlange();
  // N along sensor x (= flange y) and z.
  emulator.setWrench(wrenchOf(-3.0, 0.0, 4.0, 0.0, 0.0, 0.0));
  ASSERT_NO_FATAL_FAILURE(startSensor());
  // This process's device is activated, never bound.
  ASSERT_TRUE(device->onActivate(*device->activationParams()).ok());
  auto adaptive = vorel_device::test_hooks::adaptiveThread(*device);

  ProgramPeer peer;
  ASSERT_TRUE(peer.process_.started());
  ASSERT_EQ(peer.call("bind"), "ok 0");
  ASSERT_EQ(peer.console_.size(), 2u);
  EXPECT_EQ(peer.console_[0], "[INFO] VorelFTSensor::onBind");
  EXPECT_EQ(peer.console_[1].rfind("[INFO] onBind: device_address = /dev/pts/", 0), 0u);

  // The peer's bind stored the sensor pose; with it this process's force
  // control turns the sensor's (-3, 0, 4) N into the tool frame: +90 degrees
  // about z gives (0, -3, 4), plus the default 1 kg tool's 9.81 N along z.
  ASSERT_TRUE(awaitFrameFz(4.0f));
  ASSERT_TRUE(controller->runCycles(2));
  const std::vector<double> force = peer.values("readForce");
  ASSERT_EQ(force.size(), 3u);
  EXPECT_NEAR(force[0], 0.0, 1e-9);
  EXPECT_NEAR(force[1], -3.0, 1e-9);
  EXPECT_NEAR(force[2], 13.81, 1e-9);

  // Bias to read (0, 0, -10) N, force control on z: -1e-4 m per cycle.
  ASSERT_EQ(peer.call("resetForce 0 0 -10"), "ok");
  ASSERT_EQ(peer.call("setEnabledAxes false false true false false false"), "ok");
  // A cycle just before, so that the peer finds force control running.
  ASSERT_TRUE(controller->runCycles(1));
  ASSERT_EQ(peer.call("activateForceControl true false"), "ok");
  controller->clearRecords();
  // Each cycle takes the commands written before it.
  ASSERT_TRUE(controller->runCycles(3));
  auto commands = controller->driveCommands();
  ASSERT_EQ(commands.size(), 3u);
  for (std::size_t k = 0; k < commands.size(); ++k) {
    EXPECT_NEAR(commands[k].command.referenceOffset().frame.position.z(),
                -1e-4 * static_cast<double>(k + 1), 1e-12);
    EXPECT_NEAR(commands[k].command.referenceOffset().frame.position.y(), 0.0, 1e-15);
  }

  // The peer reads this process's health figures from the segment: usable
  // samples, supervisor ok, a clean line.
  const vorel_device::SensorHealth here =
      SegmentView().read<vorel_device::SensorHealth>(ss::kSensorHealth);
  const std::vector<double> rows = peer.values("readSensorHealth");
  ASSERT_EQ(rows.size(), 7u);
  EXPECT_EQ(rows[0], here.last_usable_age);
  EXPECT_GE(rows[0], 0.0);
  EXPECT_EQ(rows[1], here.usable_samples_per_second);
  EXPECT_EQ(rows[2], 0.0);  // CRC errors
  EXPECT_EQ(rows[4], 0.0);  // status bits
  EXPECT_EQ(rows[5], 0.0);  // supervisor ok

  // A filter requested there runs here: 0.1 N per cycle from rest.
  ASSERT_TRUE(controller->runCycles(1));
  ASSERT_EQ(peer.call("addFilter ramp 3 0 0 0 50 -50"), "ok");
  ASSERT_TRUE(controller->runCycles(1));
  EXPECT_EQ(adaptive->getFilterChain().order(), std::vector<std::string>{"ramp"});
  EXPECT_NEAR(peer.values("readForceFiltered").at(2), -0.1, 1e-12);

  // This process re-activates its device, as a second hardware-ready does:
  // a new segment and a new force-control thread. The peer's next function
  // finds the new segment and re-opens it, with one INFO line; from then on
  // its functions steer the new force-control thread.
  controller->setFreeRunning(true);  // the running thread leaves its cycle
  ASSERT_TRUE(device->onActivate(*device->activationParams()).ok());
  controller->setFreeRunning(false);
  adaptive = vorel_device::test_hooks::adaptiveThread(*device);
  ASSERT_TRUE(awaitFrameFz(4.0f));
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
  const std::vector<double> fresh = peer.values("readForce");
  ASSERT_EQ(fresh.size(), 3u);
  EXPECT_NEAR(fresh[1], -3.0, 1e-9);
  EXPECT_NEAR(fresh[2], 13.81, 1e-9);
  ASSERT_EQ(peer.call("resetForce 0 0 -10"), "ok");
  ASSERT_EQ(peer.call("setEnabledAxes false false true false false false"), "ok");
  ASSERT_TRUE(controller->runCycles(1));
  ASSERT_EQ(peer.call("activateForceControl true false"), "ok");
  EXPECT_EQ(peer.console_.size(), lines_before + 1)  // re-opened once
      << peer.console_.back();
  controller->clearRecords();
  ASSERT_TRUE(controller->runCycles(3));
  commands = controller->driveCommands();
  ASSERT_EQ(commands.size(), 3u);
  for (std::size_t k = 0; k < commands.size(); ++k) {
    EXPECT_NEAR(commands[k].command.referenceOffset().frame.position.z(),
                -1e-4 * static_cast<double>(k + 1), 1e-12);
  }

  // The peer's program ends: filters removed, force control off, the offset
  // back to zero.
  ASSERT_TRUE(controller->runCycles(1));
  ASSERT_EQ(peer.call("terminate"), "ok");
  controller->clearRecords();
  for (int k = 0; k < 1000 && (k < 2 || adaptive->wasActive()); ++k)
    ASSERT_TRUE(controller->runCycles(1));
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

// vorel-monitor's snapshot, taken while the controller stands between two
// cycles, holds what the readouts of this (activating and bound) process and
// of the binding peer give: every stage's force and torque, the health
// figures (force control counts as not running when the ring stands, as in
// the readout), and the offset and TCP the controller has.
TEST_F(DeviceTwoProcessTest, MonitorSnapshot_BothProcessesBound_WhatTheirReadoutsGive) {
  tcpAboveFlange();
  emulator.setWrench(wrenchOf(-3.0, 0.0, 4.0, 0.25, -0.5, 0.125));
  ASSERT_NO_FATAL_FAILURE(startSensor());
  ASSERT_NO_FATAL_FAILURE(activateAndBind());
  ProgramPeer peer;
  ASSERT_EQ(peer.call("bind"), "ok 0");
  ASSERT_TRUE(awaitFrameFz(4.0f));
  ASSERT_TRUE(controller->runCycles(2));
  ASSERT_EQ(peer.call("addFilter smooth lowpass 0 0 20 0 0"), "ok");
  ASSERT_EQ(peer.call("setEnabledAxes false false true false false false"), "ok");
  ASSERT_EQ(peer.call("activateForceControl true false"), "ok");
  ASSERT_TRUE(controller->runCycles(6));
  // Until the readout, too, sees the controller standing.
  Array health(6, 1);
  ASSERT_TRUE(vorel_test::pollUntil([&] {
    device->readSensorHealth(health);
    return health.item(5, 0).d(true) == 3.0;
  }));

  const vorel_test::PeerRun run = vorel_test::runPeer({VOREL_MONITOR, "--once", "--json"});
  ASSERT_EQ(run.exit.status, 0) << run.err;
  const nlohmann::json snapshot = nlohmann::json::parse(run.out);
  const nlohmann::json& wrench = snapshot["wrench"];
  struct Stage {
    const char* stage;
    const char* part;
    VorelFTSensor::Result (VorelFTSensor::*read)(Array&);
    const char* statement;
  };
  const Stage stages[] = {
      {"raw", "force_N", &VorelFTSensor::readForceRaw, "readForceRaw"},
      {"raw", "torque_Nm", &VorelFTSensor::readTorqueRaw, "readTorqueRaw"},
      {"gravity_compensated", "force_N", &VorelFTSensor::readForceSensorFrame,
       "readForceSensorFrame"},
      {"gravity_compensated", "torque_Nm", &VorelFTSensor::readTorqueSensorFrame,
       "readTorqueSensorFrame"},
      {"tool", "force_N", &VorelFTSensor::readForce, "readForce"},
      {"tool", "torque_Nm", &VorelFTSensor::readTorque, "readTorque"},
      {"filtered", "force_N", &VorelFTSensor::readForceFiltered, "readForceFiltered"},
      {"filtered", "torque_Nm", &VorelFTSensor::readTorqueFiltered, "readTorqueFiltered"}};
  for (const Stage& s : stages) {
    const std::vector<double> shown = wrench[s.stage][s.part].get<std::vector<double>>();
    const Vec3 here = readWith(*device, s.read);
    EXPECT_EQ(shown, std::vector<double>(here.begin(), here.end())) << s.statement;
    EXPECT_EQ(shown, peer.values(s.statement)) << s.statement;
  }
  EXPECT_NE(wrench["filtered"]["force_N"][2], wrench["tool"]["force_N"][2]);  // filtered indeed

  ASSERT_TRUE(device->readSensorHealth(health).ok());
  const std::vector<double> there = peer.values("readSensorHealth");
  const nlohmann::json& h = snapshot["health"];
  const double shown[] = {h["usable_samples_per_second"], h["crc_errors"], h["lost_sync_events"],
                          h["last_status"], snapshot["supervisor"]["state_code"]};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(shown[i], health.item(i + 1, 0).d(true)) << "health row " << i + 1;
    EXPECT_EQ(shown[i], there.at(i + 1)) << "health row " << i + 1;
  }
  EXPECT_EQ(snapshot["supervisor"]["state"], "not running");
  EXPECT_EQ(snapshot["force_control"]["state"], "active");
  const hx4rc_api::Vector sent =
      controller->driveCommands().back().command.referenceOffset().frame.position;
  EXPECT_EQ(snapshot["offset"]["translation_m"].get<std::vector<double>>(),
            (std::vector<double>{sent.x(), sent.y(), sent.z()}));
  EXPECT_NE(sent.z(), 0.0);
  EXPECT_EQ(snapshot["tcp_position_m"].get<std::vector<double>>(),
            (std::vector<double>{0.0, 0.0, 0.135}));
  EXPECT_EQ(peer.call("quit"), "ok");
}

// The peer process activates (a force-control thread without a sensor) and
// dies by SIGKILL; this process, bound to its segment, must find out.
TEST(DeviceTwoProcessKillTest, ForceControl_ActivatingProcessKilled_SeenNotRunningHere) {
  vorel_test::ConsoleCapture console;
  vorel_test::InstalledController controller;
  ProgramPeer peer;
  ASSERT_EQ(peer.call("activate"), "ok");
  auto device = boost::make_shared<VorelFTSensor>(
      controller.program(), deviceConfig(activationXml("/dev/null", "500") + mountingXml()));
  ASSERT_EQ(device->onBind(), 0);
  controller->setFreeRunning(true, std::chrono::microseconds(2000));
  Array health(6, 1);
  ASSERT_TRUE(device->readSensorHealth(health).ok());
  EXPECT_NE(health.item(5, 0).d(true), 3.0);  // running: no sample yet, or stale

  ASSERT_EQ(::kill(peer.process_.pid(), SIGKILL), 0);
  EXPECT_EQ(peer.process_.finish().signal, SIGKILL);
  // Killed while it held the named mutex (a few microseconds per cycle):
  // that case is the dead holder's, tested on its own.
  if (vorel_test::mutexCount() == 0) {
    retire(*device, controller);
    GTEST_SKIP() << "the peer died holding VorelNamedMutex";
  }
  expectForceControlNotRunning(*device, controller, console);
  retire(*device, controller);
}

}  // namespace
}  // namespace vorel_device_test
