#include "apps/vorel-sim/options.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "sim/scenario/fault_spec.h"

namespace vorel_sim_app {

namespace {

std::optional<double> positiveNumber(const std::string& text) {
  if (text.empty())
    return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size() || errno == ERANGE || !std::isfinite(value) ||
      value <= 0.0) {
    return std::nullopt;
  }
  return value;
}

std::optional<long> integer(const std::string& text) {
  if (text.empty())
    return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (end != text.c_str() + text.size() || errno == ERANGE)
    return std::nullopt;
  return value;
}

}  // namespace

const std::vector<std::string>& scenarioNames() {
  static const std::vector<std::string> names = {"contact", "hold",     "filters",
                                                 "faults",  "identify", "guide"};
  return names;
}

namespace {

// "A,B,C...": exactly `n` finite numbers separated by commas, into `out`.
bool parseNumbers(std::string rest, int n, double* out) {
  for (int i = 0; i < n; ++i) {
    const auto comma = rest.find(',');
    if ((i < n - 1) != (comma != std::string::npos))
      return false;
    const std::string part = i < n - 1 ? rest.substr(0, comma) : rest;
    char* end = nullptr;
    const double value = std::strtod(part.c_str(), &end);
    if (part.empty() || *end != '\0' || !std::isfinite(value))
      return false;
    out[i] = value;
    if (i < n - 1)
      rest = rest.substr(comma + 1);
  }
  return true;
}

// "MASS:CX,CY,CZ": a mass above 0 and three finite numbers.
std::optional<Options::Tool> parseTool(const std::string& text) {
  const auto colon = text.find(':');
  if (colon == std::string::npos)
    return std::nullopt;
  Options::Tool tool;
  const auto mass = positiveNumber(text.substr(0, colon));
  if (!mass || !parseNumbers(text.substr(colon + 1), 3, tool.cog))
    return std::nullopt;
  tool.mass = *mass;
  return tool;
}

}  // namespace

std::string usageText() {
  return "usage: vorel-sim [--scenario NAME | --program FILE] [options]\n"
         "\n"
         "Loads libvorel_device.so like a robot-controller host, drives the force/torque\n"
         "sensor device through its whole lifecycle against a simulated controller and\n"
         "sensor, runs a robot program and prints a summary.\n"
         "\n"
         "  --scenario NAME     contact (default), hold, filters, faults, identify or guide\n"
         "  --program FILE      run a robot program file instead (one call per line)\n"
         "  --config FILE       device configuration XML (default: config/vorel_ft_sensor.xml)\n"
         "  --device-lib PATH   the plug-in (default: ../lib/libvorel_device.so next to "
         "vorel-sim)\n"
         "  --port PATH         a serial device (real sensor or pseudo-terminal) instead of\n"
         "                      the built-in sensor emulator\n"
         "  --duration SECONDS  stop the robot program after this much controller time\n"
         "  --rate HZ           sensor frequency, activation parameter 1 (default: the config's)\n"
         "  --priority N        real-time priority of the device's force-control thread,\n"
         "                      activation parameter 2: 1..98 (SCHED_FIFO; the sensor reader\n"
         "                      one below), 0 normal scheduling (default: the config's)\n"
         "  --tool MASS:CX,CY,CZ  the simulated cell's true tool: kg, and its centre of\n"
         "                      gravity in m, flange coordinates from the flange origin\n"
         "                      (default: the cell's 0.8 kg at (0, 0, 0.04) m, as the\n"
         "                      configuration says)\n"
         "  --sensor-pose X,Y,Z,ROLL,PITCH,YAW  the sensor's pose on the flange (m, rad)\n"
         "                      for the device and the simulated cell, instead of the\n"
         "                      configuration's mounting argument 1\n"
         "  --load N            N CPU-bound processes run beside the device for the whole\n"
         "                      run (with --measure: to measure under load)\n"
         "  --trace FILE        CSV trace, one row per 2 ms controller cycle\n"
         "  --blackbox DIR      directory of the device's black-box files (default: the\n"
         "                      configuration's, else vorel-blackbox in the working directory)\n"
         "  --processes N       1 (default), or 2: the activating device in a second process\n"
         "  --seed N            seed of the simulated noise and faults (default 1)\n"
         "  --fault FAULT       a line fault of the sensor emulator, seconds after the\n"
         "                      program starts (repeatable): crc:P[@T[-E]] (wrong CRCs with\n"
         "                      probability P), bytes:P[@T[-E]] (bytes dropped and inserted),\n"
         "                      garbage:D[@T] (random bytes for D, e.g. 1s), hangup[@T],\n"
         "                      status:BITS:P[@T[-E]] (frames flagged with status BITS,\n"
         "                      e.g. 0x04, with probability P), nan[@T] (one frame with\n"
         "                      fz = NaN), mutex-holder[@T] (a process dies holding\n"
         "                      VorelNamedMutex), signals[@T] (SIGUSR1 at 1 kHz for 1 s),\n"
         "                      activator-kill[@T] (SIGKILL to the activating process of\n"
         "                      --processes 2)\n"
         "  --measure FILE      run the built-in measurement program (force control on z,\n"
         "                      force steps from the sensor) for --duration seconds (default\n"
         "                      20) and write its figures to FILE as JSON: step-to-drive and\n"
         "                      frame-to-publication latency, worker CPU, resident memory,\n"
         "                      missed controller cycles (force control on, no drive command)\n"
         "  --list-functions    the program functions with an example line each\n"
         "  --help              this text\n"
         "\n"
         "Exit status: 0 when the scenario's criteria hold (for a program: when it ran\n"
         "to its end; for --measure: when the figures were measured and written), 1 when\n"
         "they do not, 2 for bad options or a program that does not parse.\n";
}

