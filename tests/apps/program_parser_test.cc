// The robot-program parser: good programs and what they parse to, bad ones
// and the line and message that say what was expected.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "sim/program/program.h"

namespace {

using namespace vorel_sim;

// A statement as "line: what", integers marked '#', names quoted.
std::string describe(const Statement& s) {
  std::ostringstream out;
  out << s.line << ": ";
  if (const auto* call = std::get_if<Call>(&s.action)) {
    out << call->function->name;
    for (const Value& v : call->args) {
      out << ' ';
      if (const auto* i = std::get_if<int>(&v))
        out << '#' << *i;
      else if (const auto* d = std::get_if<double>(&v))
        out << *d;
      else if (const auto* b = std::get_if<bool>(&v))
        out << (*b ? "true" : "false");
      else if (const auto* t = std::get_if<std::string>(&v))
        out << '"' << *t << '"';
      else
        out << '[' << std::get<Vector3>(v).x << ' ' << std::get<Vector3>(v).y << ' '
            << std::get<Vector3>(v).z << ']';
    }
  } else if (const auto* wait = std::get_if<Wait>(&s.action)) {
    out << "wait " << wait->seconds;
  } else if (const auto* print = std::get_if<Print>(&s.action)) {
    out << "print " << stageName(print->stage);
  } else if (const auto* move = std::get_if<MoveTo>(&s.action)) {
    out << "moveTo";
    for (double x : move->pose)
      out << ' ' << x;
  } else {
    out << "hostDeactivate";
  }
  return out.str();
}

// A program and what it parses to: its statements, or the error.
struct ProgramRow {
  const char* text;
  std::vector<std::string> parsed;
};

class ProgramParser : public ::testing::TestWithParam<ProgramRow> {};

TEST_P(ProgramParser, Text_GoodOrBad_ParsedOrRefusedWithLineAndMessage) {
  const ParseResult r = parseProgram(GetParam().text);
  std::vector<std::string> parsed;
  if (r.error)
    parsed.push_back("line " + std::to_string(r.error->line) + ": " + r.error->message);
  for (const auto& s : r.program ? r.program->statements : std::vector<Statement>{})
    parsed.push_back(describe(s));
  EXPECT_EQ(parsed, GetParam().parsed);
}

INSTANTIATE_TEST_SUITE_P(
    Good, ProgramParser,
    ::testing::Values(
        ProgramRow{"# header\n\ntareSensor\n   \n  # note\nwait 1.25  # settle\r\nprint Tool\n",
                   {"3: tareSensor", "6: wait 1.25", "7: print Tool"}},
        ProgramRow{"setForceTrackValue 0 0 -10\nsetForceTrackValue(0, 0, -10)\n"
                   "setTorqueTrackValue [0, 0, -10]\nsetForceTrackValue([0,0,-1e1])\n"
                   "  setForceTrackValue 0.0, 0, -10.000   # target\n",
                   {"1: setForceTrackValue [0 0 -10]", "2: setForceTrackValue [0 0 -10]",
                    "3: setTorqueTrackValue [0 0 -10]", "4: setForceTrackValue [0 0 -10]",
                    "5: setForceTrackValue [0 0 -10]"}},
        ProgramRow{"moveToContact 1 2 -20.5 5 100 10\n"
                   "setEnabledAxes(true, false, true, false, false, true)\n"
                   "addFilter \"my filter\" 2 50 10 0 0 0\nremoveFilter all\n"
                   "setForceControlGains 5e-1 +5 .01\n",
                   {"1: moveToContact #1 #2 -20.5 5 100 10",
                    "2: setEnabledAxes true false true false false true",
                    "3: addFilter \"my filter\" #2 50 10 0 0 0", "4: removeFilter \"all\"",
                    "5: setForceControlGains 0.5 5 0.01"}},
        ProgramRow{"addFilter a lowpass 1 2 3 4 5\naddFilter b notch 1 2 3 4 5\n"
                   "addFilter c ratelimiter 1 2 3 4 5\naddFilter d highpassratelimiter 1 2 3 4 5\n",
                   {"1: addFilter \"a\" #1 1 2 3 4 5", "2: addFilter \"b\" #2 1 2 3 4 5",
                    "3: addFilter \"c\" #3 1 2 3 4 5", "4: addFilter \"d\" #4 1 2 3 4 5"}},
        ProgramRow{
            "print Raw\nprint SensorFrame\nprint Filtered\nprint Position\n"
            "hostDeactivate  # with force control on\nmoveTo 0.4 0 0.3 3.14159 -0.9 0.5\n",
            {"1: print Raw", "2: print SensorFrame", "3: print Filtered", "4: print Position",
             "5: hostDeactivate", "6: moveTo 0.4 0 0.3 3.14159 -0.9 0.5"}}));

INSTANTIATE_TEST_SUITE_P(
    Bad, ProgramParser,
    ::testing::Values(
        ProgramRow{
            "tareSensor\nwait 0.5\nsetForceTrackValue 0 0 ten\nwait 1\n",
            {"line 3: expected 3 finite numbers for argument 1 of setForceTrackValue (force), "
             "found 'ten' as number 3; setForceTrackValue takes: force (3 numbers)"}},
        ProgramRow{"readForces",
                   {"line 1: expected a robot-program function, wait or print, found unknown name "
                    "'readForces'; did you mean readForce?"}},
        ProgramRow{"moveToContact 0 2.5 -20 5 100 10",
                   {"line 1: expected an integer for argument 2 of moveToContact (axis), found "
                    "'2.5'; moveToContact takes: referenceFrame, axis, speed, forceThreshold, "
                    "maxDistance, retractDistance"}},
        ProgramRow{"activateForceControl 1 0",
                   {"line 1: expected true or false for argument 1 of activateForceControl "
                    "(translation), found '1'; activateForceControl takes: translation, rotation"}},
        ProgramRow{"tareSensor now", {"line 1: tareSensor takes no arguments, found 'now'"}},
        ProgramRow{"wait -1",
                   {"line 1: expected a duration in seconds (a finite number, 0 or more) after "
                    "wait, found '-1'"}},
        ProgramRow{"wait 1 2",
                   {"line 1: expected the end of the line after wait SECONDS, found '2'"}},
        ProgramRow{"moveTo 0.4 0 0.3 3.1 0",
                   {"line 1: expected a finite number for yaw of moveTo x y z roll pitch yaw (m, "
                    "rad), found the end of the line"}},
        ProgramRow{"setForceControlLimits 20",
                   {"line 1: expected a finite number for argument 2 of setForceControlLimits "
                    "(maxRotation_deg), found the end of the line; setForceControlLimits takes: "
                    "maxTranslation_mm, maxRotation_deg"}},
        ProgramRow{"moveTo 0.4 0 0.3 3.1 0 0 7",
                   {"line 1: expected the end of the line after moveTo's six numbers, found '7'"}},
        ProgramRow{"push 60 0 0 -1",
                   {"line 1: expected a finite number, 0 or more, for SECONDS of push FX FY FZ "
                    "SECONDS (N, world axes; s), found '-1'"}},
        ProgramRow{"print Torque",
                   {"line 1: expected a stage after print (Raw, SensorFrame, Tool, Filtered or "
                    "Position), found 'Torque'"}},
        ProgramRow{"activateForceControl(true, false",
                   {"line 1: expected ')' at the end of the line to close the arguments of "
                    "activateForceControl"}},
        ProgramRow{"removeFilter \"open", {"line 1: expected a closing '\"' for the name"}},
        ProgramRow{
            "setForceTrackValue [0 0 -10",
            {"line 1: expected ']' after the 3 numbers of argument 1 of setForceTrackValue "
             "(force), found the end of the line; setForceTrackValue takes: force (3 numbers)"}},
        ProgramRow{"setForceControlGains nan 5 0.01",
                   {"line 1: expected a finite number for argument 1 of setForceControlGains "
                    "(translation_gain), found 'nan'; setForceControlGains takes: "
                    "translation_gain, rotation_gain, track_smoothing"}}));

// --list-functions is itself a program: each of the device's 38 functions
// once, in slot order, then the interpreter's five statements.
TEST(FunctionTable, Listing_Parsed_EveryFunctionOnceInSlotOrderThenTheStatements) {
  const ParseResult r = parseProgram(functionListing());
  ASSERT_TRUE(r.program) << r.error->message;
  const auto& statements = r.program->statements;
  ASSERT_EQ(statements.size(), 43u);
  for (std::size_t i = 0; i < 38; ++i)
    EXPECT_EQ(std::get<Call>(statements[i].action).function, &functionTable()[i]) << i;
  EXPECT_EQ(describe(statements[0]), "1: readForceRaw");
  EXPECT_EQ(describe(statements[34]), "35: setForceLimits 150 15");
  EXPECT_EQ(describe(statements[37]), "38: setForceControlFrame #0");
  EXPECT_EQ(describe(statements[42]), "43: hostDeactivate");
}

}  // namespace
