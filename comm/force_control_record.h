// ForceControlRecord: what the force-control thread notes about one 2 ms
// controller cycle, the unit of the force-control recorder's ring
// (comm/force_control_recorder.h). Plain data of a fixed size without
// pointers: it lives in shared memory and is read by other processes, so
// fields are only ever appended (with a new layout version).
//
// Everything a monitor shows comes from here: the wrench at every stage from
// the sample to the filter's output, the offset sent to the drive, force
// control's and the supervisor's state, the limits that bind, the events
// raised in the cycle and the sensor link's health figures.
#pragma once

#include <cstdint>
#include <limits>
#include <type_traits>

#include "filters/wrench.h"

namespace vorel_device {

struct ForceControlRecord {
  static constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

  // Force control's state (force_control_state).
  static constexpr std::uint8_t kIdle = 0;
  static constexpr std::uint8_t kActive = 1;
  static constexpr std::uint8_t kReturning = 2;  // offset on its way back to zero
  static constexpr std::uint8_t kSuspended = 3;  // the controller's hold flags are set

  // Supervisor state (supervisor_state): the health readout's codes.
  static constexpr std::uint8_t kSupervisorOk = 0;
  static constexpr std::uint8_t kSupervisorStale = 1;       // no usable sample: offset held
  static constexpr std::uint8_t kSupervisorFaulted = 2;     // cycles fail: offset held
  static constexpr std::uint8_t kSupervisorNotRunning = 3;  // no force-control cycle runs

  // The frame of the force-control law (task_frame).
  static constexpr std::uint8_t kTcpFrame = 0;
  static constexpr std::uint8_t kBaseFrame = 1;

  // Limits that bind in this cycle (limits_bound bits).
  static constexpr std::uint8_t kTranslationalSpeed = 1u << 0;
  static constexpr std::uint8_t kRotationalSpeed = 1u << 1;
  static constexpr std::uint8_t kTranslationalEnvelope = 1u << 2;
  static constexpr std::uint8_t kRotationalEnvelope = 1u << 3;
  static constexpr std::uint8_t kForceLimit = 1u << 4;   // the force is above its limit
  static constexpr std::uint8_t kTorqueLimit = 1u << 5;  // the torque is above its limit
  static constexpr std::uint8_t kOverrange = 1u << 6;    // the sensor flags its frames overrange

  // Events raised in this cycle (events bits): each makes a black-box file.
  static constexpr std::uint32_t kStaleTrip = 1u << 0;     // the supervisor found the sensor stale
  static constexpr std::uint32_t kCycleFailure = 1u << 1;  // a cycle failed (offset held)
  static constexpr std::uint32_t kLimitBinds = 1u << 2;  // a speed limit or envelope starts to bind
  static constexpr std::uint32_t kProgramTerminated = 1u << 3;  // while force control was on
  static constexpr std::uint32_t kRequest = 1u << 4;            // asked for by a robot program
  // A force-limit episode begins: force or torque above its limit, or
  // frames flagged overrange by the sensor.
  static constexpr std::uint32_t kForceLimitEvent = 1u << 5;

  // flags bits.
  static constexpr std::uint8_t kOffsetSent = 1u << 0;  // `offset` went to the drive this cycle
  static constexpr std::uint8_t kNewSample = 1u << 1;   // a new usable sample arrived this cycle
  static constexpr std::uint8_t kProcessed = 1u << 2;   // the wrenches are this cycle's (a usable
                                                        // sample exists); otherwise NaN

  // Identity and time.
  std::uint64_t cycle = 0;        // force-control cycles since activation, 0 first
  double controller_time = 0.0;   // s: cycle x 2 ms
  std::int64_t monotonic_ns = 0;  // CLOCK_MONOTONIC when the cycle wrote the record, ns

  // The wrench at each stage: force x, y, z (N), torque x, y, z (N m).
  Wrench raw{{kNaN, kNaN, kNaN, kNaN, kNaN, kNaN}};  // the sample processed: sensor axes, as
                                                     // the sensor sent it
  Wrench compensated{{kNaN, kNaN, kNaN, kNaN, kNaN, kNaN}};  // tool's weight removed, sensor axes
  // TCP axes, bias removed (readForce's); the files call it "tool".
  Wrench tcp_unbiased{{kNaN, kNaN, kNaN, kNaN, kNaN, kNaN}};
  Wrench filtered{{kNaN, kNaN, kNaN, kNaN, kNaN, kNaN}};  // after the filters, TCP axes
  Wrench setpoint{{kNaN, kNaN, kNaN, kNaN, kNaN, kNaN}};  // the law's smoothed target, TCP axes

  // The reference offset force control holds after this cycle (sent when
  // kOffsetSent): x, y, z in m, then roll, pitch, yaw in rad, TCP axes.
  double offset[6] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
  double tcp_position[3] = {kNaN, kNaN, kNaN};  // TCP in the world, m

  // Supervisor and sensor link.
  double sample_age = -1.0;                // s since the last usable sample; -1: none yet
  double usable_samples_per_second = 0.0;  // over the last whole second
  std::uint64_t frames_published = 0;      // by the sensor reader since activation
  std::uint64_t crc_errors = 0;            // in-sync frames with a wrong CRC since activation
  std::uint64_t lost_sync_events = 0;      // since activation
  std::uint32_t last_status = 0;           // status bits of the last frame published

  std::uint8_t force_control_state = kIdle;
  std::uint8_t supervisor_state = kSupervisorOk;
  std::uint8_t limits_bound = 0;
  std::uint8_t flags = 0;
  std::uint32_t events = 0;
  std::uint8_t task_frame = kTcpFrame;   // the force-control law's frame
  std::uint8_t reserved[3] = {0, 0, 0};  // 0; keeps the size a multiple of 8 bytes
};

static_assert(std::is_trivially_copyable<ForceControlRecord>::value, "shared record");
static_assert(sizeof(ForceControlRecord) == 392, "the recorder's layout version names this size");
static_assert(sizeof(ForceControlRecord) % sizeof(std::uint64_t) == 0, "copied in 8-byte words");

}  // namespace vorel_device
