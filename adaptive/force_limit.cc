#include "adaptive/force_limit.h"

#include <algorithm>
#include <cmath>

namespace vorel_device {
namespace force_limit {

namespace {

using hx4rc_api::Vector;

double norm3(const Wrench& w, int first) {
  return std::sqrt(w[first] * w[first] + w[first + 1] * w[first + 1] + w[first + 2] * w[first + 2]);
}

Vector direction(const Wrench& w, int first) {
  const double n = norm3(w, first);
  if (!(n > 0.0) || !std::isfinite(n))
    return Vector(0.0, 0.0, 0.0);
  return Vector(w[first] / n, w[first + 1] / n, w[first + 2] / n);
}

// Raises the error (filtered - reference) of one half along `u` to at least
// `excess`, by lowering the reference along `u`.
void raiseError(Wrench& reference, const Wrench& filtered, int first, const Vector& u,
                double excess) {
  double along = 0.0;
  for (int i = 0; i < 3; ++i)
    along += (filtered[first + i] - reference[first + i]) * u[i];
  const double lift = excess - along;
  if (!(lift > 0.0))
    return;
  for (int i = 0; i < 3; ++i)
    reference[first + i] -= lift * u[i];
}

}  // namespace

ForceLimits effective(const ForceLimits& limits) {
  ForceLimits out;
  if (limits.force > 0.0 && limits.force <= ForceLimits::kMaxForce)
    out.force = limits.force;
  if (limits.torque > 0.0 && limits.torque <= ForceLimits::kMaxTorque)
    out.torque = limits.torque;
  return out;
}

double forceNorm(const Wrench& w) {
  return norm3(w, 0);
}

double torqueNorm(const Wrench& w) {
  return norm3(w, 3);
}

Vector forceDirection(const Wrench& wrench) {
  return direction(wrench, 0);
}

Vector torqueDirection(const Wrench& wrench) {
  return direction(wrench, 3);
}

Check Guard::update(const Wrench* wrench, bool overrange, const ForceLimits& limits) {
  Check c;
  c.limits = effective(limits);
  if (wrench) {
    c.force = forceNorm(*wrench);
    c.torque = torqueNorm(*wrench);
    if (c.force > c.limits.force)
      c.flags |= ForceLimits::kForceOver;
    if (c.torque > c.limits.torque)
      c.flags |= ForceLimits::kTorqueOver;
  }
  if (overrange)
    c.flags |= ForceLimits::kOverrange;
  if (c.flags != 0) {
    c.started = c.flags & ~episode_;
    episode_ |= c.flags;
    quiet_ = 0;
  } else if (episode_ != 0 && ++quiet_ >= kQuietCycles) {
    episode_ = 0;
    quiet_ = 0;
  }
  return c;
}

Wrench limitedReference(const Wrench& reference, const Wrench& filtered, const Wrench& wrench,
                        const Check& check) {
  Wrench out = reference;
  raiseError(out, filtered, 0, forceDirection(wrench), check.force - check.limits.force);
  raiseError(out, filtered, 3, torqueDirection(wrench), check.torque - check.limits.torque);
  return out;
}

Vector notAgainst(const Vector& current, const Vector& wanted, const Vector& direction) {
  Vector out = wanted;
  for (int i = 0; i < 3; ++i) {
    if ((wanted[i] - current[i]) * direction[i] < 0.0)
      out[i] = current[i];
  }
  return out;
}

}  // namespace force_limit
}  // namespace vorel_device
