#include "apps/vorel-sim/options.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>

#include <CLI/CLI.hpp>

#include "sim/scenario/fault_spec.h"

namespace vorel_sim {

const std::vector<std::string>& scenarioNames() {
  static const std::vector<std::string> names = {
      "contact", "hold", "filters", "faults", "identify", "guide", "deadband", "spring", "surface"};
  return names;
}

namespace {

using Error = std::optional<std::string>;

std::optional<double> positiveNumber(const std::string& text) {
  errno = 0;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size() || errno == ERANGE || !std::isfinite(value) ||
      value <= 0.0) {
    return std::nullopt;
  }
  return value;
}

// A whole number from `lo` to `hi`, or empty.
std::optional<long> wholeNumber(const std::string& text, long lo, long hi) {
  if (text.empty())
    return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (end != text.c_str() + text.size() || errno == ERANGE || value < lo || value > hi)
    return std::nullopt;
  return value;
}

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

// The options read so far.
struct Reading {
  Options options;
  bool scenario_given = false;
  std::string message;  // why a value was refused, when its row has no `expects`
};

// `text` as a whole number from `lo` to `hi` into `out`; false when it is
// none.
template <typename T>
bool whole(const std::string& text, long lo, long hi, T& out) {
  const auto n = wholeNumber(text, lo, hi);
  if (n)
    out = static_cast<T>(*n);
  return n.has_value();
}

// Takes one value of an option into `r`; false when the option does not
// accept it.
using Take = bool (*)(Reading& r, const std::string& v);

struct OptionRow {
  const char* name;
  const char* value_name;
  const char* help;  // empty: internal, not listed by --help
  // A file or path option: the value is taken as it is.
  std::optional<std::string> Options::*text = nullptr;
  // Any other: `take`, and the message "<expects>, found '<value>'" when it
  // refuses the value (without `expects`, the message `take` left).
  Take take = nullptr;
  const char* expects = nullptr;
};

// Every option with a value, in the order --help lists them.
const OptionRow kOptions[] = {
    {"--scenario", "NAME", "contact (default), hold, filters, faults, identify or guide", nullptr,
     [](Reading& r, const std::string& v) {
       const auto& names = scenarioNames();
       r.message = "unknown scenario '" + v +
                   "': expected contact, hold, filters, faults, identify or guide";
       r.scenario_given = std::find(names.begin(), names.end(), v) != names.end();
       if (r.scenario_given)
         r.options.scenario = v;
       return r.scenario_given;
     },
     nullptr},
    {"--program", "FILE", "run a robot program file instead (one call per line)",
     &Options::program_file},
    {"--config", "FILE", "device configuration XML (default: config/vorel_ft_sensor.xml)",
     &Options::config_file},
    {"--device-lib", "PATH", "the plug-in (default: ../lib/libvorel_device.so next to vorel-sim)",
     &Options::device_lib},
    {"--port", "PATH",
     "a serial device (real sensor or pseudo-terminal) instead of\nthe built-in sensor emulator",
     &Options::port},
    {"--duration", "SECONDS", "stop the robot program after this much controller time", nullptr,
     [](Reading& r, const std::string& v) {
       return bool(r.options.duration_s = positiveNumber(v));
     },
     "--duration expects a number of seconds above 0"},
    {"--rate", "HZ", "sensor frequency, activation parameter 1 (default: the config's)", nullptr,
     [](Reading& r, const std::string& v) { return bool(r.options.rate_hz = positiveNumber(v)); },
     "--rate expects a frequency in Hz above 0"},
    {"--priority", "N",
     "real-time priority of the device's force-control thread,\nactivation parameter 2: 1..98 "
     "(SCHED_FIFO; the sensor reader\none below), 0 normal scheduling (default: the config's)",
     nullptr,
     [](Reading& r, const std::string& v) {
       int n = 0;
       if (!whole(v, 0, 98, n))
         return false;
       r.options.priority = n;
       return true;
     },
     "--priority expects a whole number from 0 to 98"},
    {"--tool", "MASS:CX,CY,CZ",
     "the simulated cell's true tool: kg, and its centre of\ngravity in m, flange coordinates "
     "from the flange origin\n(default: the cell's 0.8 kg at (0, 0, 0.04) m, as the\n"
     "configuration says)",
     nullptr, [](Reading& r, const std::string& v) { return bool(r.options.tool = parseTool(v)); },
     "--tool expects MASS:CX,CY,CZ (kg above 0, then m), e.g. 1.25:0.012,-0.004,0.065"},
    {"--sensor-pose", "X,Y,Z,ROLL,PITCH,YAW",
     "the sensor's pose on the flange (m, rad) for the device and\nthe simulated cell, instead of "
     "the configuration's mounting\nargument 1",
     nullptr,
     [](Reading& r, const std::string& v) {
       std::array<double, 6> pose{};
       if (parseNumbers(v, 6, pose.data()))
         r.options.sensor_pose = pose;
       return r.options.sensor_pose.has_value();
     },
     "--sensor-pose expects X,Y,Z,ROLL,PITCH,YAW (m, then rad), e.g. 0,0,0.035,0,0,1.5708"},
    {"--load", "N",
     "N CPU-bound processes run beside the device for the whole\nrun (with --measure: to measure "
     "under load)",
     nullptr,
     [](Reading& r, const std::string& v) { return whole(v, 0, 64, r.options.load_processes); },
     "--load expects a number of processes from 0 to 64"},
    {"--trace", "FILE", "CSV trace, one row per 2 ms controller cycle", &Options::trace_file},
    {"--blackbox", "DIR",
     "directory of the device's black-box files (default: the\nconfiguration's, else "
     "vorel-blackbox in the working directory)",
     &Options::blackbox_dir},
    {"--processes", "N", "1 (default), or 2: the activating device in a second process", nullptr,
     [](Reading& r, const std::string& v) { return whole(v, 1, 2, r.options.processes); },
     "--processes expects 1 or 2"},
    {"--seed", "N", "seed of the simulated noise and faults (default 1)", nullptr,
     [](Reading& r, const std::string& v) { return whole(v, 0, LONG_MAX, r.options.seed); },
     "--seed expects a whole number 0 or more"},
    {"--fault", "FAULT",
     "a line fault of the sensor emulator, seconds after the\nprogram starts (repeatable): "
     "crc:P[@T[-E]] (wrong CRCs with\nprobability P), bytes:P[@T[-E]] (bytes dropped and "
     "inserted),\ngarbage:D[@T] (random bytes for D, e.g. 1s), hangup[@T],\n"
     "status:BITS:P[@T[-E]] (frames flagged with status BITS,\ne.g. 0x04, with probability P), "
     "nan[@T] (one frame with\nfz = NaN), mutex-holder[@T] (a process dies holding\n"
     "VorelNamedMutex), signals[@T] (SIGUSR1 at 1 kHz for 1 s),\nactivator-kill[@T] (SIGKILL to "
     "the activating process of\n--processes 2)",
     nullptr,
     [](Reading& r, const std::string& v) {
       const FaultSpecResult fault = parseFaultSpec(v);
       r.message = fault.error;
       r.options.faults.insert(r.options.faults.end(), fault.steps.begin(), fault.steps.end());
       return fault.error.empty();
     },
     nullptr},
    {"--measure", "FILE",
     "run the built-in measurement program (force control on z,\nforce steps from the sensor) for "
     "--duration seconds (default\n20) and write its figures to FILE as JSON: step-to-drive and\n"
     "frame-to-publication latency, worker CPU, resident memory,\nmissed controller cycles (force "
     "control on, no drive command)",
     &Options::measure_file},
    // The second process of --processes 2 (--role activator) and the child
    // of the mutex-holder fault (--role mutex-holder).
    {"--role", "ROLE", "", nullptr,
     [](Reading& r, const std::string& v) {
       if (v != "activator" && v != "mutex-holder")
         return false;
       (v == "activator" ? r.options.activator_role : r.options.mutex_holder_role) = true;
       return true;
     },
     "--role expects activator or mutex-holder"},
    {"--control-fd", "FD", "", nullptr,
     [](Reading& r, const std::string& v) { return whole(v, 0, INT_MAX, r.options.control_fd); },
     "--control-fd expects a descriptor number"},
    {"--backend-fd", "FD", "", nullptr,
     [](Reading& r, const std::string& v) { return whole(v, 0, INT_MAX, r.options.backend_fd); },
     "--backend-fd expects a descriptor number"},
};

// The options that exclude or need each other; puts the fault steps in the
// order of their times.
Error checkCombination(Reading& r) {
  Options& o = r.options;
  if (r.scenario_given && o.program_file)
    return "--scenario and --program exclude each other: give one";
  if (o.measure_file) {
    if (r.scenario_given || o.program_file)
      return "--measure runs its own program: give no --scenario or --program";
    if (o.port)
      return "--measure needs the built-in sensor emulator: give no --port";
    if (o.processes != 1)
      return "--measure reads the workers' CPU clocks in this process: give no --processes 2";
    if (!o.faults.empty())
      return "--measure measures a clean line: give no --fault";
    if (o.duration_s && *o.duration_s < 2.0)
      return "--measure needs a --duration of 2 s or more";
  }
  if (!o.faults.empty()) {
    if (o.port)
      return "--fault needs the built-in sensor emulator: give no --port";
    if (r.scenario_given && o.scenario == "faults")
      return "the faults scenario has its own fault plan: give no --fault";
    for (const FaultStep& step : o.faults) {
      if (step.kind == FaultStep::Kind::ActivatorKill && o.processes != 2)
        return "--fault activator-kill kills the activating process: give --processes 2";
    }
    // One plan, in the order of the steps' times (steps of one time keep
    // their order).
    std::stable_sort(o.faults.begin(), o.faults.end(),
                     [](const FaultStep& a, const FaultStep& b) { return a.at_s < b.at_s; });
  }
  if (o.activator_role && (o.control_fd < 0 || o.backend_fd < 0))
    return "--role activator needs --control-fd and --backend-fd";
  return std::nullopt;
}

// The command line of vorel-sim, reading into `r`. A value the option does
// not take throws CLI::ValidationError with the option's own message.
void defineOptions(CLI::App& app, Reading& r) {
  app.name("vorel-sim");
  app.description(
      "Loads libvorel_device.so like a robot-controller host, drives the force/torque\n"
      "sensor device through its whole lifecycle against a simulated controller and\n"
      "sensor, runs a robot program and prints a summary.");
  app.footer(
      "Exit status: 0 when the scenario's criteria hold (for a program: when it ran\n"
      "to its end; for --measure: when the figures were measured and written), 1 when\n"
      "they do not, 2 for bad options or a program that does not parse.");
  app.get_formatter()->column_width(24);
  for (const OptionRow& row : kOptions) {
    const std::string name = row.name;
    CLI::Option* option = app.add_option_function<std::vector<std::string>>(
        name,
        [&r, &row, name](const std::vector<std::string>& values) {
          for (const std::string& v : values) {
            if (v.empty())
              throw CLI::ValidationError("option " + name + " needs a value (see --help)");
            if (row.text)
              r.options.*row.text = v;
            else if (!row.take(r, v))
              throw CLI::ValidationError(
                  row.expects ? std::string(row.expects) + ", found '" + v + "'" : r.message);
          }
        },
        row.help);
    option->type_name(row.value_name)
        ->expected(1)
        ->allow_extra_args(false)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    if (*row.help == '\0')
      option->group("");
  }
  app.add_flag("--list-functions", r.options.list_functions,
               "the program functions and statements: an example line each, with its help");
  app.add_flag("--version", r.options.version, "the version of vorel-sim and its plug-in");
}

}  // namespace

std::string usageText() {
  Reading r;
  CLI::App app;
  defineOptions(app, r);
  return app.help();
}

OptionsResult parseOptions(const std::vector<std::string>& args) {
  OptionsResult result;
  Reading r;
  CLI::App app;
  defineOptions(app, r);
  // CLI11 takes the arguments last first.
  std::vector<std::string> reversed(args.rbegin(), args.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    r.options.help = true;
    result.options = r.options;
    return result;
  } catch (const CLI::ValidationError& e) {
    result.error = e.what();
    return result;
  } catch (const CLI::ParseError& e) {
    result.error = std::string(e.what()) + " (see --help)";
    return result;
  }
  if (const Error e = checkCombination(r)) {
    result.error = *e;
    return result;
  }
  result.options = r.options;
  return result;
}

}  // namespace vorel_sim
