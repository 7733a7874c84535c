// Robot-program functions: thin layers over the command facade.
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>

#include "adaptive/control_law.h"
#include "comm/VorelForceTorqueSensorSecondaryInstance.h"
#include "device/vorel_ft_sensor.h"
#include "filters/filter_stability.h"

namespace vorel_device {

namespace {

using Facade = VorelForceTorqueSensorSecondaryInstance;

// Sleeps `ms` milliseconds, resuming with the remaining time after a signal.
void sleepMs(long ms) {
  timespec remaining{ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

// The request record for `name`: bounded 40-byte copy, zero-padded; a name of
// 40 characters or more fills the field without a terminating zero.
FilterOptions requestFor(const std::string& name) {
  FilterOptions options;
  options.setName(name);
  return options;
}

bool allFinite(const double* values, int n) {
  for (int i = 0; i < n; ++i) {
    if (!std::isfinite(values[i]))
      return false;
  }
  return true;
}

// Targets, gains and system-filter parameters enter the filters' and the
// control law's state: a NaN there would hold force control until the
// filter history is reset.
const char* const kNonFiniteSetting = ": a value is not a finite number; nothing was changed";

// The bias accumulates: a NaN or infinite step would stay in it for good.
const char* const kNonFiniteBias =
    ": the reading or a target is not a finite number (is the sensor pose set and a frame "
    "received?); the bias is unchanged";

}  // namespace

template <class Getter>
VorelFTSensor::Result VorelFTSensor::readStage(const char* function, Array& out, Getter getter,
                                               int first) {
  auto facade = facadeFor(function);
  if (!facade)
    return Result::Success();
  double wrench[6] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
  // Without the shared lock the facade has written its ERROR line; `out`
  // keeps what it held.
  if (!((*facade).*getter)(wrench))
    return Result::Success();
  for (int i = 0; i < 3; ++i)
    out.item(i, 0) = wrench[first + i];
  return Result::Success();
}

template <class Getter>
VorelFTSensor::Result VorelFTSensor::resetStage(const char* function, Array& targets, Getter getter,
                                                int first) {
  auto facade = facadeFor(function);
  if (!facade)
    return Result::Success();
  double wrench[6] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
  if (!((*facade).*getter)(wrench))
    return Result::Success();  // no reading: bias unchanged
  double delta[3];
  for (int i = 0; i < 3; ++i)
    delta[i] = wrench[first + i] - targets.item(i, 0).d(true);
  if (!allFinite(delta, 3)) {
    logError(std::string(function) + kNonFiniteBias);
    return Result::Success();
  }
  if (first == 0) {
    facade->setForceBias(delta);
  } else {
    facade->setTorqueBias(delta);
  }
  return Result::Success();
}

VorelFTSensor::Result VorelFTSensor::readForceRaw(Array& force) {
  return readStage("readForceRaw", force, &Facade::getRawFTData, 0);
}
VorelFTSensor::Result VorelFTSensor::readTorqueRaw(Array& torque) {
  return readStage("readTorqueRaw", torque, &Facade::getRawFTData, 3);
}
VorelFTSensor::Result VorelFTSensor::readForceSensorFrame(Array& force) {
  return readStage("readForceSensorFrame", force, &Facade::getGravityCompensatedFTData, 0);
}
VorelFTSensor::Result VorelFTSensor::readTorqueSensorFrame(Array& torque) {
  return readStage("readTorqueSensorFrame", torque, &Facade::getGravityCompensatedFTData, 3);
}
VorelFTSensor::Result VorelFTSensor::readForce(Array& force) {
  return readStage("readForce", force, &Facade::getTCPFrameFTData, 0);
}
VorelFTSensor::Result VorelFTSensor::readTorque(Array& torque) {
  return readStage("readTorque", torque, &Facade::getTCPFrameFTData, 3);
}
VorelFTSensor::Result VorelFTSensor::readForceFiltered(Array& force) {
  return readStage("readForceFiltered", force, &Facade::getTCPFrameFilteredFTData, 0);
}
VorelFTSensor::Result VorelFTSensor::readTorqueFiltered(Array& torque) {
  return readStage("readTorqueFiltered", torque, &Facade::getTCPFrameFilteredFTData, 3);
}

VorelFTSensor::Result VorelFTSensor::resetForceRaw(Array& targets) {
  return resetStage("resetForceRaw", targets, &Facade::getRawFTData, 0);
}
VorelFTSensor::Result VorelFTSensor::resetTorqueRaw(Array& targets) {
  return resetStage("resetTorqueRaw", targets, &Facade::getRawFTData, 3);
}
VorelFTSensor::Result VorelFTSensor::resetForceSensorFrame(Array& targets) {
  return resetStage("resetForceSensorFrame", targets, &Facade::getGravityCompensatedFTData, 0);
}
VorelFTSensor::Result VorelFTSensor::resetTorqueSensorFrame(Array& targets) {
  return resetStage("resetTorqueSensorFrame", targets, &Facade::getGravityCompensatedFTData, 3);
}
VorelFTSensor::Result VorelFTSensor::resetForce(Array& targets) {
  return resetStage("resetForce", targets, &Facade::getTCPFrameFTData, 0);
}
VorelFTSensor::Result VorelFTSensor::resetTorque(Array& targets) {
  return resetStage("resetTorque", targets, &Facade::getTCPFrameFTData, 3);
}

VorelFTSensor::Result VorelFTSensor::tareSensor() {
  auto facade = facadeFor("tareSensor");
  if (!facade)
    return Result::Success();
  double wrench[6] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
  if (!facade->getTCPFrameFTData(wrench))
    return Result::Success();  // no reading: no tare
  if (!allFinite(wrench, 6)) {
    logError(std::string("tareSensor") + kNonFiniteBias);
    return Result::Success();
  }
  if (facade->setForceBias(wrench))
    facade->setTorqueBias(wrench + 3);
  return Result::Success();
}

VorelFTSensor::Result VorelFTSensor::setForceTrackValue(Array& force) {
  auto facade = facadeFor("setForceTrackValue");
  if (!facade)
    return Result::Success();
  double value[3];
  for (int i = 0; i < 3; ++i)
    value[i] = force.item(i, 0).d(true);
  if (!allFinite(value, 3)) {
    logError(std::string("setForceTrackValue") + kNonFiniteSetting);
    return Result::Success();
  }
  facade->setForceTrackValue(value);
  return Result::Success();
}

VorelFTSensor::Result VorelFTSensor::setTorqueTrackValue(Array& torque) {
  auto facade = facadeFor("setTorqueTrackValue");
  if (!facade)
    return Result::Success();
  double value[3];
  for (int i = 0; i < 3; ++i)
    value[i] = torque.item(i, 0).d(true);
  if (!allFinite(value, 3)) {
    logError(std::string("setTorqueTrackValue") + kNonFiniteSetting);
    return Result::Success();
  }
  facade->setTorqueTrackValue(value);
  return Result::Success();
}

VorelFTSensor::Result VorelFTSensor::activateForceControl(bool translation, bool rotation) {
  if (auto facade = facadeFor("activateForceControl")) {
    facade->activate(translation, rotation);
    reportIfNotRunning("activateForceControl", *facade);
  }
  return Result::Success();
}

VorelFTSensor::Result VorelFTSensor::deactivateForceControl() {
  auto facade = facadeFor("deactivateForceControl");
  if (!facade)
    return Result::Success();
  double zero[3] = {0.0, 0.0, 0.0};
  // Returns at once: the force-control thread brings the offset back to
  // zero over the next cycles.
  facade->activate(false, false);
  facade->setForceTrackValue(zero);
  facade->setTorqueTrackValue(zero);
  reportIfNotRunning("deactivateForceControl", *facade);
  return Result::Success();
}

VorelFTSensor::Result VorelFTSensor::setEnabledAxes(bool fx, bool fy, bool fz, bool tx, bool ty,
                                                    bool tz) {
  if (auto facade = facadeFor("setEnabledAxes"))
    facade->setEnabledAxes(fx, fy, fz, tx, ty, tz);
  return Result::Success();
}

VorelFTSensor::Result VorelFTSensor::setForceControlGains(Number& translation_gain,
                                                          Number& rotation_gain,
                                                          Number& track_smoothing) {
  auto facade = facadeFor("setForceControlGains");
  if (!facade)
    return Result::Success();
  const double gains[3] = {translation_gain.d(true), rotation_gain.d(true),
                           track_smoothing.d(true)};
  if (!allFinite(gains, 3)) {
    logError(std::string("setForceControlGains") + kNonFiniteSetting);
    return Result::Success();
  }
  const std::string refusal = checkTrackSmoothing(gains[2]);
  if (!refusal.empty()) {
    logError("setForceControlGains: " + refusal + "; nothing changed");
    return Result::Success();
  }
  facade->setForceControlGains(gains[0], gains[1], gains[2]);
  return Result::Success();
}

VorelFTSensor::Result VorelFTSensor::setEnabledSystemFilters(bool enabled) {
  if (auto facade = facadeFor("setEnabledSystemFilters"))
    facade->setEnabledSystemFilters(enabled);
  return Result::Success();
}

VorelFTSensor::Result VorelFTSensor::setSystemFilterParams(Number& cutoff_frequency,
                                                           Number& rising_rate,
                                                           Number& falling_rate) {
  auto facade = facadeFor("setSystemFilterParams");
  if (!facade)
    return Result::Success();
  const double params[3] = {cutoff_frequency.d(true), rising_rate.d(true), falling_rate.d(true)};
  if (!allFinite(params, 3)) {
    logError(std::string("setSystemFilterParams") + kNonFiniteSetting);
    return Result::Success();
  }
  // The system filter is stepped once per force-control cycle.
  const std::string refusal =
      checkSystemFilterParams(params[0], params[1], params[2], 1.0 / control_law::kCycleTime);
  if (!refusal.empty()) {
    logError("setSystemFilterParams: " + refusal + "; nothing changed");
    return Result::Success();
  }
  facade->setSystemFilterParams(params[0], params[1], params[2]);
  return Result::Success();
}

VorelFTSensor::Result VorelFTSensor::resetFilters() {
  if (auto facade = facadeFor("resetFilters")) {
    facade->resetFilters();
    reportIfNotRunning("resetFilters", *facade);
  }
  return Result::Success();
}

VorelFTSensor::Result VorelFTSensor::addFilter(std::string name, int type, double p1, double p2,
                                               double p3, double p4, double p5) {
  auto facade = facadeFor("addFilter");
  if (!facade)
    return Result::Success();
  if (type < kLowPassFilter || type > kHighPassRateLimiter) {
    // The force-control thread would end the whole host process on an unknown
    // type: a typing error in a robot program is refused here instead.
    logError("addFilter: unknown filter type " + str(type) + " for filter \"" + name +
             "\" (1 low-pass, 2 notch, 3 rate limiter, 4 high-pass rate limiter); nothing added");
    return Result::Success();
  }
  FilterOptions options = requestFor(name);
  options.type = type;
  options.reject_frequency = p1;
  options.bandwidth = p2;
  options.cutoff_frequency = p3;
  options.rising_rate = p4;
  options.falling_rate = p5;
  // The chain's filters are stepped once per force-control cycle.
  const std::string refusal = checkFilterRequest(options, 1.0 / control_law::kCycleTime);
  if (!refusal.empty()) {
    logError("addFilter: filter \"" + name + "\": " + refusal + "; nothing added");
    return Result::Success();
  }
  facade->addOrRemoveFilter(options, Facade::kAddFilter);
  reportIfNotRunning("addFilter", *facade);
  // Gives the force-control thread (2 ms cycle) time to take the request
  // before the program can send the next one through the one-request slot.
  sleepMs(10);
  return Result::Success();
}

VorelFTSensor::Result VorelFTSensor::removeFilter(std::string name) {
  auto facade = facadeFor("removeFilter");
  if (!facade)
    return Result::Success();
  FilterOptions options = requestFor(name);
  options.type = 0;
  facade->addOrRemoveFilter(options, Facade::kRemoveFilter);
  reportIfNotRunning("removeFilter", *facade);
  return Result::Success();
}

}  // namespace vorel_device
