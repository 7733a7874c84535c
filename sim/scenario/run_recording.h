// RunRecording: what a run records cycle by cycle and what rides on those
// records: the per-cycle recorder, the CSV trace and the fault plan of the
// sensor line (timed by the program's start or by the start of force
// control). At the end it hands everything it gathered to the run's data.
#pragma once

#include <boost/shared_ptr.hpp>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/observe/cycle_recorder.h"
#include "sim/observe/trace_writer.h"
#include "sim/scenario/fault_plan.h"
#include "sim/scenario/run_data.h"

namespace vorel_sim {

class RunRecording {
 public:
  struct Settings {
    std::string trace_path;  // empty: no trace
    // Faults timed from the program's start (--fault), or else from the
    // start of force control (a scenario's); both need the emulator.
    std::vector<FaultStep> host_faults;
    std::vector<FaultStep> scenario_faults;
    // A measurement keeps no records (flat memory over a long run) and
    // records no cycle at all without a trace: the recorder's look into the
    // segment would load the device's mutex.
    bool measurement = false;
  };

  // Starts recording. A trace that cannot be opened is reported through
  // `say` and the run goes on without it.
  RunRecording(const Settings& settings,
               const boost::shared_ptr<vorel_sim::SimulatedController>& controller,
               vorel_sim::SensorEmulator* emulator, std::function<double()> clock,
               const std::function<void(const std::string&)>& say);
  ~RunRecording();

  CycleRecorder& recorder() { return *recorder_; }
  // The program starts now (controller time): faults timed from it begin.
  void programStarts(double now_s);
  // The activating process's killer for an activator-kill step.
  void setActivatorKiller(std::function<std::string(bool& done)> killer);
  // Stops the recorder and its look into the segment.
  void stop();
  // Moves the records, the trace's rows and the faults applied into `data`.
  void collect(RunData& data);

 private:
  std::unique_ptr<CycleRecorder> recorder_;
  TraceWriter trace_;
  std::string trace_path_;
  std::unique_ptr<FaultPlan> faults_;
  bool host_timed_ = false;
};

}  // namespace vorel_sim
