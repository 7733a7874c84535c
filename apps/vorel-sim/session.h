// Session: one run of vorel-sim as a host: the simulated cell, the device
// loaded from the plug-in and driven through its lifecycle, the robot program
// on this (the interpreter's) thread, the per-cycle records and trace, and
// the summary.
//
//   1. parse the program (a program that does not parse stops here: nothing
//      has been started, nothing moves)
//   2. read the device configuration; start the controller's clock and the
//      sensor emulator (unless --port); install the controller
//   3. load the plug-in, create the device, onCreate, onMount
//   4. publish HWReady and wait for the activation (or activate in a second
//      process: --processes 2)
//   5. onBind, run the program, publish ProgramTerminated
//   6. onUnbind, onDeactivate, onDestroy, release, unload; stop the cell
//   7. print the summary table
#pragma once

#include <string>

#include "apps/vorel-sim/options.h"

namespace vorel_sim {

// Runs the whole session; returns the exit status (0: criteria hold, 1: they
// do not or the run failed, 2: bad input, 130: interrupted).
int runSession(const Options& options);

}  // namespace vorel_sim
