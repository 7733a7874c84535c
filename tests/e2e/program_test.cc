// Robot programs from files: a syntax error stops everything before it
// starts, --duration ends a long program, every function runs, and --port
// drives the device against a pseudo-terminal that this test plays.
#include <gtest/gtest.h>

#include <chrono>

#include "sim/sensor/sensor_emulator.h"
#include "tests/e2e/vorel_sim_process.h"

namespace {

using vorel_e2e::ProcessResult;
using vorel_e2e::runVorelSim;
using vorel_e2e::summaryRow;
using vorel_e2e::TempDir;

TEST(VorelSim_SyntaxErrorOnLine3_IsRefusedBeforeAnythingMoves, NamingLine3) {
  TempDir dir;
  dir.write("bad.prog", "tareSensor\nwait 0.5\nmoveToContact 0 z -20 5 100 10\nwait 1\n");
  const ProcessResult r = runVorelSim({"--program", "bad.prog", "--trace", "t.csv"}, dir.path());
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_EQ(r.err,
            "vorel-sim: bad.prog: line 3: expected an integer for argument 2 of moveToContact "
            "(axis), found 'z'; moveToContact takes: referenceFrame, axis, speed, "
            "forceThreshold, maxDistance, retractDistance\n"
            "vorel-sim: the program was not run: nothing was started and nothing moved\n");
  // Nothing was loaded, started or written.
  EXPECT_EQ(r.out, "");
  EXPECT_FALSE(vorel_e2e::fileExists(dir.file("t.csv")));
}

TEST(VorelSim_DurationCap_EndsALongProgram, AsAProgramTermination) {
  TempDir dir;
  dir.write("long.prog", "tareSensor\nwait 60\nprint Tool\n");
  const ProcessResult r = runVorelSim({"--program", "long.prog", "--duration", "0.5"}, dir.path());
  ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("\n[host] --duration 0.5 s reached: terminating the robot program\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(summaryRow(r.out, "robot program").value, "stopped by --duration after 0.5 s (line 2)");
  EXPECT_EQ(r.out.find("line 3: print Tool"), std::string::npos);
}

TEST(VorelSim_EveryFunctionProgram_RunsToItsEnd, OneLinePerStatement) {
  TempDir dir;
  const ProcessResult r =
      runVorelSim({"--program", VOREL_SOURCE_DIR "/programs/every_function.prog"}, dir.path());
  ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
  EXPECT_EQ(summaryRow(r.out, "statements run").value, "46");
  for (const char* name : {"readForceRaw = (",
                           "readTorqueRaw = (",
                           "readForceSensorFrame = (",
                           "readTorqueSensorFrame = (",
                           "readForce = (",
                           "readTorque = (",
                           "readForceFiltered = (",
                           "readTorqueFiltered = (",
                           "resetForceRaw(",
                           "resetTorqueRaw(",
                           "resetForceSensorFrame(",
                           "resetTorqueSensorFrame(",
                           "tareSensor()",
                           "resetForce(",
                           "resetTorque(",
                           "setForceTrackValue(",
                           "setTorqueTrackValue(",
                           "moveToContact(",
                           "activateForceControl(",
                           "deactivateForceControl()",
                           "setEnabledAxes(",
                           "setForceControlGains(",
                           "setEnabledSystemFilters(",
                           "setSystemFilterParams(",
                           "resetFilters()",
                           "addFilter(",
                           "removeFilter(",
                           "readSensorHealth = age ",
                           "setForceControlLimits(",
                           "captureLoadSample()",
                           "identifyToolLoad = mass ",
                           "moveTo (0.4, 0, 0.05) m",
                           "print Position: TCP ("}) {
    EXPECT_NE(r.out.find(std::string(": ") + name), std::string::npos) << name;
  }
  EXPECT_EQ(r.out.find("[ERROR]"), std::string::npos) << r.out;
}

TEST(VorelSim_PortOnTheTestsPseudoTerminal_ReadsTheTestsWrench, AndConfiguresItsFilter) {
  // This test is the sensor: an emulator on its own pseudo-terminal, sending
  // a fixed wrench. vorel-sim opens the slave as a real serial port.
  vorel_sim::SensorEmulator sensor(7);
  vorel_device::Wrench wrench;
  const double values[6] = {1.5, -2.25, 3.0, 0.125, 0.0, -0.5};
  for (int i = 0; i < 6; ++i)
    wrench[i] = values[i];
  sensor.setWrench(wrench);
  ASSERT_TRUE(sensor.start());

  TempDir dir;
  dir.write("read.prog", "readForceRaw\nreadTorqueRaw\nprint Raw\n");
  const ProcessResult r = runVorelSim(
      {"--port", sensor.slavePath(), "--rate", "250", "--program", "read.prog"}, dir.path());
  sensor.stop();
  ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("[host] sensor on " + sensor.slavePath()), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(" line 1: readForceRaw = (1.500, -2.250, 3.000) N\n"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find(" line 2: readTorqueRaw = (0.125, 0.000, -0.500) N m\n"), std::string::npos);
  EXPECT_NE(r.out.find(" line 3: print Raw: force (1.500, -2.250, 3.000) N, torque (0.125, "
                       "0.000, -0.500) N m\n"),
            std::string::npos);
  // The device configured this line for 250 Hz before reading it.
  EXPECT_EQ(sensor.commandLog(), (std::vector<std::string>{"C", "f,172,0,0,1", "s", "R"}));
  EXPECT_EQ(sensor.rateHz(), 250.0);
}

}  // namespace
