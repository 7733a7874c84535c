#include "sim/controller/clock_priority.h"

#include <algorithm>

namespace vorel_sim {

int clockPriorityAbove(int device_priority) {
  return std::min(99, std::max(device_priority, 40) + 10);
}

std::string clockSchedulingText(const vorel_sim::SimulatedController& controller,
                                int device_priority) {
  const std::string device =
      device_priority > 0
          ? "the device's force control at SCHED_FIFO " + std::to_string(device_priority)
          : std::string("the device's force control with normal scheduling");
  if (controller.clockPriority() > 0) {
    return "controller clock SCHED_FIFO " + std::to_string(controller.clockPriority()) +
           " (above " + device + ")";
  }
  return "controller clock with normal scheduling (SCHED_FIFO not permitted: " +
         controller.clockSchedulingRefusal() + "); " + device;
}

}  // namespace vorel_sim
