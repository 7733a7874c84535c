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

hx4rc_api::Vector translationalRate(const Wrench& filtered, const Wrench& track_reference,
                                    const Gains& gains, const AxisFactors& axes) {
  const double k = gains.translation_gain * kTranslationScale;
  hx4rc_api::Vector rate;
  for (int i = 0; i < 3; ++i)
    rate[i] = (filtered[i] - track_reference[i]) * k * axes[i];
  return rate;
}

hx4rc_api::Vector rotationalRate(const Wrench& filtered, const Wrench& track_reference,
                                 const Gains& gains, const AxisFactors& axes) {
  const double k = gains.rotation_gain * kRotationScale;
  hx4rc_api::Vector rate;
  for (int i = 0; i < 3; ++i) {
    rate[i] = (filtered[3 + i] - track_reference[3 + i]) * k * axes[3 + i];
  }
  return rate;
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
