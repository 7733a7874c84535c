// The summary rows that judge how hard the tool presses and how far
// moveToContact takes it, from the per-cycle records (the TCP's depth below
// the floor gives the floor's true push: stiffness x depth):
//
//   largest force at the tool     every run: the floor's largest push on the
//                                 tool, at most the force limit (150 N, or
//                                 the highest a program set with
//                                 setForceLimits)
//   force after the limit was     each setForceLimits that lowers the limit
//   lowered                       below the floor's push: 1 s later the push
//                                 is at most the new limit + 0.5 N
//   moveToContact beyond its      each moveToContact that ended at its travel
//   travel limit, at rest         limit, followed by a wait: the tool 0.2 s
//                                 after the call, at most one cycle of the
//                                 call's speed (and 0.1 mm) beyond the limit
#pragma once

#include "sim/scenario/run_data.h"
#include "sim/scenario/summary.h"

namespace vorel_sim {

void largestForceRow(Summary& s, const RunData& run);
void forceSafetyRows(Summary& s, const RunData& run);

}  // namespace vorel_sim
