// Robot-program functions of the fail-safe layer: the health readout and the
// envelope of the reference offset.
#include <cmath>

#include "comm/VorelForceTorqueSensorSecondaryInstance.h"
#include "device/vorel_ft_sensor.h"

namespace vorel_device {

namespace {

constexpr double kMillimetresPerMetre = 1000.0;
constexpr double kRadiansPerDegree = 3.141592653589793 / 180.0;

}  // namespace

VorelFTSensor::Result VorelFTSensor::readSensorHealth(Array& health) {
  auto facade = facadeFor("readSensorHealth");
  if (!facade)
    return Result::Success();
  SensorHealth h;
  if (!facade->getSensorHealth(h))
    return Result::Success();
  health.item(0, 0) = h.last_usable_age;
  health.item(1, 0) = h.usable_samples_per_second;
  health.item(2, 0) = static_cast<double>(h.crc_errors);
  health.item(3, 0) = static_cast<double>(h.lost_sync_events);
  health.item(4, 0) = static_cast<double>(h.last_status);
  health.item(5, 0) = static_cast<double>(h.supervisor_state);
  return Result::Success();
}

VorelFTSensor::Result VorelFTSensor::setForceControlLimits(Number& maxTranslation_mm,
                                                           Number& maxRotation_deg) {
  auto facade = facadeFor("setForceControlLimits");
  if (!facade)
    return Result::Success();
  const double translation_mm = maxTranslation_mm.d(true);
  const double rotation_deg = maxRotation_deg.d(true);
  // Written out so that NaN fails too.
  if (!(translation_mm >= 0.0 && std::isfinite(translation_mm)) ||
      !(rotation_deg >= 0.0 && std::isfinite(rotation_deg))) {
    logError("setForceControlLimits: maxTranslation " + str(translation_mm) +
             " mm and maxRotation " + str(rotation_deg) +
             " deg must be finite and in [0, inf) (0: no limit); the limits are unchanged");
    return Result::Success();
  }
  facade->setForceControlLimits(translation_mm / kMillimetresPerMetre,
                                rotation_deg * kRadiansPerDegree);
  return Result::Success();
}

}  // namespace vorel_device
