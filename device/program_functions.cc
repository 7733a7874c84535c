// Robot-program functions: thin layers over the command facade.
#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>

#include "adaptive/control_law.h"
#include "comm/command_facade.h"
#include "device/checked_forward.h"
#include "device/device_impl.h"
#include "device/device_log.h"
#include "device/guarded_approach.h"
#include "filters/filter_stability.h"

namespace vorel_device {

namespace {

using Facade = VorelForceTorqueSensorSecondaryInstance;
using Array = VorelFTSensor::Array;
using Number = VorelFTSensor::Number;
using Result = VorelFTSensor::Result;

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

// Targets, gains and system-filter parameters enter the filters' and the
// control law's state: a NaN there would hold force control until the
// filter history is reset.
const char* const kNonFiniteSetting = ": a value is not a finite number; nothing was changed";

// The bias accumulates: a NaN or infinite step would stay in it for good.
const char* const kNonFiniteBias =
    ": the reading or a target is not a finite number (is the sensor pose set and a frame "
    "received?); the bias is unchanged";

using Getter = bool (Facade::*)(double (&)[6]);

// Reads one stage into rows 0..2 of `out`: components first..first+2.
Result readStage(SegmentBinding& binding, const char* function, Array& out, Getter getter,
                 int first) {
  auto facade = binding.facadeFor(function);
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

// Shifts the force (first = 0) or torque (first = 3) bias so that the stage
// reads `targets`; no reading: the bias is unchanged.
Result resetStage(SegmentBinding& binding, const char* function, Array& targets, Getter getter,
                  int first) {
  auto delta = [&targets, getter, first](Facade& facade, std::array<double, 3>& values) {
    double wrench[6] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    if (!(facade.*getter)(wrench))
      return false;
    for (int i = 0; i < 3; ++i)
      values[i] = wrench[first + i] - targets.item(i, 0).d(true);
    return true;
  };
  return checkThenForward<3>(binding, function, delta, unlessFinite<3>(function, kNonFiniteBias),
                             [first](Facade& facade, std::array<double, 3>& values) {
                               if (first == 0) {
                                 facade.setForceBias(values.data());
                               } else {
                                 facade.setTorqueBias(values.data());
                               }
                             });
}

}  // namespace

VorelFTSensor::Result VorelFTSensor::readForceRaw(Array& force) {
  return readStage(impl_->binding, "readForceRaw", force, &Facade::getRawFTData, 0);
}
VorelFTSensor::Result VorelFTSensor::readTorqueRaw(Array& torque) {
  return readStage(impl_->binding, "readTorqueRaw", torque, &Facade::getRawFTData, 3);
}
VorelFTSensor::Result VorelFTSensor::readForceSensorFrame(Array& force) {
  return readStage(impl_->binding, "readForceSensorFrame", force,
                   &Facade::getGravityCompensatedFTData, 0);
}
VorelFTSensor::Result VorelFTSensor::readTorqueSensorFrame(Array& torque) {
  return readStage(impl_->binding, "readTorqueSensorFrame", torque,
                   &Facade::getGravityCompensatedFTData, 3);
}
VorelFTSensor::Result VorelFTSensor::readForce(Array& force) {
  return readStage(impl_->binding, "readForce", force, &Facade::getTCPFrameFTData, 0);
}
VorelFTSensor::Result VorelFTSensor::readTorque(Array& torque) {
  return readStage(impl_->binding, "readTorque", torque, &Facade::getTCPFrameFTData, 3);
}
VorelFTSensor::Result VorelFTSensor::readForceFiltered(Array& force) {
  return readStage(impl_->binding, "readForceFiltered", force, &Facade::getTCPFrameFilteredFTData,
                   0);
}
VorelFTSensor::Result VorelFTSensor::readTorqueFiltered(Array& torque) {
  return readStage(impl_->binding, "readTorqueFiltered", torque, &Facade::getTCPFrameFilteredFTData,
                   3);
}

VorelFTSensor::Result VorelFTSensor::resetForceRaw(Array& targets) {
  return resetStage(impl_->binding, "resetForceRaw", targets, &Facade::getRawFTData, 0);
}
VorelFTSensor::Result VorelFTSensor::resetTorqueRaw(Array& targets) {
  return resetStage(impl_->binding, "resetTorqueRaw", targets, &Facade::getRawFTData, 3);
}
VorelFTSensor::Result VorelFTSensor::resetForceSensorFrame(Array& targets) {
  return resetStage(impl_->binding, "resetForceSensorFrame", targets,
                    &Facade::getGravityCompensatedFTData, 0);
}
VorelFTSensor::Result VorelFTSensor::resetTorqueSensorFrame(Array& targets) {
  return resetStage(impl_->binding, "resetTorqueSensorFrame", targets,
                    &Facade::getGravityCompensatedFTData, 3);
}
VorelFTSensor::Result VorelFTSensor::resetForce(Array& targets) {
  return resetStage(impl_->binding, "resetForce", targets, &Facade::getTCPFrameFTData, 0);
}
VorelFTSensor::Result VorelFTSensor::resetTorque(Array& targets) {
  return resetStage(impl_->binding, "resetTorque", targets, &Facade::getTCPFrameFTData, 3);
}

VorelFTSensor::Result VorelFTSensor::tareSensor() {
  // No reading: no tare.
  return checkThenForward<6>(
      impl_->binding, "tareSensor",
      [](Facade& facade, std::array<double, 6>& wrench) {
        double tcp[6];
        if (!facade.getTCPFrameFTData(tcp))
          return false;
        std::copy(tcp, tcp + 6, wrench.begin());
        return true;
      },
      unlessFinite<6>("tareSensor", kNonFiniteBias),
      [](Facade& facade, std::array<double, 6>& wrench) {
        if (facade.setForceBias(wrench.data()))
          facade.setTorqueBias(wrench.data() + 3);
      });
}

VorelFTSensor::Result VorelFTSensor::setForceTrackValue(Array& force) {
  return checkThenForward<3>(impl_->binding, "setForceTrackValue", rowsOf(force),
                             unlessFinite<3>("setForceTrackValue", kNonFiniteSetting),
                             [](Facade& facade, std::array<double, 3>& value) {
                               facade.setForceTrackValue(value.data());
                             });
}

VorelFTSensor::Result VorelFTSensor::setTorqueTrackValue(Array& torque) {
  return checkThenForward<3>(impl_->binding, "setTorqueTrackValue", rowsOf(torque),
                             unlessFinite<3>("setTorqueTrackValue", kNonFiniteSetting),
                             [](Facade& facade, std::array<double, 3>& value) {
                               facade.setTorqueTrackValue(value.data());
                             });
}

VorelFTSensor::Result VorelFTSensor::activateForceControl(bool translation, bool rotation) {
  if (auto facade = impl_->binding.facadeFor("activateForceControl")) {
    facade->activate(translation, rotation);
    reportIfNotRunning("activateForceControl", *facade);
  }
  return Result::Success();
}

VorelFTSensor::Result VorelFTSensor::deactivateForceControl() {
  auto facade = impl_->binding.facadeFor("deactivateForceControl");
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
  if (auto facade = impl_->binding.facadeFor("setEnabledAxes"))
    facade->setEnabledAxes(fx, fy, fz, tx, ty, tz);
  return Result::Success();
}

VorelFTSensor::Result VorelFTSensor::setForceControlGains(Number& translation_gain,
                                                          Number& rotation_gain,
                                                          Number& track_smoothing) {
  return checkThenForward<3>(impl_->binding, "setForceControlGains",
                             numbers(translation_gain, rotation_gain, track_smoothing),
                             unlessFinite<3>("setForceControlGains", kNonFiniteSetting),
                             [](Facade& facade, std::array<double, 3>& gains) {
                               const std::string refusal = checkTrackSmoothing(gains[2]);
                               if (!refusal.empty()) {
                                 logError("setForceControlGains: " + refusal + "; nothing changed");
                                 return;
                               }
                               facade.setForceControlGains(gains[0], gains[1], gains[2]);
                             });
}

VorelFTSensor::Result VorelFTSensor::setEnabledSystemFilters(bool enabled) {
  if (auto facade = impl_->binding.facadeFor("setEnabledSystemFilters"))
    facade->setEnabledSystemFilters(enabled);
  return Result::Success();
}

VorelFTSensor::Result VorelFTSensor::setSystemFilterParams(Number& cutoff_frequency,
                                                           Number& rising_rate,
                                                           Number& falling_rate) {
  return checkThenForward<3>(
      impl_->binding, "setSystemFilterParams", numbers(cutoff_frequency, rising_rate, falling_rate),
      unlessFinite<3>("setSystemFilterParams", kNonFiniteSetting),
      [](Facade& facade, std::array<double, 3>& params) {
        // The system filter is stepped once per force-control cycle.
        const std::string refusal =
            checkSystemFilterParams(params[0], params[1], params[2], 1.0 / control_law::kCycleTime);
        if (!refusal.empty()) {
          logError("setSystemFilterParams: " + refusal + "; nothing changed");
          return;
        }
        facade.setSystemFilterParams(params[0], params[1], params[2]);
      });
}

VorelFTSensor::Result VorelFTSensor::resetFilters() {
  if (auto facade = impl_->binding.facadeFor("resetFilters")) {
    facade->resetFilters();
    reportIfNotRunning("resetFilters", *facade);
  }
  return Result::Success();
}

VorelFTSensor::Result VorelFTSensor::addFilter(std::string name, int type, double p1, double p2,
                                               double p3, double p4, double p5) {
  auto facade = impl_->binding.facadeFor("addFilter");
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
  auto facade = impl_->binding.facadeFor("removeFilter");
  if (!facade)
    return Result::Success();
  FilterOptions options = requestFor(name);
  options.type = 0;
  facade->addOrRemoveFilter(options, Facade::kRemoveFilter);
  reportIfNotRunning("removeFilter", *facade);
  return Result::Success();
}

VorelFTSensor::Result VorelFTSensor::moveToContact(int referenceFrame, int axis, Number& speed,
                                                   Number& forceThreshold, Number& maxDistance,
                                                   Number& retractDistance) {
  GuardedApproach(impl_->binding, *program(), program_running_,
                  {referenceFrame, axis, speed, forceThreshold, maxDistance, retractDistance})
      .run();
  return Result::Success();
}

VorelFTSensor::Result VorelFTSensor::captureLoadSample() {
  impl_->commissioning.captureLoadSample();
  return Result::Success();
}

VorelFTSensor::Result VorelFTSensor::identifyToolLoad(Array& result) {
  impl_->commissioning.identifyToolLoad(result);
  return Result::Success();
}

VorelFTSensor::Result VorelFTSensor::clearLoadSamples() {
  impl_->commissioning.clearLoadSamples();
  return Result::Success();
}

}  // namespace vorel_device
