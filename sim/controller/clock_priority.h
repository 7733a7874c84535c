// The real-time priority of the simulated controller's clock thread: above
// the device's force-control thread, so that under load the simulator keeps
// its own 2 ms ticks and a missed cycle is the device's.
#pragma once

#include <string>

#include "sim/controller/simulated_controller.h"

namespace vorel_sim {

// 10 above the device's priority (at least 50), at most 99.
int clockPriorityAbove(int device_priority);

// The [host] line about it: "controller clock SCHED_FIFO 50 (above the
// device's force control at 40)", or why it runs with normal scheduling.
std::string clockSchedulingText(const vorel_sim::SimulatedController& controller,
                                int device_priority);

}  // namespace vorel_sim
