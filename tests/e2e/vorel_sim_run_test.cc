// The built vorel-sim run end to end, one run per row: the plug-in loaded
// like a host loads it, the simulated controller on its real 2 ms clock, the
// sensor emulator on a pseudo-terminal. A row names the output lines that
// must appear in order, the lines that must not appear after the first of them,
// and the summary rows that must hold:
//   "<row> | ok"       its check is ok       "<row> | = <text>"   its value
//   "<row> | ~ <x> <t>" its first number within t of x
//   "<row> | >= <x>"   at least x             "<row> | < <x>"      below x
// Every run must exit 0, print "result: PASS" and send no NaN offset.
// The fault runs hold 10 N on the floor (programs/hold.prog, force settled
// by about 1.5 s, switched off at about 3.1 s) while the line misbehaves,
// with the force-control thread on normal scheduling: they judge the device's
// reaction, not the scheduling.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/vorel_sim_process.h"

namespace {

using vorel_e2e::summaryRow;
using vorel_e2e::TempDir;
using Lines = std::vector<std::string>;

struct SimRun {
  const char* name;
  Lines args;
  Lines in_order;
  Lines rows;
  const char* trace = nullptr;    // the trace file: one row per 2 ms cycle
  const char* program = nullptr;  // program text, given as p.prog
  Lines absent = {};              // nowhere after the first line of `in_order`
  int status = 0;                 // else: refused with this status and message
  const char* err = "";
  friend void PrintTo(const SimRun& run, std::ostream* out) { *out << run.name; }
};

void expectRow(const std::string& out, const std::string& expected) {
  const auto bar = expected.find(" | ");
  const auto row = summaryRow(out, expected.substr(0, bar));
  ASSERT_TRUE(row.found) << expected;
  std::istringstream want(expected.substr(bar + 3));
  std::string op;
  double x = 0.0, tolerance = 0.0;
  want >> op >> x >> tolerance;
  const double value = row.number;
  if (op == "ok")
    EXPECT_EQ(row.check, "ok") << expected << ": " << row.value;
  else if (op == "=")
    EXPECT_EQ(row.value, expected.substr(bar + 5)) << expected;
  else if (op == "~")
    EXPECT_NEAR(value, x, tolerance) << expected;
  else if (op == ">=")
    EXPECT_GE(value, x) << expected;
  else
    EXPECT_LT(value, x) << expected;
}

// The trace: 28 columns, one row per 2 ms controller cycle, as many rows as
// the summary reports.
void expectTrace(const TempDir& dir, const std::string& out, const std::string& name) {
  std::ifstream in(dir.file(name));
  std::size_t rows = 0;
  double previous = NAN;
  for (std::string line; std::getline(in, line); ++rows) {
    ASSERT_EQ(std::count(line.begin(), line.end(), ','), 27) << line;
    const double t = rows == 0 ? NAN : std::stod(line);
    EXPECT_TRUE(rows < 2 || std::fabs(t - previous - 0.002) < 1e-6) << "row " << rows;
    previous = t;
  }
  EXPECT_GT(rows, 500u);
  EXPECT_EQ(summaryRow(out, "trace").value, name + " (" + std::to_string(rows - 1) + " rows)");
}

class VorelSimRun : public ::testing::TestWithParam<SimRun> {};

TEST_P(VorelSimRun, Run_OfTheRow_MatchesItsRow) {
  const SimRun& run = GetParam();
  TempDir dir;
  if (run.program)
    dir.write("p.prog", run.program);
  const auto r = vorel_e2e::runVorelSim(run.args, dir);
  ASSERT_EQ(r.exit.status, run.status) << r.out << r.err;
  if (run.status != 0) {  // before anything started
    EXPECT_EQ(r.err, run.err);
    EXPECT_EQ(r.out, "");
    return;
  }
  std::size_t at = 0;
  for (const auto& line : run.in_order) {
    at = r.out.find(line, at);
    ASSERT_NE(at, std::string::npos) << "missing, or out of order: " << line << "\n" << r.out;
  }
  const auto after = run.in_order.empty() ? 0 : r.out.find(run.in_order[0]);
  for (const auto& line : run.absent)
    EXPECT_EQ(r.out.find(line, after), std::string::npos) << line;
  for (const auto& row : run.rows)
    expectRow(r.out, row);
  EXPECT_NE(r.out.find("\nresult: PASS\n"), std::string::npos);
  const auto nan = summaryRow(r.out, "NaN or infinite offsets at the drive");
  EXPECT_TRUE(!nan.found || nan.value == "0");
  if (run.trace)
    expectTrace(dir, r.out, run.trace);
  if (HasFailure())
    std::cout << r.out << r.err;
}

const char* const kSource = VOREL_SOURCE_DIR;

SimRun hold(const char* name, Lines faults, Lines in_order, Lines rows, Lines absent = {},
            const char* program = "hold.prog") {
  Lines args = {"--program", std::string(kSource) + "/programs/" + program, "--priority", "0"};
  for (const auto& fault : faults) {
    args.push_back("--fault");
    args.push_back(fault);
  }
  in_order.insert(in_order.end(), {"\n[host] onDeactivate -> success\n", "\n[host] unloaded "});
  rows.insert(rows.end(),
              {"robot program | = ran to its end", "offsets refused by the drive | = 0"});
  return {name, args, in_order, rows, nullptr, nullptr, absent};
}

// The same run with the device's force control at SCHED_FIFO 40 (the reader
// at 39), below the simulated controller's 50.
SimRun realtime(SimRun run) {
  for (std::size_t i = 0; i + 1 < run.args.size(); ++i) {
    if (run.args[i] == "--priority")
      run.args[i + 1] = "40";
  }
  return run;
}

// The same run with the sensor at 100 Hz.
SimRun at100Hz(SimRun run) {
  run.args.insert(run.args.end(), {"--rate", "100"});
  return run;
}

const Lines kIsolatedLineFaults = {"bytes:0.0002@0.5", "garbage:10ms@1",   "garbage:10ms@1.1",
                                   "garbage:10ms@1.2", "garbage:10ms@1.3", "garbage:10ms@1.4",
                                   "garbage:10ms@1.5", "garbage:10ms@1.6", "garbage:10ms@1.7",
                                   "garbage:10ms@1.8", "garbage:10ms@1.9"};

// vorel-sim refusing to start: status 2, this message, no output.
SimRun refused(const char* name, Lines args, const char* program, const char* err) {
  return {name, args, {}, {}, nullptr, program, {}, 2, err};
}

// "line N: <first word>" for each statement of a program in programs/, in
// order: the run printed every statement as the function it called.
Lines statementsOf(const std::string& name) {
  std::ifstream in(std::string(kSource) + "/programs/" + name);
  Lines lines;
  int n = 1;
  for (std::string line, word; std::getline(in, line); ++n) {
    if (std::istringstream(line) >> word && word[0] != '#')
      lines.push_back("line " + std::to_string(n) + ": " + word);
  }
  return lines;
}

const SimRun kContact{
    "Contact",
    {},
    {"[host] onCreate -> 0", "[host] onMount -> success", "[host] publishing HWReady",
     "[INFO] Activating", "[host] activation finished", "[INFO] VorelFTSensor::onBind",
     "[host] onBind -> 0", "[host] running the robot program",
     "[program] t=", "[host] publishing ProgramTerminated", "[INFO] VorelFTSensor::onUnbind",
     "[host] onDeactivate -> success", "[host] onDestroy -> 0", "[host] device released",
     "[host] unloaded", "contact summary"},
    {"contact found | ok", "TCP height above the floor at contact | ~ 0 3",
     "retract after contact | ~ 10 1", "CRC errors seen by the reader | = 0"},
    "vorel-sim-contact.csv"};
const SimRun kHold{
    "Hold",
    {"--scenario", "hold", "--trace", "hold.csv"},
    {},
    // Force control on at once: the configuration exchange costs no stale
    // trip and at most one lost-sync report.
    {"target force fz (TCP) | = -10.00 N", "settling time (filtered fz) | ok",
     "steady-state mean, last 1.0 s | ~ -10 0.5", "steady-state spread (std dev) | < 0.5",
     "lost-sync reports | < 2", "stale-sensor ERROR lines | = 0"},
    "hold.csv"};
const SimRun kIdentify{"Identify",
                       {"--scenario", "identify"},
                       {"<arg type=\"load\"><mass>1.2"},
                       {"identified mass | ~ 1.25 0.0125", "identified centre of gravity | ok",
                        "applied sensor bias, tool frame (force) | ok",
                        "applied sensor bias, tool frame (torque) | ok",
                        "tool-frame force after identification, every orientation | ok"}};

// The same run with the sensor turned (roll, pitch, yaw 0.3, -0.2, 1.5708
// rad) and offset on the flange, for the device and the simulated cell.
SimRun turnedSensor(const char* name, SimRun run) {
  run.name = name;
  run.args.insert(run.args.end(), {"--sensor-pose", "0.01,-0.02,0.035,0.3,-0.2,1.5708"});
  run.in_order.insert(run.in_order.begin(),
                      "sensor at (0.01, -0.02, 0.035) m, roll pitch yaw (0.3, -0.2, 1.5708) rad");
  return run;
}

INSTANTIATE_TEST_SUITE_P(
    VorelSim_Scenario, VorelSimRun,
    ::testing::Values(
        kContact, kHold,
        SimRun{"Filters",
               {"--scenario", "filters"},
               {},
               {"fz noise, window 1: no filter | >= 1", "fz noise, window 5: hum + smooth | < 0.34",
                "noise reduction, first to last window | ok"}},
        kIdentify, turnedSensor("IdentifyTurnedSensor", kIdentify),
        turnedSensor("ContactTurnedSensor", kContact), turnedSensor("HoldTurnedSensor", kHold),
        SimRun{"Faults",
               {"--scenario", "faults"},
               {"[faults] t=", "\nNo valid frame: ", "\nlost sync, trying to reconnect"},
               {"fault plan applied | = 5 of 5 steps", "wrong CRCs reported by the reader | >= 1",
                "frames found again after the faults | ok",
                "force at the end (filtered fz, last 0.5 s) | ~ -10 0.5"}},
        // Hand guiding: the push runs into the speed limit; the return after
        // deactivateForceControl is smooth and ends exactly at zero.
        SimRun{"Guide",
               {"--scenario", "guide"},
               {"[INFO] Force-control speed limit: translational offset limited to 250 mm/s",
                "deactivateForceControl()"},
               {"offset back at exactly zero | ok", "duration of the return | ok",
                "stopping distance after deactivateForceControl | ok",
                "stopping distance after deactivateForceControl | < 7",
                "largest change of the offset's speed per cycle while braking | ok",
                "largest change of the offset's speed per cycle during the return | ok",
                "largest offset change in one cycle | = 0.500 mm, 0.000 deg"}},
        // The activating process dies while force control presses 10 N: the
        // binding process sees state 3 and moveToContact refuses.
        SimRun{"ActivatorKilled",
               {"--processes", "2", "--program",
                std::string(kSource) + "/programs/activator_kill.prog", "--fault",
                "activator-kill@1.5"},
               {"SIGKILL to the activating process", "supervisor state 3",
                "[ERROR] moveToContact: force control is not running",
                "[ERROR] deactivateForceControl: force control is not running",
                "[host] the activating process ended with status -1"},
               {"activating process killed | ok",
                "supervisor state in readSensorHealth from 0.1 s after the kill | ok",
                "motion commands of moveToContact after the kill | ok"}},
        SimRun{"TwoProcesses",
               {"--processes", "2"},
               // The two processes write to one output: only the order
               // within each, and the child's lines before its end, hold.
               {"[host] program ", "\n[activator] [INFO] Activating\n",
                "\n[activator] Start the adaptive thread",
                "[host] the activating process ended with status 0"},
               {"contact found | ok", "retract after contact | ~ 10 1"},
               nullptr,
               nullptr,
               {"\n[INFO] Activating\n"}},
        SimRun{"DurationCap",
               {"--program", "p.prog", "--duration", "0.5"},
               {"\n[host] --duration 0.5 s reached: terminating the robot program\n"},
               {"robot program | = stopped by --duration after 0.5 s (line 2)"},
               nullptr,
               "tareSensor\nwait 60\nprint Tool\n",
               {"line 3: print Tool"}},
        // Typing errors refused, each with its ERROR line; a 30 N hold whose
        // force limit is lowered to 15 N comes down to it; a moveToContact
        // that ends at its travel limit leaves the tool at rest there.
        SimRun{"ForceSafety",
               {"--program", std::string(kSource) + "/programs/force_safety.prog"},
               {"[ERROR] setForceTrackValue: the target force (0, 0, -500) N is 500 N",
                "[ERROR] addFilter: filter \"blind\": cutoff_frequency 0 Hz is outside",
                "[ERROR] addFilter: filter \"stuck\": rising_rate 0 N/s is outside",
                "[ERROR] setForceControlGains: translation_gain -5 is outside",
                "[ERROR] moveToContact: the speed -5000 mm/s is faster than the speed limit",
                "[ERROR] moveToContact: the force threshold 0 N is outside",
                "[ERROR] moveToContact: the retract distance -10 mm is outside",
                "[ERROR] Force limit: force ", "no contact within the travel limit of 80 mm"},
               {"force 1 s after the limit was lowered to 15 N | ok",
                "moveToContact beyond its 80 mm travel limit, at rest | ok",
                "largest force at the tool | ok"}},
        // The law beyond its gains: a dead band against a wrong tool load, a
        // virtual spring, and the base frame on a tilted tool.
        SimRun{
            "Deadband",
            {"--scenario", "deadband"},
            {},
            {"TCP travel standing 5 s with the dead band | ok", "TCP travel under the push | ok"}},
        SimRun{"Spring",
               {"--scenario", "spring"},
               {},
               {"deflection at the end of the push | ok",
                "TCP off its start, 3 s after the push | ok", "overshoot past the start | ok"}},
        SimRun{"Surface",
               {"--scenario", "surface"},
               {},
               {"the table's push, the hold's last 1 s (base z) | ok",
                "drift along the table, the hold's last 2 s | ok"}},
        SimRun{"EveryFunction",
               {"--program", std::string(kSource) + "/programs/every_function.prog"},
               statementsOf("every_function.prog"),
               {"statements run | = 53"},
               nullptr,
               nullptr,
               {"[ERROR]"}}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    VorelSim_Refused, VorelSimRun,
    ::testing::Values(
        refused("SyntaxErrorOnLine3", {"--program", "p.prog", "--trace", "t.csv"},
                "tareSensor\nwait 0.5\nmoveToContact 0 z -20 5 100 10\nwait 1\n",
                "vorel-sim: p.prog: line 3: expected an integer for argument 2 of moveToContact "
                "(axis), found 'z'; moveToContact takes: referenceFrame, axis, speed, "
                "forceThreshold, maxDistance, retractDistance\n"
                "vorel-sim: the program was not run: nothing was started and nothing moved\n"),
        refused("MeasureWithAPort", {"--measure", "m.json", "--port", "/dev/null"}, nullptr,
                "vorel-sim: --measure needs the built-in sensor emulator: give no --port\n"),
        refused("MeasureFileNotWritable", {"--measure", "missing/m.json"}, nullptr,
                "vorel-sim: cannot write the measurement file missing/m.json\n"),
        refused("SensorPoseOfFiveNumbers", {"--sensor-pose", "0,0,0.035,0,0"}, nullptr,
                "vorel-sim: --sensor-pose expects X,Y,Z,ROLL,PITCH,YAW (m, then rad), e.g. "
                "0,0,0.035,0,0,1.5708, found '0,0,0.035,0,0'\n"),
        refused("DurationNotANumberAfterEquals", {"--duration=abc"}, nullptr,
                "vorel-sim: --duration expects a number of seconds above 0, found 'abc'\n"),
        refused("SecondFaultUnknown", {"--fault", "crc:0.1", "--fault", "crc"}, nullptr,
                "vorel-sim: --fault 'crc': expected a probability above 0 and at most 1 after "
                "'crc:', found ''\n"),
        refused("UnknownOption", {"--bogus"}, nullptr,
                "vorel-sim: The following argument was not expected: --bogus (see --help)\n")),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    FaultRun_Hold, VorelSimRun,
    ::testing::Values(
        hold("TenPercentWrongCrcs", {"crc:0.1@0.5"},
             {"[faults] t=", "wrong CRCs with probability 0.1\n", "\nNo valid frame: "},
             {"fault plan applied | = 1 of 1 steps",
              "faults injected by the sensor emulator | >= 1",
              "frames getting through, at the end | ok",
              "force back at the target (filtered fz, at the end) | ~ -10 0.5"}),
        hold("RandomByteDropsAndInsertions", {"bytes:0.01@0.5-1.5"},
             {"[faults] t=", "bytes dropped with probability 0.01\n", "\nEnd of lost sync: "},
             {"fault plan applied | = 4 of 4 steps", "lost-sync reports | >= 1",
              "frames found again after the faults | ok",
              "force back at the target (filtered fz, at the end) | ~ -10 0.5"}),
        hold("OneSecondGarbageBurst", {"garbage:1s@0.8"},
             {"[faults] t=", "1000 ms of garbage instead of frames\n", "\nEnd of lost sync: "},
             {"lost-sync reports | >= 1", "frames found again after the faults | ok",
              "force back at the target (filtered fz, at the end) | ~ -10 0.5"}),
        // A silent line: the reader reports nothing, the stale-sensor
        // supervisor trips once and holds the offset, readouts stay finite.
        hold("SensorHangsUp", {"hangup@1.5"},
             {"[faults] t=", "the sensor hangs up the line\n", "line 12: print Filtered: force ("},
             {"new frames after the hang-up | = 0",
              "stale-sensor ERROR lines after the hang-up | ok",
              "supervisor trip after the hang-up | ok", "offset change after the trip | ok"},
             {"lost sync", "No valid frame", "nan,", "nan)"}),
        hold("HalfTheFramesFlagged", {"status:0x04:0.5@1.6-2.4"}, {},
             {"offset step per cycle while frames are flagged | ok",
              "frames flagged by the sensor | >= 1"}),
        // A second of flagged frames: two reader lines, the end one with
        // their count (the emulator's count of frames in that second, which
        // a busy machine may make 497 instead of 500: the summary row checks
        // that the reader counted every one sent).
        hold("EveryFrameFlagged", {"status:0x04:1@1-2"},
             {"\nNo valid forces: status 0x0004 (", "\nEnd of flagged frames: "},
             {"offset step per cycle while frames are flagged | ok",
              "stale-sensor ERROR line (every frame flagged) | ok",
              "frames flagged by the sensor | >= 1", "reader lines about flagged frames | = 2",
              "flagged frames counted by the reader | ok"}),
        // A byte dropped or inserted now and then, and ten 10 ms bursts of
        // garbage: each costs only the frames it touched, never a stale trip.
        hold("IsolatedLineFaults", kIsolatedLineFaults, {},
             {"stale-sensor trips from the line faults on | ok",
              "frames getting through, at the end | ok"}),
        at100Hz(hold("IsolatedLineFaultsAt100Hz", kIsolatedLineFaults, {},
                     {"stale-sensor trips from the line faults on | ok",
                      "frames getting through, at the end | ok"})),
        // Frames flagged overrange: the force limit's line, and force control
        // holds its offset.
        hold("OverrangeFrames", {"status:0x02:1@1.6-2.2"},
             {"[ERROR] Force limit: the sensor flags its frames overrange; force control holds "
              "its reference offset"},
             {"offset step per cycle while frames are flagged | ok"}),
        hold("OneNanFrame", {"nan@2"}, {},
             {"drive commands in the 0.5 s after the NaN frame | ok",
              "filtered fz back within the band after the NaN frame | ok",
              "NaN frames sent by the sensor | >= 1"}),
        hold("DeadMutexHolder", {"mutex-holder@1.5"}, {},
             {"named mutex held by a dead process | ok",
              "force-control cycle failed ERROR lines | ok",
              "offset change after the ERROR line, to the program's end | ok",
              "wind-down after the program's end | ok"}),
        // The device at a real-time priority, as deployed: the rows judge
        // the signals, not the reader's share of a machine busy with other
        // work.
        realtime(hold("SignalStorm", {"signals@1"}, {},
                      {"SIGUSR1 handled by vorel-sim | ok",
                       "reader reports (lost sync, wrong CRC) from the signals on | ok",
                       "frames published per second during the signals | ok",
                       "cycles without a drive command during the signals | ok"})),
        hold("HostDeactivatesDuringForceControl", {}, {},
             {"last offset at the drive after hostDeactivate | ok"}, {}, "host_deactivate.prog")),
    [](const auto& info) { return std::string(info.param.name); });

// A sensor port that does not exist: the activation fails with the port and
// the reason, no worker starts, and the host winds the device down.
TEST(VorelSimMissingPort, Activation_PortMissing_FailsWithItsErrorAndStartsNothing) {
  TempDir dir;
  const auto r = vorel_e2e::runVorelSim({"--port", "/nonexistent/vorel-tty"}, dir);
  EXPECT_EQ(r.exit.status, 1) << r.out << r.err;
  const std::string why =
      "the sensor port /nonexistent/vorel-tty cannot be opened: No such file or directory "
      "(errno 2)";
  EXPECT_NE(
      r.out.find("\n[ERROR] onActivate: " + why + "; the device is not activated, nothing runs\n"),
      std::string::npos)
      << r.out;
  EXPECT_NE((r.out + r.err).find("activation failed: error -1: Activation failed: " + why + "."),
            std::string::npos);
  EXPECT_EQ(r.out.find("Start the adaptive thread instance."), std::string::npos);
  EXPECT_EQ(r.out.find("Start the second instance."), std::string::npos);
  EXPECT_NE(r.out.find("[host] unloaded "), std::string::npos);
}

using CsvRows = std::vector<std::vector<std::string>>;

CsvRows readCsv(const std::filesystem::path& path) {
  CsvRows rows;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    rows.emplace_back();
    std::istringstream cells(line);
    for (std::string cell; std::getline(cells, cell, ',');)
      rows.back().push_back(cell);
  }
  return rows;
}

// A hang-up late in a 12 s hold: the black-box file of the stale trip it
// causes holds, one row per cycle, the 10 s before the file's first event
// and the 1 s after it, the trace's columns first, and shows the hold: from
// the trip on no new sample, the supervisor stale, the offset unchanged
// while force control stays on. Only the hang-up's trip is judged: on a busy
// machine a starved emulator may cost stale trips, and files, of its own
// before it; the hang-up's trip is the first stale event at or after the
// hang-up's controller time, in its own file or in the after-window of such
// an earlier one.
TEST(VorelSimBlackBox, Hold_SensorHangsUpLate_FileOfTenSecondsBeforeTheTripAndOneAfter) {
  TempDir dir;
  const auto r =
      vorel_e2e::runVorelSim({"--program", std::string(kSource) + "/programs/blackbox.prog",
                              "--fault", "hangup@11", "--priority", "0"},
                             dir);
  ASSERT_EQ(r.exit.status, 0) << r.out << r.err;
  expectRow(r.out, "black-box files written | >= 1");
  const std::string fault = "[faults] t=";
  const auto at = r.out.find(fault);
  ASSERT_NE(at, std::string::npos) << r.out;
  const double hangup = std::stod(r.out.substr(at + fault.size()));
  CsvRows rows;
  std::string name;
  std::size_t trip = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir.file("vorel-blackbox"))) {
    CsvRows file = readCsv(entry.path());
    std::map<std::string, std::size_t> col;
    for (std::size_t i = 0; !file.empty() && i < file[0].size(); ++i)
      col[file[0][i]] = i;
    for (std::size_t i = 1; trip == 0 && i < file.size(); ++i) {
      if (std::stod(file[i][0]) >= hangup && (std::stoi(file[i].at(col.at("events"))) & 1) != 0) {
        trip = i;
        rows = std::move(file);
        name = entry.path().filename().string();
      }
    }
  }
  ASSERT_NE(trip, 0u) << "no stale trip at or after t=" << hangup << " s in a black-box file";
  EXPECT_EQ(name.substr(name.size() - 10), "-stale.csv");
  ASSERT_EQ(rows.size(), 1u + 5000u + 1u + 500u);
  EXPECT_GE(trip, 5001u);
  EXPECT_EQ(rows[0][0] + "," + rows[0][1], "time_s,raw_fx");
  std::map<std::string, std::size_t> col;
  for (std::size_t i = 0; i < rows[0].size(); ++i)
    col[rows[0][i]] = i;
  const auto value = [&](std::size_t row, const char* column) {
    return std::stod(rows[row].at(col.at(column)));
  };
  const double held = value(trip, "offset_z");
  for (std::size_t i = 1; i < rows.size(); ++i) {
    ASSERT_EQ(value(i, "cycle"), value(1, "cycle") + static_cast<double>(i - 1)) << "row " << i;
    if (value(i, "time_s") >= hangup) {
      EXPECT_EQ(value(i, "events"), i == trip ? 1.0 : 0.0) << "row " << i;
      EXPECT_EQ(value(i, "supervisor_state"), i < trip ? 0.0 : 1.0) << "row " << i;
    }
    if (i > trip - 25 && value(i, "fc_state") == 1.0) {
      EXPECT_EQ(value(i, "new_sample"), 0.0) << "row " << i;
      EXPECT_TRUE(i < trip || value(i, "offset_z") == held) << "row " << i;
    }
  }
  EXPECT_EQ(value(trip, "sample_age_s"), 0.05);
  EXPECT_EQ(value(trip, "fc_state"), 1.0);
  EXPECT_GT(held, 0.04);  // pressing onto the floor 50 mm below
}

}  // namespace
