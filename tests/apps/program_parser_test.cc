// The program interpreter's parser: every function by its own name, the
// argument forms, and errors that name the line and what was expected.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/program/program.h"

namespace {

using namespace vorel_sim_app;

Call parseCall(const std::string& line) {
  const LineResult r = parseLine(line, 1);
  EXPECT_FALSE(r.error) << line << ": " << (r.error ? r.error->message : "");
  if (!r.statement)
    return Call{Function::tareSensor, {}};
  EXPECT_TRUE(std::holds_alternative<Call>(r.statement->action)) << line;
  return std::get<Call>(r.statement->action);
}

std::string errorOf(const std::string& line) {
  const LineResult r = parseLine(line, 7);
  EXPECT_TRUE(r.error) << line;
  if (!r.error)
    return std::string();
  EXPECT_EQ(r.error->line, 7);
  return r.error->message;
}

TEST(FunctionTable_SlotOrder_MatchesDeviceFunctions, NamesInSlotOrder) {
  // The device's robot-program functions in the order of its virtual slots.
  const std::vector<std::string> expected = {"readForceRaw",
                                             "readTorqueRaw",
                                             "readForceSensorFrame",
                                             "readTorqueSensorFrame",
                                             "readForce",
                                             "readTorque",
                                             "readForceFiltered",
                                             "readTorqueFiltered",
                                             "resetForceRaw",
                                             "resetTorqueRaw",
                                             "resetForceSensorFrame",
                                             "resetTorqueSensorFrame",
                                             "tareSensor",
                                             "resetForce",
                                             "resetTorque",
                                             "setForceTrackValue",
                                             "setTorqueTrackValue",
                                             "moveToContact",
                                             "activateForceControl",
                                             "deactivateForceControl",
                                             "setEnabledAxes",
                                             "setForceControlGains",
                                             "setEnabledSystemFilters",
                                             "setSystemFilterParams",
                                             "resetFilters",
                                             "addFilter",
                                             "removeFilter",
                                             "readSensorHealth",
                                             "setForceControlLimits",
                                             "captureLoadSample",
                                             "identifyToolLoad"};
  ASSERT_EQ(functionTable().size(), expected.size());
  ASSERT_EQ(kFunctionCount, expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(functionTable()[i].name, expected[i]);
    EXPECT_EQ(static_cast<std::size_t>(functionTable()[i].function), i);
    EXPECT_EQ(functionByName(expected[i]), functionTable()[i].function);
  }
  EXPECT_FALSE(functionByName("readforce"));
}

TEST(ParseLine_EveryExample_ParsesToItsFunction, AndRoundTripsThroughFormatCall) {
  for (const auto& info : functionTable()) {
    const Call call = parseCall(info.example);
    EXPECT_EQ(call.function, info.function) << info.example;
    EXPECT_EQ(call.args.size(), info.args.size()) << info.example;
    // The printed form parses back to the same call.
    const Call again = parseCall(formatCall(call));
    EXPECT_EQ(again.function, call.function);
    EXPECT_EQ(formatCall(again), formatCall(call));
  }
}

TEST(ParseLine_ArrayForms_GiveTheSameThreeNumbers, BlanksCommasParenthesesBrackets) {
  for (const std::string line : {"setForceTrackValue 0 0 -10", "setForceTrackValue(0, 0, -10)",
                                 "setForceTrackValue [0, 0, -10]", "setForceTrackValue([0,0,-1e1])",
                                 "  setForceTrackValue 0.0, 0, -10.000   # target"}) {
    const Call call = parseCall(line);
    ASSERT_EQ(call.function, Function::setForceTrackValue) << line;
    const auto v = std::get<Vector3>(call.args.at(0));
    EXPECT_EQ(v.x, 0.0) << line;
    EXPECT_EQ(v.y, 0.0) << line;
    EXPECT_EQ(v.z, -10.0) << line;
  }
}

TEST(ParseLine_ScalarArguments_TakeTheirTypes, IntegersNumbersBooleansNames) {
  const Call move = parseCall("moveToContact 1 2 -20.5 5 100 10");
  EXPECT_EQ(std::get<int>(move.args[0]), 1);
  EXPECT_EQ(std::get<int>(move.args[1]), 2);
  EXPECT_EQ(std::get<double>(move.args[2]), -20.5);
  EXPECT_EQ(std::get<double>(move.args[5]), 10.0);

  const Call axes = parseCall("setEnabledAxes(true, false, true, false, false, true)");
  const std::vector<bool> flags = {true, false, true, false, false, true};
  for (int i = 0; i < 6; ++i)
    EXPECT_EQ(std::get<bool>(axes.args[i]), flags[i]);

  const Call quoted = parseCall("addFilter \"my filter\" 2 50 10 0 0 0");
  EXPECT_EQ(std::get<std::string>(quoted.args[0]), "my filter");
  EXPECT_EQ(std::get<int>(quoted.args[1]), 2);
  EXPECT_EQ(std::get<double>(quoted.args[2]), 50.0);

  EXPECT_EQ(std::get<std::string>(parseCall("removeFilter all").args[0]), "all");
}

TEST(ParseLine_FilterTypeWords_MapToTypeCodes, OneToFour) {
  const std::vector<std::pair<std::string, int>> words = {
      {"lowpass", 1}, {"notch", 2}, {"ratelimiter", 3}, {"highpassratelimiter", 4}, {"3", 3}};
  for (const auto& [word, code] : words) {
    const Call call = parseCall("addFilter f " + word + " 1 2 3 4 5");
    EXPECT_EQ(std::get<int>(call.args[1]), code) << word;
  }
}

TEST(ParseLine_WaitPrintAndHostDeactivate_AreStatements, WithSecondsAndStage) {
  const LineResult wait = parseLine("wait 1.25  # settle", 4);
  ASSERT_TRUE(wait.statement);
  EXPECT_EQ(wait.statement->line, 4);
  EXPECT_EQ(wait.statement->text, "wait 1.25");
  EXPECT_EQ(std::get<Wait>(wait.statement->action).seconds, 1.25);

  const std::vector<std::pair<std::string, Stage>> stages = {{"Raw", Stage::Raw},
                                                             {"SensorFrame", Stage::SensorFrame},
                                                             {"Tool", Stage::Tool},
                                                             {"Filtered", Stage::Filtered},
                                                             {"Position", Stage::Position}};
  for (const auto& [word, stage] : stages) {
    const LineResult p = parseLine("print " + word, 1);
    ASSERT_TRUE(p.statement) << word;
    EXPECT_EQ(std::get<Print>(p.statement->action).stage, stage);
  }
  const LineResult deactivate = parseLine("hostDeactivate  # with force control on", 9);
  ASSERT_TRUE(deactivate.statement);
  EXPECT_TRUE(std::holds_alternative<HostDeactivate>(deactivate.statement->action));
  const LineResult move = parseLine("moveTo 0.4 0 0.3 3.14159 -0.9 0.5", 10);
  ASSERT_TRUE(move.statement);
  const MoveTo& to = std::get<MoveTo>(move.statement->action);
  const double want[6] = {0.4, 0.0, 0.3, 3.14159, -0.9, 0.5};
  for (int i = 0; i < 6; ++i)
    EXPECT_EQ(to.pose[i], want[i]) << i;
}

TEST(ParseProgram_CommentsAndBlankLines_KeepSourceLineNumbers, StatementsOnly) {
  const ParseResult r =
      parseProgram("# header\n\ntareSensor\n   \n  # note\nwait 2\r\nprint Tool\n");
  ASSERT_TRUE(r.program);
  ASSERT_EQ(r.program->statements.size(), 3u);
  EXPECT_EQ(r.program->statements[0].line, 3);
  EXPECT_EQ(r.program->statements[1].line, 6);
  EXPECT_EQ(r.program->statements[2].line, 7);
}

TEST(ParseProgram_ErrorOnLine3_NamesLine3, AndReturnsNoProgram) {
  const ParseResult r = parseProgram(
      "tareSensor\nwait 0.5\nsetForceTrackValue 0 0 ten\nactivateForceControl true false\n");
  EXPECT_FALSE(r.program);
  ASSERT_TRUE(r.error);
  EXPECT_EQ(r.error->line, 3);
  EXPECT_EQ(r.error->message,
            "expected 3 finite numbers for argument 1 of setForceTrackValue (force), found 'ten' "
            "as number 3; setForceTrackValue takes: force (3 numbers)");
}

TEST(ParseLine_BadInput_SaysWhatWasExpected, ForEachKindOfMistake) {
  EXPECT_EQ(errorOf("readForces"),
            "expected a robot-program function, wait or print, found unknown name 'readForces'; "
            "did you mean readForce?");
  EXPECT_EQ(errorOf("moveToContact 0 2.5 -20 5 100 10"),
            "expected an integer for argument 2 of moveToContact (axis), found '2.5'; "
            "moveToContact takes: referenceFrame, axis, speed, forceThreshold, maxDistance, "
            "retractDistance");
  EXPECT_EQ(errorOf("activateForceControl 1 0"),
            "expected true or false for argument 1 of activateForceControl (translation), found "
            "'1'; activateForceControl takes: translation, rotation");
  EXPECT_EQ(errorOf("tareSensor now"), "tareSensor takes no arguments, found 'now'");
  EXPECT_EQ(errorOf("readForce 1 2 3"),
            "readForce takes no arguments (it prints the values it reads), found '1'");
  EXPECT_EQ(errorOf("setEnabledSystemFilters true true"),
            "expected the end of the line after the arguments of setEnabledSystemFilters "
            "(enabled), found 'true'");
  EXPECT_EQ(errorOf("wait"),
            "expected a duration in seconds (a finite number, 0 or more) after wait, found the "
            "end of the line");
  EXPECT_EQ(errorOf("wait -1"),
            "expected a duration in seconds (a finite number, 0 or more) after wait, found '-1'");
  EXPECT_EQ(errorOf("wait 1 2"), "expected the end of the line after wait SECONDS, found '2'");
  EXPECT_EQ(errorOf("hostDeactivate now"), "hostDeactivate takes no arguments, found 'now'");
  EXPECT_EQ(errorOf("moveTo 0.4 0 0.3 3.1 0"),
            "expected a finite number for yaw of moveTo x y z roll pitch yaw (m, rad), found the "
            "end of the line");
  EXPECT_EQ(errorOf("moveTo 0.4 0 0.3 3.1 0 0 1"),
            "expected the end of the line after moveTo's six numbers, found '1'");
  EXPECT_EQ(errorOf("setForceControlLimits 20"),
            "expected a finite number for argument 2 of setForceControlLimits (maxRotation_deg), "
            "found the end of the line; setForceControlLimits takes: maxTranslation_mm, "
            "maxRotation_deg");
  EXPECT_EQ(errorOf("print Torque"),
            "expected a stage after print (Raw, SensorFrame, Tool, Filtered or Position), found "
            "'Torque'");
  EXPECT_EQ(errorOf("activateForceControl(true, false"),
            "expected ')' at the end of the line to close the arguments of activateForceControl");
  EXPECT_EQ(errorOf("removeFilter \"open"), "expected a closing '\"' for the name");
  EXPECT_EQ(errorOf("42 tareSensor"),
            "expected a function name, wait or print at the start of the line, found '42'");
  EXPECT_EQ(errorOf("setForceTrackValue [0 0 -10"),
            "expected ']' after the 3 numbers of argument 1 of setForceTrackValue (force), found "
            "the end of the line; setForceTrackValue takes: force (3 numbers)");
}

TEST(ParseLine_NonFiniteOrExoticNumbers_AreRefused, OnlyPlainDecimals) {
  for (const std::string bad : {"nan", "inf", "-inf", "0x10", "1e999", "1..2", "--1", ""}) {
    const LineResult r = parseLine("setForceControlGains " + bad + " 5 0.01", 1);
    EXPECT_TRUE(r.error) << "'" << bad << "'";
  }
  EXPECT_EQ(std::get<double>(parseCall("setForceControlGains 5e-1 +5 .01").args[0]), 0.5);
}

}  // namespace
