// Shaping of the reference offset that force control sends to the drive:
// the speed limit, the envelope and the returns (to zero when force control
// ends, to a tightened envelope while it runs). Pure code of its inputs, one
// step per 2 ms controller cycle; no host, segment or thread.
//
// The offset has two halves, shaped independently with the same rules: the
// translation (m, TCP axes) and the rotation (rad, the roll-pitch-yaw
// vector). A half's speed is the Euclidean norm of the difference of two
// consecutive commands divided by the cycle time (m/s, rad/s).
#pragma once

#include <cmath>

#include "adaptive/control_law.h"
#include "comm/shared_records.h"
#include "host/geometry.h"

namespace vorel_device {
namespace offset_shaping {

constexpr double kCycleTime = control_law::kCycleTime;  // s
// The rotational offset's units: robot programs and console lines speak
// degrees, the offset holds radians.
constexpr double kRadiansPerDegree = M_PI / 180.0;
constexpr double kDegreesPerRadian = 180.0 / M_PI;
// Defaults of the speed limits (the shared record's): m/s, rad/s.
constexpr double kDefaultTranslationSpeed = ForceControlSpeedLimits::kDefaultTranslation;
constexpr double kDefaultRotationSpeed = ForceControlSpeedLimits::kDefaultRotation;
constexpr double kTranslationAcceleration = 1.0;                // m/s^2, returns
constexpr double kRotationAcceleration = 360.0 * M_PI / 180.0;  // rad/s^2, returns
// Braking at the end of force control, before the return.
constexpr double kTranslationBrake = 5.0;                 // m/s^2
constexpr double kRotationBrake = 1800.0 * M_PI / 180.0;  // rad/s^2
// Accepted speed limits (from robot programs): (0, max].
constexpr double kMaxTranslationSpeed = 1.0;                // m/s
constexpr double kMaxRotationSpeed = 180.0 * M_PI / 180.0;  // rad/s

// Following (force control active): the half moves toward the offset the
// control law wants, by at most speed x 2 ms per cycle; the limited offset is
// the integrator's state, so nothing winds up behind the limit. The wanted
// offset is first scaled into the envelope (largest magnitude, 0: none).
// When the half lies outside the envelope (the envelope was tightened), it
// returns to the envelope (to E u, u its own direction) instead of
// following.
//
// Braking (the first phase of a return to zero when force control ends): the
// velocity the half had falls by at most brake x 2 ms per cycle along its
// own direction until the half is at rest (from 250 mm/s at 5 m/s^2: 25
// cycles, 6 mm); then it returns.
//
// Returning: a straight line to the target at no more than the speed limit,
// with the change of velocity per cycle at most acceleration x 2 ms, starting
// from the velocity the half had (a half moving away from the target slows
// down first and turns back). The speed wanted at remaining distance D is the
// largest from which braking at the acceleration limit, step by step, covers
// exactly D; so the last step lands on the target with at most
// acceleration x 2 ms of speed, and the command then holds it exactly. From
// rest the return takes the trapezoid's time: D / v + v / a when D >= v^2 / a,
// else 2 sqrt(D / a), within a cycle or two.
//
// A velocity not along the line to the target is braked by the same
// acceleration limit, so such a return bends toward the line; from rest, or
// from a velocity along the line, it is straight.
//
// The rules of one half. speed > 0, acceleration > 0; envelope 0: none.
struct HalfLimits {
  double speed = kDefaultTranslationSpeed;         // m/s or rad/s
  double acceleration = kTranslationAcceleration;  // m/s^2 or rad/s^2
  double envelope = 0.0;                           // m or rad
  double brake = kTranslationBrake;                // m/s^2 or rad/s^2
};

// One half: the offset last commanded and the velocity of its last step.
struct HalfState {
  hx4rc_api::Vector offset;    // m or rad
  hx4rc_api::Vector velocity;  // m/s or rad/s
  bool braking = false;        // a return's braking phase is not over
};

// What shaped one step of a half (for the diagnostics and recorders).
struct HalfStep {
  bool speed_limited = false;     // following: the wanted step was longer than speed x 2 ms
  bool envelope_limited = false;  // the envelope clamped the wanted offset or is being returned to
  bool at_target = false;         // returning: the offset is exactly on the target
};

// Following: moves toward `wanted` (see above).
HalfStep follow(HalfState& half, const hx4rc_api::Vector& wanted, const HalfLimits& limits);

// Returning: one step toward `target` (see above).
HalfStep approach(HalfState& half, const hx4rc_api::Vector& target, const HalfLimits& limits);

// Braking: one step of the braking phase (see above); false, and nothing
// changes, when the half is at rest.
bool brake(HalfState& half, const HalfLimits& limits);

// Holding: the offset stays, its velocity is zero.
void hold(HalfState& half);

// The speed wanted at remaining distance `distance` (>= 0): the largest from
// which braking by `speed_step` per cycle, one step of speed x kCycleTime per
// cycle, covers exactly `distance`; at most `max_speed`.
double brakingSpeed(double distance, double speed_step, double max_speed);

// Both halves with their limits.
struct Limits {
  HalfLimits translation;
  HalfLimits rotation{kDefaultRotationSpeed, kRotationAcceleration, 0.0, kRotationBrake};
};

// What shaped one step of the whole offset.
struct Step {
  HalfStep translation;
  HalfStep rotation;
  // Returning: both halves exactly zero; force control has ended.
  bool returned = false;
};

// The whole offset: the two halves.
class OffsetShaper {
 public:
  // Active: each half follows the offset the law wants (its present offset
  // when that half is not integrated or is held).
  Step follow(const hx4rc_api::Vector& wanted_translation, const hx4rc_api::Vector& wanted_rotation,
              const Limits& limits);
  // Force control off: each half first brakes to rest, then returns to zero.
  Step returnToZero(const Limits& limits);
  // Both halves hold their offsets.
  void hold();
  // Zero offset, at rest.
  void reset();
  // Both halves' offset and velocity turned by `r` (the same offset seen in
  // other axes).
  void rotate(const hx4rc_api::Rotation& r);

  const hx4rc_api::Vector& translation() const { return translation_.offset; }
  const hx4rc_api::Vector& rotation() const { return rotation_.offset; }
  const HalfState& translationState() const { return translation_; }
  const HalfState& rotationState() const { return rotation_; }
  bool atZero() const;

 private:
  HalfState translation_;
  HalfState rotation_;
  bool returning_ = false;  // returnToZero was called since the last follow or reset
};

}  // namespace offset_shaping
}  // namespace vorel_device
