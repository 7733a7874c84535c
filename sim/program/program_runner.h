// ProgramRunner: executes a parsed Program on the device, on the calling
// thread (the host's program-interpreter thread), one statement after the
// other, printing each as it starts:
//
//   [program] t=0.412 s line 3: setForceTrackValue(0, 0, -10)
//   [program] t=0.414 s line 4: readForce = (0.012, -0.003, -9.998) N
//   [program] t=0.416 s line 5: print Tool: force (0.012, -0.003, -9.998) N, torque (0.000, 0.001,
//   0.000) N m [program] t=0.418 s line 6: print Position: TCP (0.400000, 0.000000, 0.050000) m
//   [program] t=0.420 s line 7: wait 1.5 s
//
// t is controller time. A function call goes to the device's virtual
// robot-program function of that name with the literal arguments (arrays are
// Array<Number> of 3 rows and 1 column; readSensorHealth's has 6 rows).
// `wait` waits controller time; `hostDeactivate` calls the host's
// deactivation of the device; `push` puts a force on the tool for its time
// (the force is taken off again also when the run is aborted). The
// run stops early when `abort` is set (the program was terminated: duration
// reached, Ctrl-C) or when a call throws; the error names the line.
#pragma once

#include <atomic>
#include <boost/shared_ptr.hpp>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "device/vorel_ft_sensor.h"
#include "host/program_interface.h"
#include "sim/program/program.h"

namespace vorel_sim {

// One statement as it ran.
struct StatementRun {
  Statement statement;
  double start_s = 0.0;  // controller time at its start and end
  double end_s = 0.0;
  bool completed = false;      // returned normally (a wait: ran its full time)
  std::vector<double> values;  // readouts: the values read (3, or 6 for print)
};

struct RunOutcome {
  std::vector<StatementRun> runs;
  bool completed = false;            // every statement ran to its end
  bool aborted = false;              // stopped by `abort`
  std::optional<std::string> error;  // a call threw: "line 4: readForce: ..."
};

class ProgramRunner {
 public:
  struct Context {
    vorel_device::VorelFTSensor* device = nullptr;
    hx4_program_api::ProgramInterface* program = nullptr;  // for print Position
    std::function<double()> clock;                         // controller time, s
    // Waits `seconds` of controller time; returns false when aborted first.
    std::function<bool(double seconds)> wait;
    const std::atomic<bool>* abort = nullptr;
    std::function<void(const std::string& line)> out;  // one printed line, no newline
    // The host's onDeactivate of the device (hostDeactivate); empty: refused.
    std::function<void()> host_deactivate;
    // Puts an external force (N, world axes) on the tool, or takes it off
    // (zero); empty: push is refused (no simulated world).
    std::function<void(const double force[3])> push;
  };

  explicit ProgramRunner(Context context) : ctx_(std::move(context)) {}

  RunOutcome run(const Program& program);

 private:
  void execute(const Statement& statement, StatementRun& run);
  void call(const Call& call, const Statement& statement, StatementRun& run);
  void print(Stage stage, const Statement& statement, StatementRun& run);
  void moveTo(const MoveTo& move, const Statement& statement);
  std::string prefix(const Statement& statement) const;

  Context ctx_;
};

}  // namespace vorel_sim
