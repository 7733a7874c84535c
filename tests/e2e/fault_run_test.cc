// Fault runs: the hold program (force control pressing 10 N onto the floor
// for 3 s) while the sensor line misbehaves, by vorel-sim's --fault. Each
// run must end without a crash and without a NaN or refused offset at the
// drive; the reader must report what it saw ("No valid frame: N", "lost
// sync, trying to reconnect"); and force control must come back to its
// target once the line is clean, or, after a hang-up, hold its offset while
// the reader reports nothing, and wind down cleanly. The fail-safe runs
// (flagged and NaN frames, a dead holder of the named mutex, a signal storm,
// a host deactivation with force control on) must pass their summary checks.
#include <gtest/gtest.h>

#include <cmath>
#include <ostream>
#include <string>
#include <vector>

#include "tests/e2e/vorel_sim_process.h"

namespace {

using vorel_e2e::firstNumber;
using vorel_e2e::ProcessResult;
using vorel_e2e::summaryRow;
using vorel_e2e::TempDir;

// The fault runs judge the device's reaction, not the scheduling: the
// force-control thread runs with normal scheduling here, as on a host without
// the right to real-time priorities (the real-time path has tests of its own).
ProcessResult holdWithFault(const TempDir& dir, const std::string& fault) {
  return vorel_e2e::runVorelSim(
      {"--program", VOREL_SOURCE_DIR "/programs/hold.prog", "--fault", fault, "--priority", "0"},
      dir.path());
}

// Lines of `out` that start with `prefix`, counted from position `from`.
int linesFrom(const std::string& out, const std::string& prefix, std::size_t from = 0) {
  int n = 0;
  for (auto at = out.find("\n" + prefix, from); at != std::string::npos;
       at = out.find("\n" + prefix, at + 1)) {
    ++n;
  }
  return n;
}

// The drive never got a NaN or refused offset; the device wound down.
void expectCleanEnd(const ProcessResult& r) {
  EXPECT_EQ(summaryRow(r.out, "NaN or infinite offsets at the drive").value, "0") << r.out;
  EXPECT_EQ(summaryRow(r.out, "offsets refused by the drive").value, "0");
  EXPECT_EQ(summaryRow(r.out, "robot program").value, "ran to its end");
  EXPECT_NE(r.out.find("\n[host] onDeactivate -> success\n"), std::string::npos);
  EXPECT_NE(r.out.find("\n[host] unloaded "), std::string::npos);
  EXPECT_NE(r.out.find("\nresult: PASS\n"), std::string::npos);
}

void expectBackAtTarget(const ProcessResult& r) {
  const auto force = summaryRow(r.out, "force back at the target (filtered fz, at the end)");
  ASSERT_TRUE(force.found) << r.out;
  EXPECT_EQ(force.check, "ok");
  EXPECT_NEAR(firstNumber(force.value), -10.0, 0.5);
}

// The position of the fault's announcement in the output.
std::size_t faultLine(const ProcessResult& r, const std::string& what) {
  const auto at = r.out.find("\n[faults] t=");
  EXPECT_NE(at, std::string::npos) << r.out;
  EXPECT_NE(r.out.find(what, at), std::string::npos) << r.out;
  return at == std::string::npos ? 0 : at;
}

TEST(FaultRun_TenPercentWrongCrcs_ReportedAndForceHeld, UntilTheEnd) {
  TempDir dir;
  const ProcessResult r = holdWithFault(dir, "crc:0.1@0.5");
  ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
  const auto at = faultLine(r, "wrong CRCs with probability 0.1\n");
  EXPECT_GE(linesFrom(r.out, "No valid frame: ", at), 1) << r.out;
  EXPECT_EQ(summaryRow(r.out, "fault plan applied").value, "1 of 1 steps");
  EXPECT_GE(firstNumber(summaryRow(r.out, "faults injected by the sensor emulator").value), 1.0);
  EXPECT_EQ(summaryRow(r.out, "frames getting through, at the end").check, "ok");
  expectBackAtTarget(r);
  expectCleanEnd(r);
}

TEST(FaultRun_RandomByteDropsAndInsertions_SyncFoundAgain, ForceBackAtTarget) {
  TempDir dir;
  const ProcessResult r = holdWithFault(dir, "bytes:0.01@0.5-1.5");
  ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
  const auto at = faultLine(r, "bytes dropped with probability 0.01\n");
  EXPECT_GE(linesFrom(r.out, "lost sync, trying to reconnect\n", at), 1) << r.out;
  EXPECT_EQ(summaryRow(r.out, "fault plan applied").value, "4 of 4 steps");
  EXPECT_EQ(summaryRow(r.out, "frames found again after the faults").check, "ok");
  expectBackAtTarget(r);
  expectCleanEnd(r);
}

TEST(FaultRun_OneSecondGarbageBurst_SyncFoundAgain, ForceBackAtTarget) {
  TempDir dir;
  const ProcessResult r = holdWithFault(dir, "garbage:1s@0.8");
  ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
  const auto at = faultLine(r, "1000 ms of garbage instead of frames\n");
  EXPECT_GE(linesFrom(r.out, "lost sync, trying to reconnect\n", at), 1) << r.out;
  const std::string injected = summaryRow(r.out, "faults injected by the sensor emulator").value;
  ASSERT_NE(injected.rfind(", "), std::string::npos) << r.out;
  // About a second of 37-byte garbage writes, one per frame time.
  EXPECT_GE(firstNumber(injected.substr(injected.rfind(", ") + 2)), 37.0) << injected;
  EXPECT_EQ(summaryRow(r.out, "frames found again after the faults").check, "ok");
  expectBackAtTarget(r);
  expectCleanEnd(r);
}

TEST(FaultRun_SensorHangsUpDuringForceControl_ReaderSilentOffsetsFinite, CleanlyIdle) {
  TempDir dir;
  const ProcessResult r = holdWithFault(dir, "hangup@1.5");
  ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
  const auto at = faultLine(r, "the sensor hangs up the line\n");
  // The reader reports nothing for a silent line: no diagnostics after it.
  EXPECT_EQ(linesFrom(r.out, "lost sync", at), 0) << r.out;
  EXPECT_EQ(linesFrom(r.out, "No valid frame", at), 0) << r.out;
  const auto fresh = summaryRow(r.out, "new frames after the hang-up");
  EXPECT_EQ(fresh.value, "0") << r.out;
  EXPECT_EQ(fresh.check, "ok");
  EXPECT_TRUE(summaryRow(r.out, "force control after the hang-up").found);
  // The stale-sensor supervisor trips once, soon, and holds the offset.
  for (const char* row : {"stale-sensor ERROR lines after the hang-up",
                          "supervisor trip after the hang-up", "offset change after the trip"}) {
    EXPECT_EQ(summaryRow(r.out, row).check, "ok") << row << "\n" << r.out;
  }
  // The program's readout after the hang-up is the last frame's, finite.
  const auto print = r.out.find("print Filtered: force (", at);
  ASSERT_NE(print, std::string::npos) << r.out;
  EXPECT_TRUE(std::isfinite(firstNumber(r.out.substr(print + 23, 40))));
  expectCleanEnd(r);
}

// A fail-safe run: a program, its faults, the summary rows that must hold,
// and the row that shows the fault happened (a count of 1 or more). The hold
// program's force settles on the floor by about 1.5 s and is switched off at
// about 3.1 s; the faults fall in between.
struct FailSafeRun {
  const char* name;
  const char* program;  // in programs/
  std::vector<std::string> faults;
  std::vector<const char*> rows;
  const char* injected = nullptr;
};

void PrintTo(const FailSafeRun& run, std::ostream* out) {
  *out << run.name;
}

class FailSafeRunTest : public ::testing::TestWithParam<FailSafeRun> {};

TEST_P(FailSafeRunTest, SummaryChecksPass) {
  const FailSafeRun& run = GetParam();
  std::vector<std::string> args = {
      "--program", std::string(VOREL_SOURCE_DIR "/programs/") + run.program, "--priority", "0"};
  for (const auto& fault : run.faults) {
    args.push_back("--fault");
    args.push_back(fault);
  }
  TempDir dir;
  const ProcessResult r = vorel_e2e::runVorelSim(args, dir.path());
  ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
  for (const char* row : run.rows) {
    const auto found = summaryRow(r.out, row);
    EXPECT_TRUE(found.found) << row << "\n" << r.out;
    EXPECT_EQ(found.check, "ok") << row << ": " << found.value;
  }
  if (run.injected) {
    EXPECT_GE(firstNumber(summaryRow(r.out, run.injected).value), 1.0) << run.injected;
  }
  expectCleanEnd(r);
}

INSTANTIATE_TEST_SUITE_P(
    FaultRun, FailSafeRunTest,
    ::testing::Values(FailSafeRun{"HalfTheFramesFlagged",
                                  "hold.prog",
                                  {"status:0x04:0.5@1.6-2.4"},
                                  {"offset step per cycle while frames are flagged"},
                                  "frames flagged by the sensor"},
                      FailSafeRun{"EveryFrameFlagged",
                                  "hold.prog",
                                  {"status:0x04:1@1.8"},
                                  {"offset step per cycle while frames are flagged",
                                   "stale-sensor ERROR line (every frame flagged)"},
                                  "frames flagged by the sensor"},
                      FailSafeRun{"OneNanFrame",
                                  "hold.prog",
                                  {"nan@2"},
                                  {"drive commands in the 0.5 s after the NaN frame",
                                   "filtered fz back within the band after the NaN frame"},
                                  "NaN frames sent by the sensor"},
                      FailSafeRun{"DeadMutexHolder",
                                  "hold.prog",
                                  {"mutex-holder@1.5"},
                                  {"named mutex held by a dead process",
                                   "force-control cycle failed ERROR lines",
                                   "offset change after the ERROR line, to the program's end",
                                   "wind-down after the program's end"}},
                      FailSafeRun{"SignalStorm",
                                  "hold.prog",
                                  {"signals@1"},
                                  {"SIGUSR1 handled by vorel-sim",
                                   "reader reports (lost sync, wrong CRC) from the signals on",
                                   "frames published per second during the signals",
                                   "cycles without a drive command during the signals"}},
                      FailSafeRun{"HostDeactivatesDuringForceControl",
                                  "host_deactivate.prog",
                                  {},
                                  {"last offset at the drive after hostDeactivate"}}),
    [](const ::testing::TestParamInfo<FailSafeRun>& info) { return info.param.name; });

}  // namespace
