// The built-in scenarios run by the built vorel-sim, end to end: the plug-in
// loaded with dlopen, the simulated controller's real 2 ms clock, the sensor
// emulator on a pseudo-terminal. Each test checks the scenario's outcome in
// its summary, and the exit status that CI relies on.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "tests/e2e/vorel_sim_process.h"

namespace {

using vorel_e2e::firstNumber;
using vorel_e2e::ProcessResult;
using vorel_e2e::runVorelSim;
using vorel_e2e::summaryRow;
using vorel_e2e::TempDir;

// The positions of `lines` in `out`, which must appear in this order.
void expectInOrder(const std::string& out, const std::vector<std::string>& lines) {
  std::size_t pos = 0;
  for (const auto& line : lines) {
    const auto found = out.find("\n" + line, pos);
    ASSERT_NE(found, std::string::npos) << "missing, or out of order: " << line << "\n" << out;
    pos = found + 1;
  }
}

std::vector<std::string> cells(const std::string& line) {
  std::vector<std::string> out;
  std::stringstream in(line);
  std::string cell;
  while (std::getline(in, cell, ','))
    out.push_back(cell);
  return out;
}

TEST(VorelSim_ContactScenario_FindsTheFloorAndBacksOff, ByDefault) {
  TempDir dir;
  const ProcessResult r = runVorelSim({}, dir.path());
  ASSERT_EQ(r.exit_status, 0) << r.out << r.err;

  // The whole lifecycle, in the host's order.
  expectInOrder(
      r.out, {"[host] onCreate -> 0", "[host] onMount -> success", "[host] publishing HWReady",
              "[INFO] Activating", "[host] activation finished", "[INFO] VorelFTSensor::onBind",
              "[host] onBind -> 0", "[host] running the robot program", "[program] t=",
              "[host] publishing ProgramTerminated", "[INFO] VorelFTSensor::onUnbind",
              "[host] onDeactivate -> success", "[host] onDestroy -> 0", "[host] device released",
              "[host] unloaded", "contact summary", "result: PASS"});

  EXPECT_EQ(summaryRow(r.out, "contact found").check, "ok");
  // The floor is at z = 0: contact within a few millimetres of it.
  const auto height = summaryRow(r.out, "TCP height above the floor at contact");
  ASSERT_TRUE(height.found) << r.out;
  EXPECT_LE(std::fabs(firstNumber(height.value)), 3.0) << height.value;
  // The program asks for a 10 mm retract.
  const auto retract = summaryRow(r.out, "retract after contact");
  EXPECT_NEAR(firstNumber(retract.value), 10.0, 1.0) << retract.value;
  EXPECT_EQ(summaryRow(r.out, "CRC errors seen by the reader").value, "0");
  EXPECT_EQ(summaryRow(r.out, "NaN or infinite offsets at the drive").value, "0");

  // The trace: one row per 2 ms controller cycle, none missing.
  const auto lines = vorel_e2e::readLines(dir.file("vorel-sim-contact.csv"));
  ASSERT_GT(lines.size(), 500u);
  EXPECT_EQ(cells(lines[0]).size(), 28u);
  EXPECT_EQ(cells(lines[0])[0], "time_s");
  double previous = std::stod(cells(lines[1])[0]);
  for (std::size_t i = 2; i < lines.size(); ++i) {
    const auto row = cells(lines[i]);
    ASSERT_EQ(row.size(), 28u) << lines[i];
    const double t = std::stod(row[0]);
    ASSERT_NEAR(t - previous, 0.002, 1e-6) << "row " << i;
    previous = t;
  }
  const auto trace = summaryRow(r.out, "trace");
  EXPECT_EQ(trace.value, "vorel-sim-contact.csv (" + std::to_string(lines.size() - 1) + " rows)");
}

TEST(VorelSim_HoldScenario_SettlesOnTheTargetForce, WithinTolerance) {
  TempDir dir;
  const ProcessResult r = runVorelSim({"--scenario", "hold", "--trace", "hold.csv"}, dir.path());
  ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
  EXPECT_EQ(summaryRow(r.out, "target force fz (TCP)").value, "-10.00 N");
  const auto settling = summaryRow(r.out, "settling time (filtered fz)");
  EXPECT_EQ(settling.check, "ok") << r.out;
  EXPECT_GT(firstNumber(settling.value), 0.0);
  const auto mean = summaryRow(r.out, "steady-state mean, last 1.0 s");
  ASSERT_TRUE(mean.found) << r.out;
  EXPECT_NEAR(firstNumber(mean.value), -10.0, 0.5);
  EXPECT_LT(firstNumber(summaryRow(r.out, "steady-state spread (std dev)").value), 0.5);
  EXPECT_TRUE(vorel_e2e::fileExists(dir.file("hold.csv")));
}

TEST(VorelSim_FiltersScenario_NotchAndLowPassCutTheNoise, ToAThirdOrLess) {
  TempDir dir;
  const ProcessResult r = runVorelSim({"--scenario", "filters"}, dir.path());
  ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
  const auto before = summaryRow(r.out, "fz noise, window 1: no filter");
  ASSERT_TRUE(before.found) << r.out;
  const auto after = summaryRow(r.out, "fz noise, window 5: hum + smooth");
  ASSERT_TRUE(after.found) << r.out;
  EXPECT_LE(firstNumber(after.value), firstNumber(before.value) / 3.0);
  EXPECT_EQ(summaryRow(r.out, "noise reduction, first to last window").check, "ok");
}

TEST(VorelSim_IdentifyScenario_FindsTheTrueToolAndZeroesTheToolFrame, WithNoise) {
  TempDir dir;
  const ProcessResult r = runVorelSim({"--scenario", "identify"}, dir.path());
  ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
  for (const char* row :
       {"identified mass", "identified centre of gravity",
        "applied sensor bias, tool frame (force)", "applied sensor bias, tool frame (torque)",
        "tool-frame force after identification, every orientation"}) {
    EXPECT_EQ(summaryRow(r.out, row).check, "ok") << row << "\n" << r.out;
  }
  EXPECT_NEAR(firstNumber(summaryRow(r.out, "identified mass").value), 1.25, 0.0125);
  // Before, the configuration's tool and the sensor's bias show as several N.
  const std::string listed =
      summaryRow(r.out, "tool-frame force without contact, before -> after").value;
  EXPECT_GT(firstNumber(listed.substr(listed.find(": ") + 2)), 2.0) << listed;
  // The configuration element to paste, with the identified mass.
  const std::string element = "<arg type=\"load\"><mass>";
  const std::size_t at = r.out.find(element);
  ASSERT_NE(at, std::string::npos) << r.out;
  EXPECT_NEAR(firstNumber(r.out.substr(at + element.size())), 1.25, 0.0125);
}

TEST(VorelSim_FaultsScenario_RecoversAndSendsNoNaN, DuringForceControl) {
  TempDir dir;
  const ProcessResult r = runVorelSim({"--scenario", "faults"}, dir.path());
  ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
  EXPECT_EQ(summaryRow(r.out, "fault plan applied").value, "5 of 5 steps");
  EXPECT_GE(firstNumber(summaryRow(r.out, "wrong CRCs reported by the reader").value), 1.0);
  EXPECT_NE(r.out.find("\nNo valid frame: "), std::string::npos);
  EXPECT_NE(r.out.find("\nlost sync, trying to reconnect"), std::string::npos);
  EXPECT_EQ(summaryRow(r.out, "frames found again after the faults").check, "ok");
  EXPECT_EQ(summaryRow(r.out, "NaN or infinite offsets at the drive").value, "0");
  EXPECT_NEAR(firstNumber(summaryRow(r.out, "force at the end (filtered fz, last 0.5 s)").value),
              -10.0, 0.5);
}

TEST(VorelSim_TwoProcesses_ActivateHereBindThere, ContactStillFound) {
  TempDir dir;
  const ProcessResult r = runVorelSim({"--processes", "2"}, dir.path());
  ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
  // The activation's console lines come from the second process.
  EXPECT_NE(r.out.find("\n[activator] [INFO] Activating\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\n[activator] Start the adaptive thread instance.\n"), std::string::npos);
  EXPECT_EQ(r.out.find("\n[INFO] Activating\n"), std::string::npos);
  const auto at = r.out.find("[host] the device in process ");
  ASSERT_NE(at, std::string::npos);
  int child = 0, parent = 0;
  ASSERT_EQ(std::sscanf(r.out.c_str() + at,
                        "[host] the device in process %d is active; binding here in process %d",
                        &child, &parent),
            2);
  EXPECT_NE(child, parent);
  EXPECT_NE(r.out.find("\n[INFO] VorelFTSensor::onBind\n"), std::string::npos);
  EXPECT_NE(r.out.find("[host] the activating process ended with status 0"), std::string::npos);
  EXPECT_EQ(summaryRow(r.out, "contact found").check, "ok");
  EXPECT_NEAR(firstNumber(summaryRow(r.out, "retract after contact").value), 10.0, 1.0);
}

}  // namespace
