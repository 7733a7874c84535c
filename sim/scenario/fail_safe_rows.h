// The summary rows that judge the device's fail-safe force control in a run
// with --fault (and after a hostDeactivate statement). Each fault the plan
// applied gets its rows, judged from the per-cycle records (the drive's last
// offset is the controller's own, exact for every cycle) and from the
// controller times of the device's lines:
//
//   fault         checks
//   hangup        the stale-sensor ERROR line once, within 250 ms of the
//                 hang-up; the offset moves at most 0.01 mm after it
//   status:B:P    no offset step per cycle while frames are flagged larger
//                 than the largest before the fault plus 10 % (a flagged
//                 frame carries 1000 N); with P = 1 the stale-sensor ERROR
//                 line appears; the reader's lines about flagged frames at
//                 most two per second of the fault, and on an otherwise
//                 clean line their count that of the frames flagged
//   bytes, garbage  when every line fault is isolated (P up to 0.001, bursts
//                 up to 20 ms): no stale-sensor ERROR line from the first on
//   nan           drive commands in half of the cycles or more after the
//                 NaN frame; the filtered force within 5 % (at least 0.5 N)
//                 of its target within 0.5 s
//   mutex-holder  the holder took the mutex; the cycle-failed ERROR line
//                 once; the offset moves at most 0.01 mm after it; the run
//                 winds down within 2 s of the program's end
//   signals       signals handled; no reader report (lost sync, wrong CRC)
//                 from their start; while they last, at least half the frames
//                 published per second before, and at most 10 % more cycles
//                 without a drive command than before
//   activator-kill  the activating process killed; readSensorHealth shows
//                 supervisor state 3 from 0.1 s after the kill (one readout
//                 at least); moveToContact after it commands no motion (one
//                 call at least)
// The bounds catch a worker that a fault ended, stalled or corrupted, not the
// jitter of a loaded machine.
//   hostDeactivate  the last offset the drive received is exactly zero
#pragma once

#include "sim/scenario/run_data.h"
#include "sim/scenario/summary.h"

namespace vorel_sim {

// Force control's time in the run: from activateForceControl to the
// deactivateForceControl after it (or the end), with its fz target.
struct ControlSpan {
  bool found = false;
  double on_s = 0.0;
  double off_s = 0.0;
  double target = 0.0;  // N, TCP z
};

void failSafeRows(Summary& s, const RunData& run, const ControlSpan& span);
// Rows of a program that ran hostDeactivate; none otherwise.
void hostDeactivateRows(Summary& s, const RunData& run);

}  // namespace vorel_sim