namespace {

using Error = std::optional<std::string>;

Error error(const std::string& message) {
  return message;
}

// Takes the value `v` of option `name` into `options`; the message when the
// value is not one the option accepts.
Error takeOption(Options& options, const std::string& name, const std::string& v_text,
                 bool& scenario_given) {
  const std::string* v = &v_text;
  if (name == "--scenario") {
    const auto& names = scenarioNames();
    if (std::find(names.begin(), names.end(), *v) == names.end()) {
      return error("unknown scenario '" + *v +
                   "': expected contact, hold, filters, faults, identify or guide");
    }
    options.scenario = *v;
    scenario_given = true;
  } else if (name == "--program") {
    options.program_file = *v;
  } else if (name == "--config") {
    options.config_file = *v;
  } else if (name == "--device-lib") {
    options.device_lib = *v;
  } else if (name == "--port") {
    options.port = *v;
  } else if (name == "--trace") {
    options.trace_file = *v;
  } else if (name == "--blackbox") {
    if (v->empty())
      return error("--blackbox expects a directory");
    options.blackbox_dir = *v;
  } else if (name == "--duration") {
    const auto seconds = positiveNumber(*v);
    if (!seconds)
      return error("--duration expects a number of seconds above 0, found '" + *v + "'");
    options.duration_s = *seconds;
  } else if (name == "--rate") {
    const auto hz = positiveNumber(*v);
    if (!hz)
      return error("--rate expects a frequency in Hz above 0, found '" + *v + "'");
    options.rate_hz = *hz;
  } else if (name == "--processes") {
    const auto n = integer(*v);
    if (!n || (*n != 1 && *n != 2))
      return error("--processes expects 1 or 2, found '" + *v + "'");
    options.processes = static_cast<int>(*n);
  } else if (name == "--seed") {
    const auto n = integer(*v);
    if (!n || *n < 0)
      return error("--seed expects a whole number 0 or more, found '" + *v + "'");
    options.seed = static_cast<unsigned long>(*n);
  } else if (name == "--priority") {
    const auto n = integer(*v);
    if (!n || *n < 0 || *n > 98)
      return error("--priority expects a whole number from 0 to 98, found '" + *v + "'");
    options.priority = static_cast<int>(*n);
  } else if (name == "--load") {
    const auto n = integer(*v);
    if (!n || *n < 0 || *n > 64)
      return error("--load expects a number of processes from 0 to 64, found '" + *v + "'");
    options.load_processes = static_cast<int>(*n);
  } else if (name == "--tool") {
    const auto tool = parseTool(*v);
    if (!tool) {
      return error(
          "--tool expects MASS:CX,CY,CZ (kg above 0, then m), e.g. 1.25:0.012,-0.004,"
          "0.065, found '" +
          *v + "'");
    }
    options.tool = *tool;
  } else if (name == "--sensor-pose") {
    std::array<double, 6> pose{};
    if (!parseNumbers(*v, 6, pose.data())) {
      return error(
          "--sensor-pose expects X,Y,Z,ROLL,PITCH,YAW (m, then rad), e.g. 0,0,0.035,0,0,1.5708, "
          "found '" +
          *v + "'");
    }
    options.sensor_pose = pose;
  } else if (name == "--fault") {
    const FaultSpecResult fault = parseFaultSpec(*v);
    if (!fault.error.empty())
      return error(fault.error);
    options.faults.insert(options.faults.end(), fault.steps.begin(), fault.steps.end());
  } else if (name == "--measure") {
    options.measure_file = *v;
  } else if (name == "--role") {
    if (*v != "activator" && *v != "mutex-holder")
      return error("--role expects activator or mutex-holder, found '" + *v + "'");
    (*v == "activator" ? options.activator_role : options.mutex_holder_role) = true;
  } else if (name == "--control-fd" || name == "--backend-fd") {
    const auto n = integer(*v);
    if (!n || *n < 0)
      return error(name + " expects a descriptor number, found '" + *v + "'");
    (name == "--control-fd" ? options.control_fd : options.backend_fd) = static_cast<int>(*n);
  }
  return std::nullopt;
}

// The options that exclude or need each other; puts the fault steps in the
// order of their times.
Error checkCombination(Options& options, bool scenario_given) {
  if (scenario_given && options.program_file) {
    return error("--scenario and --program exclude each other: give one");
  }
  if (options.measure_file) {
    if (scenario_given || options.program_file)
      return error("--measure runs its own program: give no --scenario or --program");
    if (options.port)
      return error("--measure needs the built-in sensor emulator: give no --port");
    if (options.processes != 1)
      return error(
          "--measure reads the workers' CPU clocks in this process: give no --processes 2");
    if (!options.faults.empty())
      return error("--measure measures a clean line: give no --fault");
    if (options.duration_s && *options.duration_s < 2.0)
      return error("--measure needs a --duration of 2 s or more");
  }
  if (!options.faults.empty()) {
    if (options.port)
      return error("--fault needs the built-in sensor emulator: give no --port");
    if (scenario_given && options.scenario == "faults")
      return error("the faults scenario has its own fault plan: give no --fault");
    for (const FaultStep& step : options.faults) {
      if (step.kind == FaultStep::Kind::ActivatorKill && options.processes != 2)
        return error("--fault activator-kill kills the activating process: give --processes 2");
    }
    // One plan, in the order of the steps' times (steps of one time keep
    // their order).
    std::stable_sort(options.faults.begin(), options.faults.end(),
                     [](const FaultStep& a, const FaultStep& b) { return a.at_s < b.at_s; });
  }
  if (options.activator_role && (options.control_fd < 0 || options.backend_fd < 0)) {
    return error("--role activator needs --control-fd and --backend-fd");
  }
  return std::nullopt;
}

}  // namespace

