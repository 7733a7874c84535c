#include "apps/vorel-sim/session.h"

#include <unistd.h>

#include <atomic>
#include <boost/make_shared.hpp>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>

#include "bench/e2e/measurement.h"
#include "host/hx4_api.h"
#include "sim/controller/clock_priority.h"
#include "sim/host/device_config.h"
#include "sim/host/device_host.h"
#include "sim/host/host_files.h"
#include "sim/host/output_monitor.h"
#include "sim/host/run_guard.h"
#include "sim/observe/segment_tap.h"
#include "sim/program/program.h"
#include "sim/program/program_runner.h"
#include "sim/remote/activator_process.h"
#include "sim/scenario/cpu_load.h"
#include "sim/scenario/run_data.h"
#include "sim/scenario/run_recording.h"
#include "sim/scenario/scenarios.h"
#include "sim/world/simulated_cell.h"

namespace vorel_sim {

namespace {

constexpr std::chrono::milliseconds kActivationGuard{10000};
constexpr std::chrono::milliseconds kTerminationGuard{5000};
constexpr std::chrono::milliseconds kReadyGuard{5000};

// Errors before the run starts go to standard error.
void complain(const std::string& line) {
  std::fprintf(stderr, "%s\n", line.c_str());
}

void say(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

// One run, phase by phase. A phase that returns a status other than 0 ends
// the run before anything was started (bad input); from the start of the cell
// on, failures are reported in the summary and the wind-down always runs.
class Session {
 public:
  explicit Session(const Options& options)
      : options_(options), paths_(HostFiles::resolve(options.device_lib, options.config_file)) {}

  int run() {
    if (const int status = readProgram())
      return status;
    if (const int status = readConfiguration())
      return status;
    announce();
    if (const int status = buildCell())
      return status;
    startCell();
    openRecording();
    try {
      runDevice();
    } catch (const std::exception& e) {
      say(std::string("vorel-sim: ") + e.what());
      data_.setup_error = e.what();
      status_ = 1;
    }
    windDown();
    return summarise();
  }

 private:
  using Backend = hx4_program_api_internals::ControllerBackend;

  int readProgram();
  int readConfiguration();
  void announce();
  int buildCell();
  void startCell();
  void openRecording();
  void runDevice();
  std::optional<std::string> activate();
  void runProgram();
  void windDown();
  void collect();
  int summarise();

  const Options& options_;
  const HostFiles paths_;
  const Scenario* scenario_ = nullptr;
  std::unique_ptr<Measurement> measurement_;
  std::string program_path_;
  ParseResult parsed_;
  std::optional<DeviceConfig> config_;
  CellSetup setup_;
  std::unique_ptr<SimulatedCell> cell_;
  std::unique_ptr<OutputMonitor> monitor_;
  RunData data_;
  int status_ = 0;
  std::optional<std::chrono::steady_clock::time_point> program_end_;

  // While the cell runs.
  boost::shared_ptr<vorel_sim::SimulatedController> controller_;
  boost::shared_ptr<Backend> backend_;
  std::string port_;
  std::unique_ptr<CpuLoad> load_;
  std::unique_ptr<RunRecording> recording_;
  std::unique_ptr<DeviceHost> host_;
  std::unique_ptr<ActivatorProcess> activator_;
  bool bound_ = false;
};

// 1. The program, parsed whole before anything starts.
int Session::readProgram() {
  std::optional<std::string> text;
  if (options_.measure_file) {
    if (!writable(*options_.measure_file)) {
      complain("vorel-sim: cannot write the measurement file " + *options_.measure_file);
      return 2;
    }
    measurement_ = std::make_unique<Measurement>(Measurement::Plan::forDuration(
        options_.duration_s.value_or(Measurement::kDefaultDurationS)));
    program_path_ = "the built-in measurement program";
    text = measurement_->programText();
  } else if (options_.program_file) {
    program_path_ = *options_.program_file;
    text = readFile(program_path_);
  } else {
    scenario_ = &scenarioByName(options_.scenario);
    program_path_ = paths_.programs_dir + "/" + scenario_->name + ".prog";
    text = readFile(program_path_);
  }
  if (!text) {
    complain("vorel-sim: cannot read the program " + program_path_);
    return 2;
  }
  parsed_ = parseProgram(*text);
  if (parsed_.error) {
    complain("vorel-sim: " + program_path_ + ": line " + std::to_string(parsed_.error->line) +
             ": " + parsed_.error->message);
    complain("vorel-sim: the program was not run: nothing was started and nothing moved");
    return 2;
  }
  if (scenario_ && scenario_->needs_emulator && options_.port) {
    complain("vorel-sim: the " + scenario_->name +
             " scenario needs the built-in sensor emulator: run it without --port");
    return 2;
  }
  return 0;
}

// 2. The device's configuration with the command line's rate, priority and
// sensor pose.
int Session::readConfiguration() {
  try {
    config_ = DeviceConfig::load(paths_.config_file);
    if (options_.rate_hz)
      config_->setRateHz(*options_.rate_hz);
    if (options_.priority)
      config_->setPriority(*options_.priority);
    if (options_.sensor_pose)
      config_->setSensorPose(*options_.sensor_pose);
    if (options_.blackbox_dir)
      config_->setBlackBoxDirectory(*options_.blackbox_dir);
  } catch (const std::exception& e) {
    complain(std::string("vorel-sim: ") + e.what());
    return 2;
  }
  return 0;
}

void Session::announce() {
  if (scenario_)
    say("vorel-sim: scenario " + scenario_->name + ": " + scenario_->description);
  if (measurement_)
    say(measurement_->announcement());
  say("[host] program " + program_path_ + " (" +
      std::to_string(parsed_.program->statements.size()) + " statements)");
  say("[host] device configuration " + paths_.config_file);
}

// The cell with its tool, the output monitor and the host's console.
int Session::buildCell() {
  RunGuard::blockSignals();
  hx4_program_api::InputDialog::setSink([](const std::string& title, const std::string& message) {
    std::fprintf(stderr, "[DIALOG] %s: %s\n", title.c_str(), message.c_str());
  });
  setup_ = scenario_ ? scenario_->cell : measurement_ ? measurement_->cell() : programCell();
  if (options_.tool) {
    const auto& cog = options_.tool->cog;
    setup_.tool = ToolSpec{options_.tool->mass, hx4rc_api::Vector(cog[0], cog[1], cog[2])};
  }
  // The emulated sensor sits where the configuration says the sensor sits.
  if (const auto pose = config_->sensorPose())
    setup_.sensor_in_flange = *pose;
  else
    say("[host] the configuration gives no finite sensor pose: the simulated sensor sits at "
        "its default place on the flange");
  try {
    cell_ = std::make_unique<SimulatedCell>(setup_, options_.seed, !options_.port);
  } catch (const std::exception& e) {
    complain(std::string("vorel-sim: cannot build the simulated cell: ") + e.what());
    return 1;
  }
  monitor_ = std::make_unique<OutputMonitor>(STDOUT_FILENO, OutputMonitor::devicePatterns(),
                                             [this] { return cell_->now(); });
  monitor_->start();
  // The device's console lines go to standard output, their fail-safe lines
  // stamped as they are written.
  hx4_program_api_internals::Console::setSink([this](const std::string& text) {
    monitor_->stampConsole(text);
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
  });
  data_.plane_z = setup_.plane_z;
  data_.plane_stiffness = setup_.stiffness;
  data_.sensor_in_flange = setup_.sensor_in_flange;
  data_.tool = setup_.tool;
  // A measurement's --duration sets its windows, not a cap.
  data_.duration_cap_s = measurement_ ? std::nullopt : options_.duration_s;
  data_.host_fault_plan = options_.faults;
  return 0;
}

// The controller installed and ticking, the sensor streaming, the load.
void Session::startCell() {
  controller_ = cell_->controller();
  // What the device and the host's API reach: the simulated controller, or
  // during a measurement the same behind the drive-channel probe.
  backend_ =
      measurement_ ? measurement_->attach(controller_) : boost::shared_ptr<Backend>(controller_);
  Backend::install(backend_);
  // The simulated controller must not miss its own ticks under load: its
  // clock runs above the device's force-control thread. The emulated sensor
  // is hardware: its stream does not wait for the host's CPU either.
  const int device_priority = config_->priority();
  controller_->setClockPriority(clockPriorityAbove(device_priority));
  if (cell_->emulator())
    cell_->emulator()->setSenderPriority(clockPriorityAbove(device_priority));
  cell_->start();
  port_ = options_.port ? *options_.port : cell_->emulator()->slavePath();
  config_->setPort(port_);
  try {
    data_.rate_hz = config_->rateHz();
  } catch (const std::exception&) {
  }
  say("[host] simulated controller running: 2 ms cycle, TCP at (0.4, 0, 0.05) m, tool "
      "pointing down");
  say("[host] " + clockSchedulingText(*controller_, device_priority));
  if (options_.load_processes > 0) {
    load_ = std::make_unique<CpuLoad>(options_.load_processes);
    if (measurement_)
      measurement_->setLoadProcesses(load_->running());
    say(fmt("[host] %d CPU-bound load processes running beside the device", load_->running()));
  }
  if (const auto* emulator = cell_->emulator()) {
    say("[host] sensor emulator on " + port_ + fmt(", floor at z = %g m", setup_.plane_z) +
        (emulator->senderPriority() > 0
             ? fmt(", its stream at SCHED_FIFO %d", emulator->senderPriority())
             : std::string(", its stream with normal scheduling")));
  } else {
    say("[host] sensor on " + port_ + " (no emulator: the simulated floor is not felt)");
  }
}

// Per-cycle records, the trace and the fault plan.
void Session::openRecording() {
  RunRecording::Settings settings;
  if (options_.trace_file)
    settings.trace_path = *options_.trace_file;
  else if (scenario_)
    settings.trace_path = "vorel-sim-" + scenario_->name + ".csv";
  settings.host_faults = options_.faults;
  if (scenario_)
    settings.scenario_faults = scenario_->faults;
  settings.measurement = measurement_ != nullptr;
  recording_ = std::make_unique<RunRecording>(
      settings, controller_, cell_->emulator(), [this] { return cell_->now(); }, say);
}

// 3. to 5. Load, create, activate, bind, await the readouts, run the
// program. Throws with the reason when a step fails.
void Session::runDevice() {
  host_ = std::make_unique<DeviceHost>(say);
  host_->load(paths_.device_lib);
  host_->create(boost::make_shared<hx4_program_api::ProgramInterface>(backend_), *config_);
  host_->onCreate();
  host_->onMount();
  if (const auto failure = activate())
    throw std::runtime_error(*failure);
  const auto tap = std::make_shared<SegmentTap>();
  recording_->recorder().setTap(tap);

  const int bind = host_->onBind();
  bound_ = true;
  if (bind != 0)
    throw std::runtime_error("onBind failed: see the ERROR line above");
  if (measurement_)
    measurement_->afterBinding();
  const auto waited = awaitReady(*tap, *controller_, kReadyGuard);
  if (!waited) {
    throw std::runtime_error(
        fmt("no finite tool-frame wrench within %.0f s after onBind: is a sensor sending on %s?",
            kReadyGuard.count() / 1000.0, port_.c_str()));
  }
  say(fmt("[host] device ready: readouts carry measurements %.0f ms after onBind", *waited));
  runProgram();
}

// 4. Activation here through HWReady, or in the second process; the reason
// when it failed.
std::optional<std::string> Session::activate() {
  if (options_.processes == 2) {
    ActivatorProcess::Launch launch{
        paths_.executable, paths_.config_file,    paths_.device_lib,  port_,
        data_.rate_hz,     options_.blackbox_dir, config_->priority()};
    say("[host] starting the activating process");
    activator_ = std::make_unique<ActivatorProcess>(launch, controller_);
    recording_->setActivatorKiller([this](bool& done) { return activator_->kill(done); });
    const auto failure = activator_->awaitActivation(kActivationGuard);
    if (!failure) {
      say("[host] the device in process " + std::to_string(activator_->pid()) +
          " is active; binding here in process " + std::to_string(::getpid()));
    }
    return failure;
  }
  if (measurement_)
    measurement_->beforeActivation();
  const auto failure = host_->activateThroughHWReady(*monitor_, kActivationGuard);
  if (measurement_)
    measurement_->afterActivation();
  return failure;
}

// 5. The robot program on this thread, under the run guard; then the
// program's termination, as the host publishes it.
void Session::runProgram() {
  RunGuard guard([this] { return cell_->now(); }, data_.duration_cap_s,
                 [this] { host_->publishProgramTerminated(kTerminationGuard); });
  ProgramRunner::Context context;
  context.device = &host_->device();
  context.program = &host_->program();
  context.clock = [this] { return cell_->now(); };
  context.abort = &guard.abortFlag();
  context.out = say;
  context.host_deactivate = [this] { host_->onDeactivate(); };
  if (auto* world = cell_->world()) {
    context.push = [world](const double force[3]) {
      world->setExternalForce(hx4rc_api::Vector(force[0], force[1], force[2]));
    };
  }
  context.wait = [this, &guard](double seconds) {
    return controller_->awaitTime(seconds, guard.abortFlag());
  };
  if (measurement_)
    context.wait = measurement_->windowed(context.wait);  // its waits are its windows
  say("[host] running the robot program");
  recording_->programStarts(cell_->now());
  guard.start();
  data_.outcome = ProgramRunner(context).run(*parsed_.program);
  program_end_ = std::chrono::steady_clock::now();
  guard.stop();
  data_.interrupted = guard.reason() == RunGuard::Reason::Signal;
  if (data_.outcome.error)
    say("[program] error: " + *data_.outcome.error);
  if (!host_->publishProgramTerminated(kTerminationGuard))
    say("[host] the device did not handle ProgramTerminated in time");
}

// 6. Wind down in the host's order, stop the cell, collect what it recorded.
void Session::windDown() {
  if (host_ && host_->created()) {
    if (bound_)
      host_->onUnbind();
    if (activator_) {
      host_->onDestroy();
      const int child = activator_->finish(std::chrono::milliseconds(10000));
      say("[host] the activating process ended with status " + std::to_string(child));
    } else {
      host_->onDeactivate();
      host_->onDestroy();
    }
  }
  recording_->stop();
  if (host_)
    host_->release();
  activator_.reset();
  cell_->stop();
  Backend::install(nullptr);
  collect();
  monitor_->stop();
  data_.diagnostics = monitor_->counts();
  hx4_program_api_internals::Console::setSink(nullptr);
  hx4_program_api::InputDialog::setSink(nullptr);
  if (program_end_) {
    data_.wind_down_s =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - *program_end_).count();
  }
}

// The records, trace, faults and line counters of the run; then the cell's
// helpers go, in the reverse order of their start.
void Session::collect() {
  recording_->collect(data_);
  if (measurement_) {
    // The drive's counters, from the controller itself.
    data_.records.assign(1, CycleRecorder::makeRecord(controller_->snapshot(), nullptr));
  }
  if (cell_->emulator())
    data_.emulator = cell_->emulator()->counters();
  host_.reset();
  recording_.reset();
  load_.reset();
  backend_.reset();
  controller_.reset();
}

// 7. The summary table and the exit status.
int Session::summarise() {
  const Summary summary = measurement_
                              ? measureSummary(measurement_->figures(data_.rate_hz), data_,
                                               measurement_->complete(), *options_.measure_file)
                          : scenario_ ? evaluateScenario(*scenario_, data_)
                                      : evaluateProgram(data_);
  std::printf("\n%s", summary.format().c_str());
  std::fflush(stdout);
  if (data_.interrupted)
    return 130;
  if (status_ != 0)
    return status_;
  return summary.passed() ? 0 : 1;
}

}  // namespace

int runSession(const Options& options) {
  return Session(options).run();
}

}  // namespace vorel_sim
