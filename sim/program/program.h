// Program: a robot program for vorel-sim, parsed from text. One statement per
// line:
//
//   # a comment (also after a statement)
//   tareSensor
//   setForceTrackValue 0 0 -10          an array argument: three numbers
//   setForceTrackValue(0, 0, -10)       the same, with parentheses and commas
//   setForceTrackValue [0, 0, -10]      brackets may group the three numbers
//   activateForceControl true false     booleans: true / false
//   addFilter smooth lowpass 0 0 10 0 0 filter names are words (or "quoted");
//                                       types 1..4 or lowpass, notch,
//                                       ratelimiter, highpassratelimiter
//   moveToContact 0 2 -20 5 100 10      int, int, then four numbers
//   readForce                           a readout: prints the three values
//   wait 1.5                            seconds of controller time
//   print Filtered                      one readout line: Raw, SensorFrame,
//                                       Tool or Filtered (force and torque),
//                                       or Position (TCP in the world, m)
//   hostDeactivate                      the host deactivates the device
//                                       (onDeactivate), whatever it is doing
//   moveTo 0.4 0 0.3 3.1416 0 0         moves the TCP to x y z (m) with roll
//                                       pitch yaw (rad), world frame, and
//                                       waits until the robot has arrived
//   push 60 0 0 1                       an external force on the tool (N,
//                                       world axes) for 1 s of controller
//                                       time, felt by the sensor; waits that long
//
// Any of the device's 34 robot-program functions may be called by its own
// name. Readouts (read...) take no argument: their array is their result.
// Numbers must be finite. The parser is pure: it reads text and touches
// nothing, so a program with an error is refused as a whole before anything
// moves.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "sim/program/functions.h"

namespace vorel_sim {

// What `print` reads out.
enum class Stage { Raw, SensorFrame, Tool, Filtered, Position };

// The readout word of `print` and the functions it calls (none for
// Position).
struct StageInfo {
  const char* word;
  Stage stage;
  const char* force;
  const char* torque;
};
const StageInfo& stageInfo(Stage stage);
const char* stageName(Stage stage);

struct Call {
  const FunctionInfo* function;
  std::vector<Value> args;  // one per Param of the function
  // Whether this calls the function `name`; throws std::logic_error when no
  // function has that name.
  bool calls(const char* name) const;
};
struct Wait {
  double seconds = 0.0;
};
struct Print {
  Stage stage = Stage::Tool;
};
struct HostDeactivate {};
// A TCP pose in the world: position (m), roll pitch yaw (rad).
struct MoveTo {
  double pose[6] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
};
// An external force on the tool, world axes (N), for `seconds` of
// controller time.
struct Push {
  double force[3] = {0.0, 0.0, 0.0};
  double seconds = 0.0;
};

struct Statement {
  int line = 0;      // 1-based line number in the source
  std::string text;  // the line as written, without comment and outer blanks
  std::variant<Call, Wait, Print, HostDeactivate, MoveTo, Push> action;
};

struct ParseError {
  int line = 0;
  std::string message;  // what was expected and what was found
};

struct Program {
  std::vector<Statement> statements;
};

// Parses a whole program. On the first line that does not parse, returns
// that error and no program.
struct ParseResult {
  std::optional<Program> program;
  std::optional<ParseError> error;
};
ParseResult parseProgram(const std::string& text);

// Parses one line (1-based `line_number`); an empty or comment-only line
// gives neither statement nor error.
struct LineResult {
  std::optional<Statement> statement;
  std::optional<ParseError> error;
};
LineResult parseLine(const std::string& line, int line_number);

// The call as a program would write it: "moveToContact(0, 2, -20, 5, 100, 10)".
std::string formatCall(const Call& call);

}  // namespace vorel_sim
