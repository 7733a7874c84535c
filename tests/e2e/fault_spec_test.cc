// The --fault option: the text of a line fault, the plan it makes, and when
// the line is clean again.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

#include "apps/vorel-sim/options.h"
#include "sim/scenario/fault_plan.h"
#include "sim/scenario/fault_spec.h"

namespace {

using vorel_sim_app::FaultPlan;
using vorel_sim_app::FaultStep;
using vorel_sim_app::parseFaultSpec;
using Kind = FaultStep::Kind;

void expectStep(const FaultStep& step, double at_s, Kind kind, double value, unsigned bits = 0) {
  EXPECT_DOUBLE_EQ(step.at_s, at_s);
  EXPECT_EQ(step.kind, kind);
  EXPECT_DOUBLE_EQ(step.value, value);
  EXPECT_EQ(step.bits, bits);
}

TEST(ParseFaultSpec_EachKind_GivesItsSteps, WithTimesAndUnits) {
  auto r = parseFaultSpec("crc:0.1@0.5-2");
  ASSERT_EQ(r.steps.size(), 2u) << r.error;
  expectStep(r.steps[0], 0.5, Kind::CrcProbability, 0.1);
  expectStep(r.steps[1], 2.0, Kind::CrcProbability, 0.0);

  r = parseFaultSpec("crc:0.25");  // from the start, no end
  ASSERT_EQ(r.steps.size(), 1u) << r.error;
  expectStep(r.steps[0], 0.0, Kind::CrcProbability, 0.25);

  r = parseFaultSpec("bytes:0.01@500ms-1.5s");
  ASSERT_EQ(r.steps.size(), 4u) << r.error;
  expectStep(r.steps[0], 0.5, Kind::DropBytes, 0.01);
  expectStep(r.steps[1], 0.5, Kind::InsertBytes, 0.01);
  expectStep(r.steps[2], 1.5, Kind::DropBytes, 0.0);
  expectStep(r.steps[3], 1.5, Kind::InsertBytes, 0.0);

  r = parseFaultSpec("garbage:1s@2s");
  ASSERT_EQ(r.steps.size(), 1u) << r.error;
  expectStep(r.steps[0], 2.0, Kind::GarbageBurst, 1000.0);
  r = parseFaultSpec("garbage:250ms");
  ASSERT_EQ(r.steps.size(), 1u) << r.error;
  expectStep(r.steps[0], 0.0, Kind::GarbageBurst, 250.0);

  r = parseFaultSpec("hangup@2");
  ASSERT_EQ(r.steps.size(), 1u) << r.error;
  expectStep(r.steps[0], 2.0, Kind::HangUp, 0.0);

  r = parseFaultSpec("status:0x04:0.5@1-2s");
  ASSERT_EQ(r.steps.size(), 2u) << r.error;
  expectStep(r.steps[0], 1.0, Kind::StatusFrames, 0.5, 0x04);
  expectStep(r.steps[1], 2.0, Kind::StatusFrames, 0.0, 0x04);
  r = parseFaultSpec("status:12:1");  // decimal bits, every frame, from the start
  ASSERT_EQ(r.steps.size(), 1u) << r.error;
  expectStep(r.steps[0], 0.0, Kind::StatusFrames, 1.0, 12);

  r = parseFaultSpec("nan@1.5");
  ASSERT_EQ(r.steps.size(), 1u) << r.error;
  expectStep(r.steps[0], 1.5, Kind::NanFrame, 0.0);
  r = parseFaultSpec("mutex-holder@500ms");
  ASSERT_EQ(r.steps.size(), 1u) << r.error;
  expectStep(r.steps[0], 0.5, Kind::MutexHolder, 0.0);
  r = parseFaultSpec("signals@1");  // 1 s of signals
  ASSERT_EQ(r.steps.size(), 1u) << r.error;
  expectStep(r.steps[0], 1.0, Kind::Signals, 1.0);
}

TEST(ParseFaultSpec_BadText_IsRefusedWithAReason, NoStepIsMade) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"flood:0.1",
       "--fault 'flood:0.1': unknown fault 'flood': expected crc:P, bytes:P, "
       "garbage:D, status:BITS:P, nan, hangup, mutex-holder or signals"},
      {"status:0.5", "--fault 'status:0.5': expected status:BITS:P, such as status:0x04:0.5"},
      {"status:x:0.5",
       "--fault 'status:x:0.5': expected status bits (1 to 0xFFFF, e.g. 0x04) after "
       "'status:', found 'x'"},
      {"status:0:0.5",
       "--fault 'status:0:0.5': expected status bits (1 to 0xFFFF, e.g. 0x04) after "
       "'status:', found '0'"},
      {"status:0x10000:0.5",
       "--fault 'status:0x10000:0.5': expected status bits (1 to 0xFFFF, e.g. 0x04) after "
       "'status:', found '0x10000'"},
      {"status:0x04:2",
       "--fault 'status:0x04:2': expected a probability above 0 and at most 1 after "
       "'status:BITS:', found '2'"},
      {"nan:3", "--fault 'nan:3': nan takes no value"},
      {"nan@1-2", "--fault 'nan@1-2': nan has no end time"},
      {"mutex-holder@1-2", "--fault 'mutex-holder@1-2': mutex-holder has no end time"},
      {"signals:2s", "--fault 'signals:2s': signals takes no value"},
      {"crc:1.5",
       "--fault 'crc:1.5': expected a probability above 0 and at most 1 after 'crc:', "
       "found '1.5'"},
      {"crc:0",
       "--fault 'crc:0': expected a probability above 0 and at most 1 after 'crc:', "
       "found '0'"},
      {"bytes",
       "--fault 'bytes': expected a probability above 0 and at most 1 after 'bytes:', "
       "found ''"},
      {"garbage:1",
       "--fault 'garbage:1': expected a duration with its unit after 'garbage:', "
       "such as 1s or 250ms, found '1'"},
      {"garbage:1s@1-2",
       "--fault 'garbage:1s@1-2': a garbage burst has its own duration: give "
       "no end time"},
      {"hangup:1", "--fault 'hangup:1': hangup takes no value"},
      {"hangup@1-2", "--fault 'hangup@1-2': a hang-up cannot end: give no end time"},
      {"crc:0.1@", "--fault 'crc:0.1@': a time is expected after '@'"},
      {"crc:0.1@x",
       "--fault 'crc:0.1@x': expected a start time such as 2, 2s or 500ms after "
       "'@', found 'x'"},
      {"crc:0.1@2-1", "--fault 'crc:0.1@2-1': the end time must lie after the start time"},
      {"crc:0.1@1-",
       "--fault 'crc:0.1@1-': expected an end time after '-', such as 3 or 3s, "
       "found ''"},
  };
  for (const auto& [text, message] : cases) {
    const auto r = parseFaultSpec(text);
    EXPECT_TRUE(r.steps.empty()) << text;
    EXPECT_EQ(r.error, message);
  }
}

