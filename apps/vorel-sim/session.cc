#include "apps/vorel-sim/session.h"

#include <unistd.h>

#include <boost/make_shared.hpp>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>

#include "apps/vorel-sim/activator_process.h"
#include "apps/vorel-sim/clock_priority.h"
#include "apps/vorel-sim/cpu_load.h"
#include "apps/vorel-sim/cycle_recorder.h"
#include "apps/vorel-sim/device_config.h"
#include "apps/vorel-sim/device_host.h"
#include "apps/vorel-sim/fault_plan.h"
#include "apps/vorel-sim/measurement.h"
#include "apps/vorel-sim/output_monitor.h"
#include "apps/vorel-sim/program.h"
#include "apps/vorel-sim/program_runner.h"
#include "apps/vorel-sim/run_data.h"
#include "apps/vorel-sim/run_guard.h"
#include "apps/vorel-sim/scenarios.h"
#include "apps/vorel-sim/segment_tap.h"
#include "apps/vorel-sim/signal_storm.h"
#include "apps/vorel-sim/simulated_cell.h"
#include "apps/vorel-sim/trace_writer.h"
#include "host/hx4_api.h"

namespace vorel_sim_app {

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

bool exists(const std::string& path) {
  return ::access(path.c_str(), F_OK) == 0;
}

std::string directoryOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

// The first existing path of `candidates`, or the last one.
std::string firstExisting(const std::vector<std::string>& candidates) {
  for (const auto& c : candidates) {
    if (exists(c))
      return c;
  }
  return candidates.back();
}

std::optional<std::string> readFile(const std::string& path) {
  std::ifstream in(path);
  if (!in)
    return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Waits, one controller cycle at a time, until the device's readouts carry
// a measurement: a sensor frame has been published, the force-control thread
// has turned it into a finite tool-frame wrench (it needs the sensor pose
// that onBind hands over) and the facade, which refreshes its copy of the raw
// frame every 10 ms, has had two chances to take it: 12 controller cycles
// (24 ms) after the first frame. A program that tared before that would tare
// on no measurement. Returns the time waited in ms, or empty after `guard`.
std::optional<double> awaitReady(SegmentTap& tap, vorel_sim::SimulatedController& controller,
                                 std::chrono::milliseconds guard) {
  constexpr int kCyclesAfterFrame = 12;
  const auto start = std::chrono::steady_clock::now();
  int cycles_with_frame = 0;
  for (;;) {
    const SegmentSample sample = tap.sample().value_or(SegmentSample());
    bool finite = true;
    for (int i = 0; i < 6 && finite; ++i) {
      finite = std::isfinite(sample.tool[i]) && std::isfinite(sample.filtered[i]);
    }
    cycles_with_frame = sample.has_frame ? cycles_with_frame + 1 : 0;
    const auto waited = std::chrono::steady_clock::now() - start;
    if (finite && cycles_with_frame > kCyclesAfterFrame) {
      return std::chrono::duration<double, std::milli>(waited).count();
    }
    if (waited >= guard)
      return std::nullopt;
    controller.awaitNextTick();
  }
}

// The measurement's file can be written: it exists and is writable, or its
// directory is. Nothing is created here.
bool writable(const std::string& path) {
  if (exists(path))
    return ::access(path.c_str(), W_OK) == 0;
  return ::access(directoryOf(path).c_str(), W_OK | X_OK) == 0;
}

// The summary of a measurement run: how the program ended, the figures, the
// drive's counters, and whether the figures were written to `file`.
Summary measureSummary(const MeasureFigures& figures, const RunData& run, bool complete,
                       const std::string& file) {
  Summary s("measure summary");
  programRow(s, run);
  figures.addRows(s);
  // Under --load the sensor emulator's line may lose bytes (the reader does
  // not read in time without a real-time priority): reported, not failed.
  const bool loaded = figures.load_processes > 0;
  linkRows(s, run, !loaded, loaded);
  if (!complete || !run.setup_error.empty() || run.interrupted) {
    s.check("figures written", "no: the measurement did not run in full", file, false);
    return s;
  }
  std::ofstream out(file, std::ios::trunc);
  out << figures.json();
  out.close();
  s.check("figures written", out ? file : "no: cannot write " + file, file, static_cast<bool>(out));
  return s;
}

}  // namespace

Paths Paths::resolve(const Options& options) {
  Paths p;
  char buf[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  p.executable = n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : "vorel-sim";
  const std::string bin = directoryOf(p.executable);
  p.device_lib = options.device_lib
                     ? *options.device_lib
                     : firstExisting({bin + "/../lib/libvorel_device.so",
                                      bin + "/../" VOREL_INSTALL_LIBDIR "/libvorel_device.so"});
  p.config_file = options.config_file
                      ? *options.config_file
                      : firstExisting({bin + "/../share/vorel_device/config/vorel_ft_sensor.xml",
                                       VOREL_SOURCE_DIR "/config/vorel_ft_sensor.xml"});
  p.programs_dir =
      firstExisting({bin + "/../share/vorel_device/programs", VOREL_SOURCE_DIR "/programs"});
  return p;
}

int runSession(const Options& options) {
  const Paths paths = Paths::resolve(options);

  // 1. The program, parsed whole before anything starts.
  const Scenario* scenario = nullptr;
  std::unique_ptr<Measurement> measurement;
  std::string program_path;
  std::optional<std::string> text;
  if (options.measure_file) {
    if (!writable(*options.measure_file)) {
      complain("vorel-sim: cannot write the measurement file " + *options.measure_file);
      return 2;
    }
    measurement = std::make_unique<Measurement>(Measurement::Plan::forDuration(
        options.duration_s.value_or(Measurement::kDefaultDurationS)));
    program_path = "the built-in measurement program";
    text = measurement->programText();
  } else if (options.program_file) {
    program_path = *options.program_file;
    text = readFile(program_path);
  } else {
    scenario = &scenarioByName(options.scenario);
    program_path = paths.programs_dir + "/" + scenario->name + ".prog";
    text = readFile(program_path);
  }
  if (!text) {
    complain("vorel-sim: cannot read the program " + program_path);
    return 2;
  }
  const ParseResult parsed = parseProgram(*text);
  if (parsed.error) {
    complain("vorel-sim: " + program_path + ": line " + std::to_string(parsed.error->line) + ": " +
             parsed.error->message);
    complain("vorel-sim: the program was not run: nothing was started and nothing moved");
    return 2;
  }
  const Program& program = *parsed.program;
  if (scenario && scenario->needs_emulator && options.port) {
    complain("vorel-sim: the " + scenario->name +
             " scenario needs the built-in sensor emulator: run it without --port");
    return 2;
  }

  // 2. Configuration.
  std::optional<DeviceConfig> config;
  try {
    config = DeviceConfig::load(paths.config_file);
    if (options.rate_hz)
      config->setRateHz(*options.rate_hz);
    if (options.priority)
      config->setPriority(*options.priority);
  } catch (const std::exception& e) {
    complain(std::string("vorel-sim: ") + e.what());
    return 2;
  }
  if (scenario) {
    say("vorel-sim: scenario " + scenario->name + ": " + scenario->description);
  }
  if (measurement) {
    say(
        fmt("vorel-sim: measurement: %.1f s of step-to-drive and frame-to-publication latency, "
            "then %.1f s of worker CPU and resident memory",
            measurement->plan().latency_s, measurement->plan().cpu_s));
  }
  say("[host] program " + program_path + " (" + std::to_string(program.statements.size()) +
      " statements)");
  say("[host] device configuration " + paths.config_file);

  RunGuard::blockSignals();
  hx4_program_api::InputDialog::setSink([](const std::string& title, const std::string& message) {
    std::fprintf(stderr, "[DIALOG] %s: %s\n", title.c_str(), message.c_str());
  });

  CellSetup setup = scenario ? scenario->cell : measurement ? measurement->cell() : programCell();
  if (options.tool) {
    setup.tool = ToolSpec{
        options.tool->mass,
        hx4rc_api::Vector(options.tool->cog[0], options.tool->cog[1], options.tool->cog[2])};
  }
  std::unique_ptr<SimulatedCell> cell;
  try {
    cell = std::make_unique<SimulatedCell>(setup, options.seed, !options.port);
  } catch (const std::exception& e) {
    complain(std::string("vorel-sim: cannot build the simulated cell: ") + e.what());
    return 1;
  }
  OutputMonitor monitor(STDOUT_FILENO, OutputMonitor::devicePatterns(),
                        [&cell] { return cell->now(); });
  monitor.start();
  // The device's console lines go to standard output, their fail-safe
  // lines stamped as they are written.
  hx4_program_api_internals::Console::setSink([&monitor](const std::string& text) {
    monitor.stampConsole(text);
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
  });

  RunData data;
  data.plane_z = setup.plane_z;
  // A measurement's --duration sets its windows, not a cap.
  data.duration_cap_s = measurement ? std::nullopt : options.duration_s;
  data.host_fault_plan = options.faults;
  int status = 0;
  bool interrupted = false;
  std::optional<std::chrono::steady_clock::time_point> program_end;
  {
    const auto controller = cell->controller();
    // What the device and the host's API reach: the simulated controller, or
    // during a measurement the same behind the drive-channel probe.
    const boost::shared_ptr<hx4_program_api_internals::ControllerBackend> backend =
        measurement ? measurement->attach(controller)
                    : boost::shared_ptr<hx4_program_api_internals::ControllerBackend>(controller);
    hx4_program_api_internals::ControllerBackend::install(backend);
    // The simulated controller must not miss its own ticks under load: its
    // clock runs above the device's force-control thread.
    const int device_priority = config->priority();
    controller->setClockPriority(clockPriorityAbove(device_priority));
    // The emulated sensor is hardware: its stream does not wait for the
    // host's CPU either.
    if (cell->emulator())
      cell->emulator()->setSenderPriority(clockPriorityAbove(device_priority));
    cell->start();
    const std::string port = options.port ? *options.port : cell->emulator()->slavePath();
    config->setPort(port);
    try {
      data.rate_hz = config->rateHz();
    } catch (const std::exception&) {
    }
    say("[host] simulated controller running: 2 ms cycle, TCP at (0.4, 0, 0.05) m, tool "
        "pointing down");
    say("[host] " + clockSchedulingText(*controller, device_priority));
    std::unique_ptr<CpuLoad> load;
    if (options.load_processes > 0) {
      load = std::make_unique<CpuLoad>(options.load_processes);
      if (measurement)
        measurement->setLoadProcesses(load->running());
      say(fmt("[host] %d CPU-bound load processes running beside the device", load->running()));
    }
    if (cell->emulator()) {
      say("[host] sensor emulator on " + port + fmt(", floor at z = %g m", setup.plane_z) +
          (cell->emulator()->senderPriority() > 0
               ? fmt(", its stream at SCHED_FIFO %d", cell->emulator()->senderPriority())
               : std::string(", its stream with normal scheduling")));
    } else {
      say("[host] sensor on " + port + " (no emulator: the simulated floor is not felt)");
    }

    // Per-cycle records, the trace and the fault plan.
    CycleRecorder recorder(controller);
    TraceWriter trace;
    std::string trace_path;
    if (options.trace_file) {
      trace_path = *options.trace_file;
    } else if (scenario) {
      trace_path = "vorel-sim-" + scenario->name + ".csv";
    }
    if (!trace_path.empty()) {
      try {
        trace.open(trace_path);
        recorder.addObserver([&trace](const CycleRecord& r) { trace.write(r); });
      } catch (const std::exception& e) {
        say(std::string("vorel-sim: ") + e.what());
        trace_path.clear();
      }
    }
    std::unique_ptr<FaultPlan> faults;
    if (!options.faults.empty() && cell->emulator()) {
      faults =
          std::make_unique<FaultPlan>(*cell->emulator(), options.faults, FaultPlan::Anchor::Host,
                                      [&cell] { return cell->now(); });
    } else if (scenario && !scenario->faults.empty() && cell->emulator()) {
      faults = std::make_unique<FaultPlan>(*cell->emulator(), scenario->faults);
    }
    if (faults)
      recorder.addObserver([&faults](const CycleRecord& r) { faults->onRecord(r); });
    // A measurement keeps no per-cycle records (its memory must stay flat
    // over a long run) and records no cycle at all without a trace: the
    // recorder's look into the segment would load the device's mutex.
    if (measurement)
      recorder.setKeepRecords(false);
    if (!measurement || !trace_path.empty())
      recorder.start();

    DeviceHost host(say);
    std::unique_ptr<ActivatorProcess> activator;
    bool bound = false;
    try {
      // 3. Load and create.
      host.load(paths.device_lib);
      host.create(boost::make_shared<hx4_program_api::ProgramInterface>(backend), *config);
      host.onCreate();
      host.onMount();

      // 4. Activation, here or in the second process.
      std::optional<std::string> failure;
      if (options.processes == 2) {
        ActivatorProcess::Launch launch{paths.executable, paths.config_file, paths.device_lib, port,
                                        data.rate_hz};
        say("[host] starting the activating process");
        activator = std::make_unique<ActivatorProcess>(launch, controller);
        failure = activator->awaitActivation(kActivationGuard);
        if (!failure) {
          say("[host] the device in process " + std::to_string(activator->pid()) +
              " is active; binding here in process " + std::to_string(::getpid()));
        }
      } else {
        if (measurement)
          measurement->beforeActivation();
        failure = host.activateThroughHWReady(monitor, kActivationGuard);
        if (measurement)
          measurement->afterActivation();
      }
      if (failure)
        throw std::runtime_error(*failure);
      const auto tap = std::make_shared<SegmentTap>();
      recorder.setTap(tap);

      // 5. Bind, wait until the device delivers a tool-frame wrench, run the
      // program.
      const int bind = host.onBind();
      bound = true;
      if (bind != 0)
        throw std::runtime_error("onBind failed: see the ERROR line above");
      if (measurement)
        measurement->afterBinding();
      if (const auto waited = awaitReady(*tap, *controller, kReadyGuard)) {
        say(fmt("[host] device ready: readouts carry measurements %.0f ms after onBind", *waited));
      } else {
        throw std::runtime_error(
            fmt("no finite tool-frame wrench within %.0f s after onBind: is a sensor sending "
                "on %s?",
                kReadyGuard.count() / 1000.0, port.c_str()));
      }

      RunGuard guard([&cell] { return cell->now(); }, data.duration_cap_s,
                     [&host] { host.publishProgramTerminated(kTerminationGuard); });
      ProgramRunner::Context context;
      context.device = &host.device();
      context.program = &host.program();
      context.clock = [&cell] { return cell->now(); };
      context.abort = &guard.abortFlag();
      context.out = say;
      context.host_deactivate = [&host] { host.onDeactivate(); };
      context.wait = [&controller, &guard](double seconds) {
        const auto cycles = static_cast<std::uint64_t>(
            std::llround(seconds / std::chrono::duration<double>(controller->cycle()).count()));
        const std::uint64_t until = controller->tick() + cycles;
        while (controller->tick() < until) {
          if (guard.abortFlag().load())
            return false;
          controller->awaitNextTick();
        }
        return true;
      };
      if (measurement) {
        // The measurement program's waits are its windows.
        context.wait = [wait = context.wait, m = measurement.get(),
                        index = 0](double seconds) mutable {
          m->waitBegins(index);
          const bool completed = wait(seconds);
          m->waitEnded(index++, completed);
          return completed;
        };
      }
      say("[host] running the robot program");
      if (faults && !options.faults.empty())
        faults->anchorAt(cell->now());
      guard.start();
      data.outcome = ProgramRunner(context).run(program);
      program_end = std::chrono::steady_clock::now();
      guard.stop();
      interrupted = guard.reason() == RunGuard::Reason::Signal;
      data.interrupted = interrupted;
      if (data.outcome.error)
        say("[program] error: " + *data.outcome.error);
      if (!host.publishProgramTerminated(kTerminationGuard)) {
        say("[host] the device did not handle ProgramTerminated in time");
      }
    } catch (const std::exception& e) {
      say(std::string("vorel-sim: ") + e.what());
      data.setup_error = e.what();
      status = 1;
    }

    // 6. Wind down, in the host's order.
    if (host.created()) {
      if (bound)
        host.onUnbind();
      if (activator) {
        host.onDestroy();
        const int child = activator->finish(std::chrono::milliseconds(10000));
        say("[host] the activating process ended with status " + std::to_string(child));
      } else {
        host.onDeactivate();
        host.onDestroy();
      }
    }
    recorder.stop();
    recorder.setTap(nullptr);
    host.release();
    activator.reset();
    cell->stop();
    hx4_program_api_internals::ControllerBackend::install(nullptr);

    data.records = recorder.records();
    if (measurement) {
      // The drive's counters, from the controller itself.
      data.records.assign(1, CycleRecorder::makeRecord(controller->snapshot(), nullptr));
    }
    if (!trace_path.empty()) {
      trace.close();
      data.trace_path = trace_path;
      data.trace_rows = trace.rows();
    }
    if (faults) {
      faults->stopSignals();
      data.signals_sent = faults->signalsSent();
      data.signals_handled = SignalStorm::handled();
      data.faults = faults->applied();
      data.fault_start_s = faults->startTime();
    }
    if (cell->emulator())
      data.emulator = cell->emulator()->counters();
  }
  monitor.stop();
  data.diagnostics = monitor.counts();
  hx4_program_api_internals::Console::setSink(nullptr);
  hx4_program_api::InputDialog::setSink(nullptr);

  if (program_end) {
    data.wind_down_s =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - *program_end).count();
  }

  // 7. Summary.
  const Summary summary = measurement
                              ? measureSummary(measurement->figures(data.rate_hz), data,
                                               measurement->complete(), *options.measure_file)
                          : scenario ? evaluateScenario(*scenario, data)
                                     : evaluateProgram(data);
  std::printf("\n%s", summary.format().c_str());
  std::fflush(stdout);
  if (interrupted)
    return 130;
  if (status != 0)
    return status;
  return summary.passed() ? 0 : 1;
}

}  // namespace vorel_sim_app
