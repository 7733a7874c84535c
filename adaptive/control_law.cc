#include "adaptive/control_law.h"

#include <cmath>

namespace vorel_device {
namespace control_law {

void smoothSetPoint(Wrench& track_reference, const Wrench& track_wrench, double track_smoothing) {
  for (int i = 0; i < 6; ++i) {
    track_reference[i] =
        track_reference[i] * (1.0 - track_smoothing) + track_wrench[i] * track_smoothing;
  }
}

double deadband(double error, double band) {
  if (std::fabs(error) <= band)
    return error == 0.0 ? error : 0.0 * error;  // 0 (NaN stays NaN)
  return error - std::copysign(band, error);    // exactly `error` for a band of 0
}

hx4rc_api::Vector translationalRate(const Wrench& filtered, const Wrench& track_reference,
                                    const Gains& gains, const AxisFactors& axes, double band) {
  const double k = gains.translation_gain * kTranslationScale;
  hx4rc_api::Vector rate;
  for (int i = 0; i < 3; ++i)
    rate[i] = deadband(filtered[i] - track_reference[i], band) * k * axes[i];
  return rate;
}

hx4rc_api::Vector rotationalRate(const Wrench& filtered, const Wrench& track_reference,
                                 const Gains& gains, const AxisFactors& axes, double band) {
  const double k = gains.rotation_gain * kRotationScale;
  hx4rc_api::Vector rate;
  for (int i = 0; i < 3; ++i) {
    rate[i] = deadband(filtered[3 + i] - track_reference[3 + i], band) * k * axes[3 + i];
  }
  return rate;
}

hx4rc_api::Vector translationalFactors(const Gains& gains, const AxisFactors& axes) {
  const double k = gains.translation_gain * kTranslationScale;
  return hx4rc_api::Vector(k * axes[0], k * axes[1], k * axes[2]);
}

hx4rc_api::Vector rotationalFactors(const Gains& gains, const AxisFactors& axes) {
  const double k = gains.rotation_gain * kRotationScale;
  return hx4rc_api::Vector(k * axes[3], k * axes[4], k * axes[5]);
}

bool complianceStep(hx4rc_api::Vector& offset, const hx4rc_api::Vector& velocity,
                    const hx4rc_api::Vector& rate, const hx4rc_api::Vector& factors,
                    const Compliance& compliance) {
  if (compliance.none())
    return integrate(offset, rate);
  const double m = compliance.mass;
  const double stiffness = compliance.stiffness;
  const double dt = kCycleTime;
  hx4rc_api::Vector next = offset;
  for (int i = 0; i < 3; ++i) {
    const double k = factors[i];
    // An axis the law does not move (k = 0) keeps its offset; a factor of
    // the wrong sign (a peer's negative axis) would make the step unstable.
    if (!(k > 0.0))
      continue;
    const double v = (m * k * velocity[i] + dt * (rate[i] - k * stiffness * offset[i])) /
                     (m * k + dt + dt * dt * stiffness * k);
    next[i] = offset[i] + dt * v;
    if (!std::isfinite(next[i]))
      return false;
  }
  offset = next;
  return true;
}

bool integrate(hx4rc_api::Vector& offset, const hx4rc_api::Vector& rate) {
  const hx4rc_api::Vector next = offset + kCycleTime * rate;
  for (int i = 0; i < 3; ++i) {
    if (!std::isfinite(rate[i]) || !std::isfinite(next[i]))
      return false;
  }
  offset = next;
  return true;
}

}  // namespace control_law
}  // namespace vorel_device