TEST(ParseOptions_FaultsAndMeasure_AreTakenOrRefused, WithAReason) {
  using vorel_sim_app::parseOptions;
  // Several faults make one plan in the order of their times.
  const auto r =
      parseOptions({"--program", "p.prog", "--fault", "hangup@3", "--fault=crc:0.1@1-2"});
  ASSERT_TRUE(r.options) << r.error;
  ASSERT_EQ(r.options->faults.size(), 3u);
  expectStep(r.options->faults[0], 1.0, Kind::CrcProbability, 0.1);
  expectStep(r.options->faults[1], 2.0, Kind::CrcProbability, 0.0);
  expectStep(r.options->faults[2], 3.0, Kind::HangUp, 0.0);

  const auto m = parseOptions({"--measure", "m.json", "--duration", "600"});
  ASSERT_TRUE(m.options) << m.error;
  EXPECT_EQ(*m.options->measure_file, "m.json");
  EXPECT_EQ(*m.options->duration_s, 600.0);

  auto error = [](const std::vector<std::string>& args) {
    const auto x = parseOptions(args);
    EXPECT_FALSE(x.options);
    return x.error;
  };
  EXPECT_EQ(error({"--fault", "crc:2"}),
            "--fault 'crc:2': expected a probability above 0 and at most 1 after 'crc:', found "
            "'2'");
  EXPECT_EQ(error({"--fault", "hangup", "--port", "/dev/ttyUSB0"}),
            "--fault needs the built-in sensor emulator: give no --port");
  EXPECT_EQ(error({"--scenario", "faults", "--fault", "hangup"}),
            "the faults scenario has its own fault plan: give no --fault");
  EXPECT_EQ(error({"--measure", "m.json", "--scenario", "hold"}),
            "--measure runs its own program: give no --scenario or --program");
  EXPECT_EQ(error({"--measure", "m.json", "--port", "/dev/ttyUSB0"}),
            "--measure needs the built-in sensor emulator: give no --port");
  EXPECT_EQ(error({"--measure", "m.json", "--processes", "2"}),
            "--measure reads the workers' CPU clocks in this process: give no --processes 2");
  EXPECT_EQ(error({"--measure", "m.json", "--fault", "hangup"}),
            "--measure measures a clean line: give no --fault");
  EXPECT_EQ(error({"--measure", "m.json", "--duration", "1.5"}),
            "--measure needs a --duration of 2 s or more");
}

