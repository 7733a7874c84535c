#include "adaptive/offset_shaping.h"

#include <algorithm>
#include <cmath>

namespace vorel_device {
namespace offset_shaping {

namespace {

using hx4rc_api::Vector;

// A half at the envelope lands on E u, whose magnitude may differ from E by
// a rounding error: only more than this relative excess counts as outside.
constexpr double kEnvelopeSlack = 1e-9;

const Vector kZero(0.0, 0.0, 0.0);

// `v` scaled to length `length` when it is longer; whether it was.
bool limitLength(Vector& v, double length) {
  const double norm = v.Norm();
  if (!(norm > length))
    return false;
  v = (length / norm) * v;
  return true;
}

}  // namespace

double brakingSpeed(double distance, double speed_step, double max_speed) {
  if (!(distance > 0.0))
    return 0.0;
  // In units of speed_step x cycle: braking from speed (m + f) speed_step,
  // 0 < f <= 1, covers (m + 1)(f + m / 2) units in its m + 1 steps.
  const double units = distance / (speed_step * kCycleTime);
  double m = std::ceil(0.5 * (std::sqrt(1.0 + 8.0 * units) - 1.0)) - 1.0;
  if (m < 0.0)
    m = 0.0;
  double f = units / (m + 1.0) - 0.5 * m;
  // The square root's rounding may put m one off at a boundary.
  if (f > 1.0) {
    m += 1.0;
    f = units / (m + 1.0) - 0.5 * m;
  } else if (f <= 0.0 && m > 0.0) {
    m -= 1.0;
    f = units / (m + 1.0) - 0.5 * m;
  }
  return std::min(max_speed, speed_step * (m + f));
}

HalfStep follow(HalfState& half, const Vector& wanted, const HalfLimits& limits) {
  HalfStep step;
  const double envelope = limits.envelope;
  if (envelope > 0.0) {
    const double norm = half.offset.Norm();
    if (norm > envelope * (1.0 + kEnvelopeSlack)) {
      // Tightened below the present offset: back to the envelope along the
      // offset's own direction; the law waits.
      step = approach(half, (envelope / norm) * half.offset, limits);
      step.envelope_limited = true;
      step.at_target = false;
      return step;
    }
  }
  Vector target = wanted;
  if (envelope > 0.0)
    step.envelope_limited = limitLength(target, envelope);
  Vector delta = target - half.offset;
  step.speed_limited = limitLength(delta, limits.speed * kCycleTime);
  half.offset = step.speed_limited ? half.offset + delta : target;
  half.velocity = (1.0 / kCycleTime) * delta;
  return step;
}

HalfStep approach(HalfState& half, const Vector& target, const HalfLimits& limits) {
  HalfStep step;
  const double speed_step = limits.acceleration * kCycleTime;  // per cycle
  const Vector to_target = target - half.offset;
  const double distance = to_target.Norm();
  const double wanted_speed = brakingSpeed(distance, speed_step, limits.speed);
  const Vector wanted =
      distance > 0.0 ? (wanted_speed / distance) * to_target : Vector(0.0, 0.0, 0.0);
  Vector change = wanted - half.velocity;
  const bool limited = limitLength(change, speed_step);
  const Vector velocity = half.velocity + change;
  // The last step of the braking profile (its speed is distance / cycle)
  // lands exactly on the target.
  if (distance > 0.0 && !limited && distance <= speed_step * kCycleTime) {
    half.offset = target;
    half.velocity = velocity;
    step.at_target = true;
    return step;
  }
  half.offset = half.offset + kCycleTime * velocity;
  half.velocity = velocity;
  step.at_target = distance == 0.0 && velocity == kZero;
  return step;
}

bool brake(HalfState& half, const HalfLimits& limits) {
  const double speed = half.velocity.Norm();
  if (!(speed > 0.0)) {
    half.velocity = kZero;
    half.braking = false;
    return false;
  }
  const double slower = std::max(0.0, speed - limits.brake * kCycleTime);
  half.velocity = (slower / speed) * half.velocity;
  half.offset = half.offset + kCycleTime * half.velocity;
  half.braking = slower > 0.0;
  return true;
}

void hold(HalfState& half) {
  half.velocity = kZero;
  half.braking = false;
}

Step OffsetShaper::follow(const Vector& wanted_translation, const Vector& wanted_rotation,
                          const Limits& limits) {
  returning_ = false;
  translation_.braking = false;
  rotation_.braking = false;
  Step step;
  step.translation = offset_shaping::follow(translation_, wanted_translation, limits.translation);
  step.rotation = offset_shaping::follow(rotation_, wanted_rotation, limits.rotation);
  return step;
}

Step OffsetShaper::returnToZero(const Limits& limits) {
  if (!returning_) {
    returning_ = true;
    translation_.braking = true;
    rotation_.braking = true;
  }
  Step step;
  if (!(translation_.braking && brake(translation_, limits.translation)))
    step.translation = approach(translation_, kZero, limits.translation);
  if (!(rotation_.braking && brake(rotation_, limits.rotation)))
    step.rotation = approach(rotation_, kZero, limits.rotation);
  step.returned = step.translation.at_target && step.rotation.at_target;
  return step;
}

void OffsetShaper::hold() {
  offset_shaping::hold(translation_);
  offset_shaping::hold(rotation_);
}

void OffsetShaper::reset() {
  translation_ = HalfState();
  rotation_ = HalfState();
  returning_ = false;
}

void OffsetShaper::rotate(const hx4rc_api::Rotation& r) {
  for (HalfState* half : {&translation_, &rotation_}) {
    half->offset = r * half->offset;
    half->velocity = r * half->velocity;
  }
}

bool OffsetShaper::atZero() const {
  return translation_.offset == kZero && rotation_.offset == kZero;
}

}  // namespace offset_shaping
}  // namespace vorel_device
