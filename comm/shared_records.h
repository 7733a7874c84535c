// Records that live only in the shared segment "VorelFrameSharedMemory":
// plain data without pointers, valid in every process that maps the segment.
#pragma once

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
  double cutoff_frequency = 50.0;  // Hz
  double rising_rate = 50.0;       // N/s (N m/s for torques)
  double falling_rate = -50.0;     // N/s, negative
};

static_assert(std::is_trivially_copyable<ftBias>::value, "shared record");
static_assert(std::is_trivially_copyable<Gains>::value, "shared record");
static_assert(std::is_trivially_copyable<SystemFilterParams>::value, "shared record");

}  // namespace vorel_device
