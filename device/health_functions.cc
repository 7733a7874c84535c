// Robot-program functions of the fail-safe layer: the health readout, the
// envelope and the speed limits of the reference offset, the force limits,
// the request for a black-box file; force control's liveness as every
// process sees it.
#include <cmath>

#include "adaptive/offset_shaping.h"
#include "comm/command_facade.h"
#include "device/checked_forward.h"
#include "device/device_impl.h"
#include "device/device_log.h"

namespace vorel_device {

namespace {

using Facade = VorelForceTorqueSensorSecondaryInstance;
constexpr double kMillimetresPerMetre = 1000.0;

}  // namespace

VorelFTSensor::Result VorelFTSensor::readSensorHealth(Array& health) {
  auto facade = impl_->binding.facadeFor("readSensorHealth");
  if (!facade)
    return Result::Success();
  // Liveness first: it needs no lock, so a dead holder of the named mutex
  // cannot hide it.
  const HeartbeatBeat beat = facade->heartbeat();
  const std::int64_t now = heartbeat::monotonicNow();
  const bool running = heartbeat::running(beat, now);
  if (!running)
    health.item(5, 0) = static_cast<double>(SensorHealth::kNotRunning);
  SensorHealth h;
  if (!facade->getSensorHealth(h))
    return Result::Success();
  if (!running) {
    // The figures as the last cycle left them, aged by the time since.
    if (h.last_usable_age >= 0.0 && beat.monotonic_ns != 0)
      h.last_usable_age += heartbeat::ageSeconds(beat, now);
    h.usable_samples_per_second = 0.0;
    h.supervisor_state = SensorHealth::kNotRunning;
  }
  health.item(0, 0) = h.last_usable_age;
  health.item(1, 0) = h.usable_samples_per_second;
  health.item(2, 0) = static_cast<double>(h.crc_errors);
  health.item(3, 0) = static_cast<double>(h.lost_sync_events);
  health.item(4, 0) = static_cast<double>(h.last_status);
  health.item(5, 0) = static_cast<double>(h.supervisor_state);
  // Row 6 where the program's array has room for it: an array of six rows
  // keeps working.
  if (health.rowCapacity() > 6)
    health.item(6, 0) = static_cast<double>(h.force_limit_flags);
  return Result::Success();
}

VorelFTSensor::Result VorelFTSensor::writeBlackBox() {
  auto facade = impl_->binding.facadeFor("writeBlackBox");
  if (!facade)
    return Result::Success();
  if (facade->requestBlackBox(VorelForceTorqueSensorSecondaryInstance::BlackBoxEvent::kRequest))
    reportIfNotRunning("writeBlackBox", *facade);
  return Result::Success();
}

VorelFTSensor::Result VorelFTSensor::setForceControlLimits(Number& maxTranslation_mm,
                                                           Number& maxRotation_deg) {
  return checkThenForward<2>(
      impl_->binding, "setForceControlLimits", numbers(maxTranslation_mm, maxRotation_deg),
      [](const Values<2>& limits) {
        // Written out so that NaN fails too.
        if (limits[0] >= 0.0 && std::isfinite(limits[0]) && limits[1] >= 0.0 &&
            std::isfinite(limits[1])) {
          return std::string();
        }
        return "setForceControlLimits: maxTranslation " + str(limits[0]) + " mm and maxRotation " +
               str(limits[1]) +
               " deg must be finite and in [0, inf) (0: no limit); the limits are unchanged";
      },
      [](Facade& facade, const Values<2>& limits) {
        facade.setForceControlLimits(limits[0] / kMillimetresPerMetre,
                                     limits[1] * offset_shaping::kRadiansPerDegree);
      });
}

VorelFTSensor::Result VorelFTSensor::setForceControlSpeedLimits(Number& translation_mm_per_s,
                                                                Number& rotation_deg_per_s) {
  return checkThenForward<2>(
      impl_->binding, "setForceControlSpeedLimits",
      numbers(translation_mm_per_s, rotation_deg_per_s),
      [](const Values<2>& speeds) {
        const double max_mm = offset_shaping::kMaxTranslationSpeed * kMillimetresPerMetre;
        const double max_deg =
            offset_shaping::kMaxRotationSpeed / offset_shaping::kRadiansPerDegree;
        // Written out so that NaN fails too.
        if (speeds[0] > 0.0 && speeds[0] <= max_mm && speeds[1] > 0.0 && speeds[1] <= max_deg)
          return std::string();
        return "setForceControlSpeedLimits: translation " + str(speeds[0]) + " mm/s and rotation " +
               str(speeds[1]) + " deg/s must lie in (0, " + str(max_mm) + "] mm/s and (0, " +
               str(max_deg) + "] deg/s; the speed limits are unchanged";
      },
      [](Facade& facade, const Values<2>& speeds) {
        facade.setForceControlSpeedLimits(speeds[0] / kMillimetresPerMetre,
                                          speeds[1] * offset_shaping::kRadiansPerDegree);
      });
}

VorelFTSensor::Result VorelFTSensor::setForceLimits(Number& force_N, Number& torque_Nm) {
  return checkThenForward<2>(
      impl_->binding, "setForceLimits", numbers(force_N, torque_Nm),
      [](const Values<2>& limits) {
        // Written out so that NaN fails too.
        if (limits[0] > 0.0 && limits[0] <= ForceLimits::kMaxForce && limits[1] > 0.0 &&
            limits[1] <= ForceLimits::kMaxTorque)
          return std::string();
        return "setForceLimits: force " + exact(limits[0]) + " N and torque " + exact(limits[1]) +
               " N m must lie in (0, " + str(ForceLimits::kMaxForce) + "] N and (0, " +
               str(ForceLimits::kMaxTorque) + "] N m; the force limits are unchanged";
      },
      [](Facade& facade, const Values<2>& limits) { facade.setForceLimits(limits[0], limits[1]); });
}

}  // namespace vorel_device
