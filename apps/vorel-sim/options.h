// Options of vorel-sim, parsed from the command line. Pure: nothing is opened
// or checked on disk here.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "sim/scenario/fault_step.h"

namespace vorel_sim {

struct Options {
  // What to run: a built-in scenario (default "contact") or a program file.
  std::string scenario = "contact";
  std::optional<std::string> program_file;
  // Device configuration (XML); empty: the default one shipped with vorel-sim.
  std::optional<std::string> config_file;
  // libvorel_device.so; empty: ../lib/libvorel_device.so next to the executable.
  std::optional<std::string> device_lib;
  // A serial device to use instead of the built-in sensor emulator.
  std::optional<std::string> port;
  // Caps the robot program (s of controller time); empty: no cap.
  std::optional<double> duration_s;
  // Sensor frequency handed to the device as activation parameter 1 (Hz);
  // empty: the configuration's.
  std::optional<double> rate_hz;
  // CSV trace, one row per controller cycle; empty: the scenario's own file
  // (vorel-sim-<scenario>.csv), none for a program file.
  std::optional<std::string> trace_file;
  // The device's black-box directory (the configuration's <blackbox>
  // <directory>); empty: the configuration's.
  std::optional<std::string> blackbox_dir;
  // Line faults of the sensor emulator (--fault, any number), in the order of
  // their times (s after the robot program starts).
  std::vector<FaultStep> faults;
  // --measure: run the built-in measurement program and write its figures
  // to this file as JSON.
  std::optional<std::string> measure_file;
  // Real-time priority of the device's force-control thread, handed to the
  // device as activation parameter 2 (0: normal scheduling); empty: the
  // configuration's.
  std::optional<int> priority;
  // The simulated cell's true tool (--tool MASS:CX,CY,CZ): kg, and the
  // centre of gravity in m, flange coordinates from the flange origin (as the
  // configuration's tool load); empty: the cell's own (or the scenario's).
  struct Tool {
    double mass = 0.0;
    double cog[3] = {0.0, 0.0, 0.0};
  };
  std::optional<Tool> tool;
  // The sensor's pose on the flange (--sensor-pose X,Y,Z,ROLL,PITCH,YAW: m,
  // rad), replacing the configuration's mounting argument 1 for the device
  // and the simulated cell alike; empty: the configuration's.
  std::optional<std::array<double, 6>> sensor_pose;
  // CPU-bound child processes that run for the whole run (0: none).
  int load_processes = 0;
  int processes = 1;       // 1, or 2: activating device in a second process
  unsigned long seed = 1;  // noise and fault generators of the simulated cell

  bool help = false;
  bool version = false;
  bool list_functions = false;

  // Internal: the second process of --processes 2 (--role activator), and the
  // child of the mutex-holder fault (--role mutex-holder).
  bool activator_role = false;
  bool mutex_holder_role = false;
  int control_fd = -1;
  int backend_fd = -1;
};

struct OptionsResult {
  std::optional<Options> options;
  std::string error;  // set when options is empty
};

// args: the arguments after the program name.
OptionsResult parseOptions(const std::vector<std::string>& args);

// The usage text printed by --help.
std::string usageText();

// The built-in scenarios, in the order --help lists them.
const std::vector<std::string>& scenarioNames();

}  // namespace vorel_sim
