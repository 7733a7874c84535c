// Records that live only in the shared segment "VorelFrameSharedMemory":
// plain data without pointers, valid in every process that maps the segment.
#pragma once

#include <cmath>
#include <cstdint>
#include <type_traits>

namespace vorel_device {

// Offsets subtracted from the measured wrench by the readouts: force x, y, z
// (N), then torque x, y, z (N m).
struct ftBias {
  double data[6] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0};

  double& operator[](int i) { return data[i]; }
  double operator[](int i) const { return data[i]; }
};

// Gains of the force-control law.
struct Gains {
  double translation_gain = 5.0;  // scaled by 0.001: (m/s) per N
  double rotation_gain = 5.0;     // scaled by 0.024: (rad/s) per N m
  double track_smoothing = 0.01;  // set-point smoothing factor per 2 ms cycle, 0..1
};

// Parameters of the force-control thread's system filter (a high-pass rate
// limiter), handed to it every cycle.
struct SystemFilterParams {
  // Defaults, also the system filter's settings at construction.
  static constexpr double kDefaultCutoff = 50.0;        // Hz
  static constexpr double kDefaultRisingRate = 50.0;    // N/s
  static constexpr double kDefaultFallingRate = -50.0;  // N/s

  double cutoff_frequency = kDefaultCutoff;   // Hz
  double rising_rate = kDefaultRisingRate;    // N/s (N m/s for torques)
  double falling_rate = kDefaultFallingRate;  // N/s, negative
};

// Health of the sensor link and of force control, readable by robot programs
// in every process that maps the segment. The reader writes the publication
// count and its own counters; the force-control thread writes the age, the
// rate and the supervisor state once per 2 ms cycle.
struct SensorHealth {
  // Supervisor states.
  static constexpr std::int32_t kOk = 0;       // usable samples arrive
  static constexpr std::int32_t kStale = 1;    // none for the stale limit: offset held
  static constexpr std::int32_t kFaulted = 2;  // cycles fail (shared lock, host): offset held
  // Not written by the thread: a reader's verdict when the force-control
  // heartbeat has stopped (no cycle for 50 ms).
  static constexpr std::int32_t kNotRunning = 3;

  std::uint64_t frames_published = 0;      // reader: frames written to "frame" since activation
  std::uint64_t crc_errors = 0;            // reader: in-sync frames with a wrong CRC
  std::uint64_t lost_sync_events = 0;      // reader: times synchronisation was lost
  std::uint32_t last_status = 0;           // reader: status bits of the last published frame
  std::int32_t supervisor_state = kOk;     // force-control thread: kOk, kStale, kFaulted
  double last_usable_age = -1.0;           // s since the last usable sample; -1: none yet
  double usable_samples_per_second = 0.0;  // over the last whole second of cycles
  // force-control thread: ForceLimits bits seen in the current force-limit
  // episode (a force or torque above its limit, frames flagged overrange).
  std::uint32_t force_limit_flags = 0;
  std::uint32_t reserved = 0;  // 0
};

// The largest force and torque that force control lets the tool press with:
// magnitudes of the gravity-compensated, bias-free wrench in the TCP frame,
// before any user filter. Robot programs set them within (0, kMaxForce] N and
// (0, kMaxTorque] N m.
struct ForceLimits {
  static constexpr double kDefaultForce = 150.0;  // N
  static constexpr double kDefaultTorque = 15.0;  // N m
  static constexpr double kMaxForce = 2000.0;     // N
  static constexpr double kMaxTorque = 200.0;     // N m
  // Bits of SensorHealth::force_limit_flags.
  static constexpr std::uint32_t kForceOver = 1u << 0;   // |force| above `force`
  static constexpr std::uint32_t kTorqueOver = 1u << 1;  // |torque| above `torque`
  static constexpr std::uint32_t kOverrange = 1u << 2;   // the sensor flags its frames overrange

  double force = kDefaultForce;    // N
  double torque = kDefaultTorque;  // N m
};

// Opt-in envelope of the reference offset; 0 means no limit.
struct ForceControlLimits {
  double max_translation = 0.0;  // m, magnitude of the translational offset
  double max_rotation = 0.0;     // rad, magnitude of the roll, pitch, yaw offset vector
};

// Speed limits of the reference offset: the largest change between the
// offsets of two consecutive cycles, divided by the 2 ms cycle.
struct ForceControlSpeedLimits {
  // Defaults: the reduced speed of collaborative operation (250 mm/s), and
  // 45 deg/s.
  static constexpr double kDefaultTranslation = 0.25;              // m/s
  static constexpr double kDefaultRotation = 45.0 * M_PI / 180.0;  // rad/s

  double translation = kDefaultTranslation;  // m/s
  double rotation = kDefaultRotation;        // rad/s, roll-pitch-yaw vector
};

// The force-control law's settings beyond the gains: its frame, a dead band
// on the error and a virtual stiffness and mass per half. All 0: the pure
// integral law in the TCP's axes.
struct ForceControlLaw {
  static constexpr std::int32_t kTcpFrame = 0;   // the law, target and axes in TCP axes
  static constexpr std::int32_t kBaseFrame = 1;  // in the robot base's axes
  // Accepted ranges (robot programs): [0, max].
  static constexpr double kMaxDeadbandForce = 2000.0;       // N
  static constexpr double kMaxDeadbandTorque = 200.0;       // N m
  static constexpr double kMaxStiffness = 1.0e6;            // N/m
  static constexpr double kMaxMass = 1000.0;                // kg
  static constexpr double kMaxRotationalStiffness = 1.0e5;  // N m/rad
  static constexpr double kMaxInertia = 100.0;              // kg m^2

  double deadband_force = 0.0;        // N, per axis of the force error
  double deadband_torque = 0.0;       // N m, per axis of the torque error
  double stiffness = 0.0;             // N/m, translation
  double mass = 0.0;                  // kg, translation
  double rotational_stiffness = 0.0;  // N m/rad
  double inertia = 0.0;               // kg m^2
  std::int32_t frame = kTcpFrame;
  std::int32_t reserved = 0;  // 0
};

// Black-box files asked for from any process: the command facade adds 1 to a
// counter (under the named mutex), the force-control thread compares the
// counters with the values it saw last (in its snapshot) and raises the
// event in its recorder. Counting, rather than a flag, loses no request that
// comes while an earlier one is not yet taken.
struct BlackBoxRequest {
  std::uint64_t requests = 0;      // robot-program requests (writeBlackBox)
  std::uint64_t terminations = 0;  // robot-program terminations (ProgramTerminated)
};

static_assert(std::is_trivially_copyable<ftBias>::value, "shared record");
static_assert(std::is_trivially_copyable<BlackBoxRequest>::value, "shared record");
static_assert(std::is_trivially_copyable<ForceControlSpeedLimits>::value, "shared record");
static_assert(std::is_trivially_copyable<SensorHealth>::value, "shared record");
static_assert(std::is_trivially_copyable<ForceControlLimits>::value, "shared record");
static_assert(std::is_trivially_copyable<ForceLimits>::value, "shared record");
static_assert(std::is_trivially_copyable<ForceControlLaw>::value, "shared record");
static_assert(std::is_trivially_copyable<Gains>::value, "shared record");
static_assert(std::is_trivially_copyable<SystemFilterParams>::value, "shared record");

}  // namespace vorel_device
