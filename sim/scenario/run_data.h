// RunData: everything a run leaves for its summary.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "sim/host/output_monitor.h"
#include "sim/observe/cycle_record.h"
#include "sim/program/program_runner.h"
#include "sim/scenario/fault_plan.h"
#include "sim/sensor/sensor_emulator.h"
#include "sim/world/simulated_cell.h"

namespace vorel_sim {

struct RunData {
  std::vector<CycleRecord> records;                         // one per controller cycle, in order
  RunOutcome outcome;                                       // the program's statements as they ran
  std::map<std::string, OutputMonitor::Count> diagnostics;  // OutputMonitor::devicePatterns()
  std::optional<vorel_sim::SensorEmulator::Counters> emulator;  // empty with --port
  std::vector<FaultPlan::Applied> faults;
  std::vector<FaultStep> host_fault_plan;  // --fault steps (empty without --fault)
  std::optional<double> fault_start_s;     // controller time the --fault plan started
  std::optional<double> duration_cap_s;    // --duration, when given
  bool interrupted = false;                // stopped by Ctrl-C or SIGTERM
  std::string setup_error;                 // the run failed before or around the program
  double plane_z = 0.0;                    // floor height, world z, m
  double plane_stiffness = 5000.0;         // floor stiffness, N/m
  // The simulated sensor's pose on the flange, and the simulated tool (empty:
  // the cell's own), as the run used them.
  hx4rc_api::Frame sensor_in_flange = vorel_sim::cell::sensorInFlange();
  std::optional<ToolSpec> tool;
  double rate_hz = 500.0;  // sensor frequency handed to the device
  std::string trace_path;  // empty: no trace
  unsigned long trace_rows = 0;
  std::uint64_t signals_sent = 0;     // SIGUSR1 sent by a signals fault
  std::uint64_t signals_handled = 0;  // and handled by this process
  std::optional<double> wind_down_s;  // wall-clock s from the program's end to the summary
};

}  // namespace vorel_sim
