// vorel-sim driving the device against a pseudo-terminal that this test
// plays.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/sensor/sensor_emulator.h"
#include "tests/e2e/vorel_sim_process.h"

namespace {

using vorel_e2e::TempDir;

TEST(VorelSimPort, Port_TestsPseudoTerminal_ItsWrenchReadAfterItsFilterIsSet) {
  // This test is the sensor: vorel-sim opens the emulator's slave as a real
  // serial port.
  vorel_sim::SensorEmulator sensor(7);
  sensor.setWrench({{1.5, -2.25, 3.0, 0.125, 0.0, -0.5}});  // N, N m
  ASSERT_TRUE(sensor.start());
  TempDir dir;
  dir.write("read.prog", "readForceRaw\nreadTorqueRaw\nprint Raw\n");
  const auto r = vorel_e2e::runVorelSim(
      {"--port", sensor.slavePath(), "--rate", "250", "--program", "read.prog"}, dir);
  sensor.stop();
  ASSERT_EQ(r.exit.status, 0) << r.out << r.err;
  for (const char* line : {" line 1: readForceRaw = (1.500, -2.250, 3.000) N\n",
                           " line 2: readTorqueRaw = (0.125, 0.000, -0.500) N m\n",
                           " line 3: print Raw: force (1.500, -2.250, 3.000) N, torque (0.125, "
                           "0.000, -0.500) N m\n"}) {
    EXPECT_NE(r.out.find(line), std::string::npos) << line << r.out;
  }
  // The device configured the line for 250 Hz before reading it.
  EXPECT_EQ(sensor.commandLog(), (std::vector<std::string>{"C", "f,172,0,0,1", "s", "R"}));
  EXPECT_EQ(sensor.rateHz(), 250.0);
}

}  // namespace
