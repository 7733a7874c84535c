// The summary rows of the guide scenario (hand guiding): force control with a
// target of 0 N yields to a push; deactivateForceControl must then bring the
// offset back to zero smoothly, not in one jump. Judged from the per-cycle
// records after the deactivateForceControl statement:
//
//   offset back at exactly zero   a record after it whose six offset values
//                                 are exactly 0, and the last one too
//   stopping distance after       how far the offset goes on along the way it
//   deactivateForceControl        moved at the switch-off, from its last
//                                 full-speed step (speed v0) on: at most
//                                 v0^2 / (2 x 5 m/s^2) + 1 cycle x v0 (6.25 +
//                                 0.5 mm from 250 mm/s); the full-speed steps
//                                 after the call are counted in an info row
//   duration of the return        from the statement's start to that record:
//                                 the braking time v0 / 5 m/s^2 plus the
//                                 computed trapezoid's time from the rest
//                                 point (D / v + v / a for D >= v^2 / a, else
//                                 2 sqrt(D / a); v the translational speed
//                                 limit, a = 1 m/s^2), at most 0.25 s more
//                                 (missed cycles of a loaded machine); a jump
//                                 would be shorter
//   largest change of the         between two cycles that got one drive
//   offset's speed per cycle      command each: while braking at most
//                                 5 m/s^2 x 2 ms (10 mm/s), during the return
//                                 at most a x 2 ms (2 mm/s)
//
// The largest offset change in one cycle (every run's row) shows the speed
// limit during the push.
#pragma once

#include "sim/scenario/run_data.h"
#include "sim/scenario/summary.h"

namespace vorel_sim {

void guideRows(Summary& s, const RunData& run);

// The return's time from rest over `distance` (m) at speed limit `speed`
// (m/s) and acceleration `acceleration` (m/s^2), s.
double trapezoidSeconds(double distance, double speed, double acceleration);

}  // namespace vorel_sim
