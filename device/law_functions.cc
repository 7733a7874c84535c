// Robot-program functions that shape the force-control law beyond its gains:
// its frame, a dead band against drift and creep, and a virtual stiffness
// and mass. Each refuses a value outside its range with an ERROR line naming
// it, and changes nothing then.
#include <cmath>

#include "comm/command_facade.h"
#include "device/checked_forward.h"
#include "device/device_impl.h"
#include "device/device_log.h"

namespace vorel_device {

namespace {

using Facade = VorelForceTorqueSensorSecondaryInstance;
using Law = ForceControlLaw;

// "" when every value lies in [0, its max] (NaN fails), else which one and
// the ranges.
template <std::size_t N>
std::string outOfRange(const char* function, const Values<N>& values, const char* const (&names)[N],
                       const double (&max)[N], const char* const (&units)[N]) {
  for (std::size_t i = 0; i < N; ++i) {
    if (values[i] >= 0.0 && values[i] <= max[i])
      continue;
    std::string text = std::string(function) + ": " + names[i] + " " + exact(values[i]) + " " +
                       units[i] + " is outside the accepted range [0, " + exact(max[i]) + "] " +
                       units[i];
    return text + "; nothing changed";
  }
  return std::string();
}

}  // namespace

VorelFTSensor::Result VorelFTSensor::setForceControlDeadband(Number& force_N, Number& torque_Nm) {
  return checkThenForward<2>(
      impl_->binding, "setForceControlDeadband", numbers(force_N, torque_Nm),
      [](const Values<2>& v) {
        return outOfRange<2>("setForceControlDeadband", v, {"force_N", "torque_Nm"},
                             {Law::kMaxDeadbandForce, Law::kMaxDeadbandTorque}, {"N", "N m"});
      },
      [](Facade& facade, const Values<2>& v) { facade.setForceControlDeadband(v[0], v[1]); });
}

VorelFTSensor::Result VorelFTSensor::setForceControlCompliance(Number& stiffness_N_per_m,
                                                               Number& mass_kg,
                                                               Number& stiffness_Nm_per_rad,
                                                               Number& inertia_kg_m2) {
  // Backward Euler is stable for every value at or above 0: only those are
  // accepted (a negative stiffness or mass drives the offset away without
  // bound).
  return checkThenForward<4>(
      impl_->binding, "setForceControlCompliance",
      numbers(stiffness_N_per_m, mass_kg, stiffness_Nm_per_rad, inertia_kg_m2),
      [](const Values<4>& v) {
        return outOfRange<4>(
            "setForceControlCompliance", v,
            {"stiffness_N_per_m", "mass_kg", "stiffness_Nm_per_rad", "inertia_kg_m2"},
            {Law::kMaxStiffness, Law::kMaxMass, Law::kMaxRotationalStiffness, Law::kMaxInertia},
            {"N/m", "kg", "N m/rad", "kg m^2"});
      },
      [](Facade& facade, const Values<4>& v) {
        facade.setForceControlCompliance(v[0], v[1], v[2], v[3]);
      });
}

VorelFTSensor::Result VorelFTSensor::setForceControlFrame(int frame) {
  auto facade = impl_->binding.facadeFor("setForceControlFrame");
  if (!facade)
    return Result::Success();
  if (frame != Law::kTcpFrame && frame != Law::kBaseFrame) {
    logError("setForceControlFrame: the frame " + str(frame) +
             " is neither 0 (the TCP's axes) nor 1 (the robot base's axes); nothing changed");
    return Result::Success();
  }
  facade->setForceControlFrame(frame);
  reportIfNotRunning("setForceControlFrame", *facade);
  return Result::Success();
}

}  // namespace vorel_device
