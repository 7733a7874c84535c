// The summary rows of the scenarios that show the force-control law's
// settings beyond its gains, judged from the per-cycle TCP positions and the
// floor's push (stiffness x depth):
//
//   deadband  hand guiding with the true tool 0.5 kg heavier than configured
//             and a 6 N dead band: the TCP moves less than 1 mm in the 5 s
//             wait after activateForceControl, and at least 100 mm under the
//             40 N push
//   spring    a 500 N/m virtual stiffness under a 60 N push: the deflection
//             at the push's end within 10 % of 120 mm, the TCP back within
//             1 mm of where the push found it 3 s after, never past that
//             point by more than 10 % of the deflection
//   surface   the base-frame law on a tilted tool: the floor's push over the
//             hold's last second within 0.5 N of the 10 N target, and the
//             TCP's drift along the table (world x and y) over the hold's
//             last 2 s below 1 mm
#pragma once

#include "sim/scenario/run_data.h"
#include "sim/scenario/summary.h"

namespace vorel_sim {

void deadbandRows(Summary& s, const RunData& run);
void springRows(Summary& s, const RunData& run);
void surfaceRows(Summary& s, const RunData& run);

}  // namespace vorel_sim
