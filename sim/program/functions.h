// The device's robot-program functions as a program calls them: one table,
// in the order of the device's virtual slots, with each function's
// arguments, an example line, a short help text and how the runner calls the
// device. The parser reads the names and arguments from it, the runner the
// call, `vorel-sim --list-functions` the examples and the help.
#pragma once

#include <string>
#include <variant>
#include <vector>

namespace vorel_device {
class VorelFTSensor;
}

namespace vorel_sim {

// Kinds of argument in a function's signature.
enum class ArgKind {
  Vector3,     // three numbers (an Array<Number>, rows 0..2)
  Integer,     // an int
  Number,      // a Number
  Boolean,     // true / false
  Name,        // a filter name: a word or a quoted string
  FilterType,  // an int, or a filter type word
};

struct Param {
  ArgKind kind;
  const char* name;  // for messages: "speed", "force"
};

// One argument's value. A Vector3 is three doubles.
struct Vector3 {
  double x = 0.0;
  double y = 0.0;
  double z = 0.0;
};
using Value = std::variant<double, int, bool, std::string, Vector3>;

// Calls the device's function with the parsed `args` (one per Param);
// `values` receives what it read (readouts: 3, readSensorHealth 6,
// identifyToolLoad 4; NaN where the device wrote nothing).
using Invoke = void (*)(vorel_device::VorelFTSensor& device, const std::vector<Value>& args,
                        std::vector<double>& values);
// The result line's text after "<name> = ", from the values read.
using Describe = std::string (*)(const std::vector<double>& values);

struct FunctionInfo {
  const char* name;
  std::vector<Param> args;
  const char* example;  // one line that calls it, as written in a program
  const char* help;     // what it does, in a few words
  Invoke invoke;
  // The runner prints the call before it unless `quiet`, and the line
  // "<name> = <result>" after it when `result` is set.
  Describe result = nullptr;
  bool quiet = false;
};

// The functions in slot order.
const std::vector<FunctionInfo>& functionTable();
// The function of that exact name (case matters), or nullptr.
const FunctionInfo* functionByName(const std::string& name);

// The interpreter's own statements (not device functions).
struct StatementInfo {
  const char* name;
  const char* example;
  const char* help;
};
const std::vector<StatementInfo>& statementTable();

// "(0.012, -0.003, -9.998)" with the given decimals.
std::string triple(const double* v, int decimals);

// --list-functions: each function's example with its help as a comment,
// then the interpreter's statements: a valid program, one line each.
std::string functionListing();

}  // namespace vorel_sim