TEST(FaultPlan_CleanAfter_IsTheEndOfTheLastFault, OrNoneWhileOneLasts) {
  auto plan = [](const std::vector<std::string>& texts) {
    std::vector<FaultStep> steps;
    for (const auto& text : texts) {
      const auto r = parseFaultSpec(text);
      steps.insert(steps.end(), r.steps.begin(), r.steps.end());
    }
    std::stable_sort(steps.begin(), steps.end(),
                     [](const FaultStep& a, const FaultStep& b) { return a.at_s < b.at_s; });
    return FaultPlan::cleanAfter(steps);
  };
  auto at = [](std::optional<double> clean) { return clean.value_or(-1.0); };
  EXPECT_DOUBLE_EQ(at(plan({})), 0.0);
  EXPECT_DOUBLE_EQ(at(plan({"crc:0.1@0.5-2"})), 2.0);
  EXPECT_FALSE(plan({"crc:0.1@0.5"}));
  EXPECT_DOUBLE_EQ(at(plan({"bytes:0.01@1-1.5", "crc:0.1@0.5-1.2"})), 1.5);
  EXPECT_DOUBLE_EQ(at(plan({"garbage:1s@0.8"})), 1.8);
  EXPECT_DOUBLE_EQ(at(plan({"garbage:1s@0.8", "crc:0.1@0.5-1"})), 1.8);
  EXPECT_FALSE(plan({"hangup@3", "crc:0.1@0.5-1"}));
  EXPECT_FALSE(plan({"mutex-holder@1"}));
  EXPECT_FALSE(plan({"status:0x04:1@1"}));
  EXPECT_DOUBLE_EQ(at(plan({"status:0x04:0.5@1-2"})), 2.0);
  EXPECT_DOUBLE_EQ(at(plan({"signals@1"})), 2.0);
  EXPECT_DOUBLE_EQ(at(plan({"nan@1"})), 1.01);
  // N frames with a wrong CRC, counted at 100 Hz; Clear ends what is on.
  EXPECT_DOUBLE_EQ(at(FaultPlan::cleanAfter({{1.0, Kind::CorruptCrcs, 10}})), 1.1);
  EXPECT_DOUBLE_EQ(at(FaultPlan::cleanAfter({{1.0, Kind::DropBytes, 0.1}, {2.5, Kind::Clear, 0}})),
                   2.5);
}

}  // namespace
