// The built-in scenarios: the cell each one needs, its fault plan, and how
// its summary is judged from the run. Each scenario's robot program is a text
// file, programs/<name>.prog, run by the program interpreter like any other.
//
//   contact  tare, moveToContact down onto the floor: contact found within
//            3 mm of the floor, the retract done (within 1 mm of the asked
//            distance), a clean line (no CRC error)
//   hold     tare, low-pass filter, force control on z toward a target
//            force: settles within a band of the target; steady-state mean
//            within the band and spread below 0.5 N
//   filters  a noisy sensor with a 60 Hz vibration, read with no filter, a
//            notch, then notch and low-pass: noise (standard deviation of
//            the filtered fz) down to a third or less
//   faults   force control held while the line gets wrong CRCs, dropped
//            bytes and a garbage burst: the reader reports them, finds the
//            frames again, no NaN reaches the drive and the force returns to
//            its target
//   identify tool-load identification (see identifySummary)
//   guide    hand guiding: force control with target 0 N, a push moves the
//            tool, deactivateForceControl: the return to exactly zero, its
//            duration and smoothness (guide_rows.h)
#pragma once

#include <string>
#include <vector>

#include "sim/scenario/fault_plan.h"
#include "sim/scenario/run_data.h"
#include "sim/scenario/summary.h"
#include "sim/world/simulated_cell.h"

namespace vorel_sim {

struct Scenario {
  std::string name;
  std::string description;  // one line, printed at the start
  CellSetup cell;
  std::vector<FaultStep> faults;
  bool needs_emulator = false;  // cannot run against --port
};

// The scenario of that name (one of scenarioNames()); throws
// std::invalid_argument for another name.
const Scenario& scenarioByName(const std::string& name);

// The summary of a scenario run.
Summary evaluateScenario(const Scenario& scenario, const RunData& run);
// The summary of a program run (--program): what ran and how the line and
// the drive fared.
Summary evaluateProgram(const RunData& run);

// The cell of a --program run.
CellSetup programCell();

// Rows every summary shares. programRow: how the robot program ended
// (`cap_ok`: an end by --duration counts as done). linkRows: frames sent,
// the reader's CRC reports on a `clean` line, and the drive's counters (NaN
// or infinite offsets, refused offsets, the largest offset change in one
// cycle) from the last record.
void programRow(Summary& s, const RunData& run, bool cap_ok = false);
// `clean`: the line had no faults, so a CRC error fails the run; otherwise,
// with `report_crc`, the CRC errors are reported without a verdict (a line
// that a loaded machine could not keep clean).
void linkRows(Summary& s, const RunData& run, bool clean, bool report_crc = false);
// "largest offset change in one cycle" (mm and deg) against the speed
// limits x 2 ms; part of linkRows.
void offsetStepRow(Summary& s, const RunData& run);

}  // namespace vorel_sim
