// CycleRecord: what vorel-sim notes about one 2 ms controller cycle: the
// controller's state after the tick and the device's wrenches read from the
// shared segment right after it.
#pragma once

#include <cstdint>
#include <limits>

#include "filters/wrench.h"

namespace vorel_sim {

struct CycleRecord {
  static constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

  std::uint64_t tick = 0;
  double time_s = 0.0;  // controller time: tick x 2 ms

  // Device wrenches (see SegmentSample): raw in sensor axes, tool and filtered
  // in TCP axes; N and N m. All 0 before the device is active.
  vorel_device::Wrench raw;
  vorel_device::Wrench tool;
  vorel_device::Wrench filtered;
  vorel_device::Wrench bias;           // the bias the readouts subtract
  bool sampled = false;                // the segment was read for this cycle (see SegmentTap)
  bool has_frame = false;              // a sensor frame had been published
  std::uint32_t sequence = 0;          // its sequence number
  std::uint64_t frames_published = 0;  // by the reader since activation

  // The last reference offset the drive received: position (m) and roll,
  // pitch, yaw (rad), TCP axes; NaN before the first.
  double offset[6] = {kNaN, kNaN, kNaN, kNaN, kNaN, kNaN};
  // Robot TCP position in the world, m.
  double tcp[3] = {0.0, 0.0, 0.0};
  bool held = false;  // control-resource flag 3 or 4 set

  // Controller counters up to this cycle.
  std::uint64_t drive_commands = 0;
  std::uint64_t drive_refused = 0;
  std::uint64_t drive_non_finite = 0;
  // Largest change between two offsets the drive took in a row, so far:
  // translation (m) and roll-pitch-yaw vector (rad).
  double largest_translation_step = 0.0;
  double largest_rotation_step = 0.0;
  std::uint64_t motion_commands = 0;
  std::uint64_t motion_refused = 0;
  std::uint64_t overruns = 0;
};

}  // namespace vorel_sim
