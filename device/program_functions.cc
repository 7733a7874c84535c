// Robot-program functions: thin layers over the command facade.
#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>

#include "adaptive/control_law.h"
#include "adaptive/force_limit.h"
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

// The stages force control computes (all but the raw one): when its thread
// does not run they hold what it published last.
bool processedStage(Getter getter) {
  return getter != &Facade::getRawFTData;
}

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
  if (processedStage(getter)) {
    const std::string why = notRunning(*facade);
    if (!why.empty()) {
      logError(std::string(function) + ": " + why +
               "; the values read are stale (the last ones force control published)");
    }
  }
  for (int i = 0; i < 3; ++i)
    out.item(i, 0) = wrench[first + i];
  return Result::Success();
}

// The bias after adding `delta` to the force (first = 0) or torque (3) half
// of `offset`, refused beyond the largest force or torque limit: a bias that
// large hides or invents a force no sensor of the force limits' range reads.
std::string biasRefusal(const char* function, const double (&offset)[6], int first,
                        const Values<3>& delta) {
  double bias[3];
  for (int i = 0; i < 3; ++i)
    bias[i] = offset[first + i] + delta[i];
  const double magnitude = std::sqrt(bias[0] * bias[0] + bias[1] * bias[1] + bias[2] * bias[2]);
  const bool force = first == 0;
  const double max = force ? ForceLimits::kMaxForce : ForceLimits::kMaxTorque;
  if (magnitude <= max)
    return std::string();
  const char* unit = force ? " N" : " N m";
  return std::string(function) + ": the " + (force ? "force" : "torque") + " bias would become (" +
         str(bias[0]) + ", " + str(bias[1]) + ", " + str(bias[2]) + ")" + unit + ", " +
         str(magnitude) + unit + " in magnitude, beyond the accepted range of at most " + str(max) +
         unit + "; the bias is unchanged";
}

// Shifts the force (first = 0) or torque (first = 3) bias so that the stage
// reads `targets`; no reading, a stale one, or a bias out of range: the bias
// is unchanged.
Result resetStage(SegmentBinding& binding, const char* function, Array& targets, Getter getter,
                  int first) {
  double offset[6] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
  auto delta = [&](Facade& facade, Values<3>& values) {
    double wrench[6] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    if (!(facade.*getter)(wrench) || !facade.getWrenchOffset(offset))
      return false;
    if (processedStage(getter) && !refuseIfNotRunning(function, facade))
      return false;
    for (int i = 0; i < 3; ++i)
      values[i] = wrench[first + i] - targets.item(i, 0).d(true);
    return true;
  };
  auto refusal = [&](const Values<3>& values) {
    const std::string non_finite = unlessFinite<3>(function, kNonFiniteBias)(values);
    return non_finite.empty() ? biasRefusal(function, offset, first, values) : non_finite;
  };
  return checkThenForward<3>(binding, function, delta, refusal,
                             [first](Facade& facade, Values<3>& values) {
                               if (first == 0) {
                                 facade.setForceBias(values.data());
                               } else {
                                 facade.setTorqueBias(values.data());
                               }
                             });
}

// The force limits now in force (their defaults when the segment has none).
ForceLimits forceLimitsOf(Facade& facade) {
  ForceLimits limits;
  facade.getForceLimits(limits);
  return force_limit::effective(limits);
}

// A target force (first = 0) or torque (3) at or above its limit is refused:
// force control would press it.
auto belowLimit(const char* function, bool force, const ForceLimits& limits) {
  return [function, force, limits](const Values<3>& v) {
    const std::string non_finite = unlessFinite<3>(function, kNonFiniteSetting)(v);
    if (!non_finite.empty())
      return non_finite;
    const double magnitude = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
    const double limit = force ? limits.force : limits.torque;
    if (magnitude < limit)
      return std::string();
    const char* unit = force ? " N" : " N m";
    return std::string(function) + ": the target " + (force ? "force" : "torque") + " (" +
           exact(v[0]) + ", " + exact(v[1]) + ", " + exact(v[2]) + ")" + unit + " is " +
           exact(magnitude) + unit + " in magnitude, at or above the " +
           (force ? "force" : "torque") + " limit of " + str(limit) + unit +
           " (accepted: below it, see setForceLimits); " + "nothing was changed";
  };
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
  // No reading, or a stale one: no tare.
  double offset[6] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
  return checkThenForward<6>(
      impl_->binding, "tareSensor",
      [&offset](Facade& facade, Values<6>& wrench) {
        double tcp[6];
        if (!facade.getTCPFrameFTData(tcp) || !facade.getWrenchOffset(offset) ||
            !refuseIfNotRunning("tareSensor", facade))
          return false;
        std::copy(tcp, tcp + 6, wrench.begin());
        return true;
      },
      [&offset](const Values<6>& wrench) {
        const std::string non_finite = unlessFinite<6>("tareSensor", kNonFiniteBias)(wrench);
        if (!non_finite.empty())
          return non_finite;
        const std::string force =
            biasRefusal("tareSensor", offset, 0, {wrench[0], wrench[1], wrench[2]});
        return force.empty()
                   ? biasRefusal("tareSensor", offset, 3, {wrench[3], wrench[4], wrench[5]})
                   : force;
      },
      [](Facade& facade, Values<6>& wrench) {
        if (facade.setForceBias(wrench.data()))
          facade.setTorqueBias(wrench.data() + 3);
      });
}

VorelFTSensor::Result VorelFTSensor::setForceTrackValue(Array& force) {
  ForceLimits limits;
  auto read = [&](Facade& facade, Values<3>& values) {
    limits = forceLimitsOf(facade);
    return rowsOf(force)(facade, values);
  };
  return checkThenForward<3>(
      impl_->binding, "setForceTrackValue", read,
      [&](const Values<3>& v) { return belowLimit("setForceTrackValue", true, limits)(v); },
      [](Facade& facade, Values<3>& value) { facade.setForceTrackValue(value.data()); });
}

VorelFTSensor::Result VorelFTSensor::setTorqueTrackValue(Array& torque) {
  ForceLimits limits;
  auto read = [&](Facade& facade, Values<3>& values) {
    limits = forceLimitsOf(facade);
    return rowsOf(torque)(facade, values);
  };
  return checkThenForward<3>(
      impl_->binding, "setTorqueTrackValue", read,
      [&](const Values<3>& v) { return belowLimit("setTorqueTrackValue", false, limits)(v); },
      [](Facade& facade, Values<3>& value) { facade.setTorqueTrackValue(value.data()); });
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
  return checkThenForward<3>(
      impl_->binding, "setForceControlGains",
      numbers(translation_gain, rotation_gain, track_smoothing),
      [](const Values<3>& gains) {
        const std::string non_finite =
            unlessFinite<3>("setForceControlGains", kNonFiniteSetting)(gains);
        if (!non_finite.empty())
          return non_finite;
        std::string refusal = checkGain("translation_gain", gains[0]);
        if (refusal.empty())
          refusal = checkGain("rotation_gain", gains[1]);
        if (refusal.empty())
          refusal = checkTrackSmoothing(gains[2]);
        return refusal.empty() ? refusal : "setForceControlGains: " + refusal + "; nothing changed";
      },
      [](Facade& facade, Values<3>& gains) {
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