OptionsResult parseOptions(const std::vector<std::string>& args) {
  OptionsResult result;
  Options options;
  bool scenario_given = false;
  auto fail = [&](const std::string& message) {
    result.error = message;
    return result;
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    std::optional<std::string> inline_value;
    const auto eq = name.find('=');
    if (name.rfind("--", 0) == 0 && eq != std::string::npos) {
      inline_value = name.substr(eq + 1);
      name = name.substr(0, eq);
    }
    if (name == "--help" || name == "-h") {
      options.help = true;
      continue;
    }
    if (name == "--list-functions") {
      options.list_functions = true;
      continue;
    }
    static const std::vector<std::string> kWithValue = {
        "--scenario", "--program",    "--config",     "--device-lib", "--port",
        "--duration", "--rate",       "--trace",      "--processes",  "--seed",
        "--fault",    "--measure",    "--priority",   "--load",       "--tool",
        "--role",     "--control-fd", "--backend-fd", "--sensor-pose"};
    if (std::find(kWithValue.begin(), kWithValue.end(), name) == kWithValue.end())
      return fail("unknown option '" + args[i] + "' (see --help)");
    std::optional<std::string> v = inline_value;
    if (!v && i + 1 < args.size())
      v = args[++i];
    if (!v || v->empty())
      return fail("option " + name + " needs a value (see --help)");
    if (const Error e = takeOption(options, name, *v, scenario_given))
      return fail(*e);
  }
  if (const Error e = checkCombination(options, scenario_given))
    return fail(*e);
  result.options = options;
  return result;
}

}  // namespace vorel_sim_app
