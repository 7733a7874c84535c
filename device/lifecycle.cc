// The lifecycle operations that create, start and stop the three workers, and
// the program-termination handler.
#include <mutex>
#include <string>

#include "adaptive/force_control_thread.h"
#include "comm/sensor_reader.h"
#include "device/device_impl.h"
#include "device/device_log.h"

namespace vorel_device {

int VorelFTSensor::onBind() {
  std::lock_guard<std::shared_timed_mutex> lifecycle(impl_->binding.lifecycleMutex());
  logInfo("VorelFTSensor::onBind");
  subscribe<hx4_signal::ProgramTerminated>(*this, &VorelFTSensor::onProgramTerminated);
  subscribe<hx4_signal::Alarm>(*this, &VorelFTSensor::onAlarm);

  if (!activationParams()) {
    logError("[PLUX/sample] Activation params are not available");
    return -1;
  }
  logInfo("onBind: device_address = " +
          hx4_bundle_api::ArgProviderXml(*activationParams()).getString(0));

  impl_->binding.createFacade();
  if (!mountingParams()) {
    logError("[PLUX/sample] Mounting params are not available");
    return -1;
  }
  return 0;
}

VorelFTSensor::Result VorelFTSensor::onActivate(const ptree& params) {
  std::lock_guard<std::shared_timed_mutex> lifecycle(impl_->binding.lifecycleMutex());
  logInfo("Activating");
  Workers& workers = impl_->workers;
  double frequency = 0.0;
  int priority = 0;
  std::string refusal;
  if (!workers.readActivation(hx4_bundle_api::ArgProviderXml(params), frequency, priority,
                              refusal)) {
    return Result::Error(-1, refusal);
  }
  // A second activation without onDeactivate: stop the running workers first,
  // so that no reader, port or force-control thread is left behind.
  if (workers.running())
    workers.deactivate("onActivate");
  workers.replaceReader();
  std::string failure;
  if (!workers.startReader(frequency, priority, failure)) {
    const std::string why = "the sensor port " + workers.devicePath() + " " + failure;
    logError("onActivate: " + why + "; the device is not activated, nothing runs");
    return Result::Error(-1, "Activation failed: " + why + ".");
  }
  // A facade bound on an earlier segment is moved to the new one.
  if (impl_->binding.facade())
    impl_->binding.renewFacade();
  if (workers.startForceControl(program(), priority))
    return Result::Success();
  return Result::Error(-1, "Failed to start the adaptive thread.");
}

VorelFTSensor::Result VorelFTSensor::onDeactivate() {
  std::lock_guard<std::shared_timed_mutex> lifecycle(impl_->binding.lifecycleMutex());
  impl_->workers.deactivate("onDeactivate");
  return Result::Success();
}

int VorelFTSensor::onUnbind() {
  std::lock_guard<std::shared_timed_mutex> lifecycle(impl_->binding.lifecycleMutex());
  logInfo("VorelFTSensor::onUnbind");
  if (auto facade = impl_->binding.facade()) {
    // Without a bound program nobody can switch force control off any more:
    // it ends now, by the return to zero, which this step waits for.
    facade->activate(false, false);
    auto adaptive = impl_->workers.forceControl();
    if (adaptive && adaptive->holdsThread()) {
      impl_->workers.endForceControlHere("onUnbind");
    } else {
      Workers::awaitReturnThroughHeartbeat("onUnbind", *facade);
    }
    facade->stop(SegmentBinding::kFacadeTimeoutMs);
  }
  return 0;
}

int VorelFTSensor::onDestroy() {
  onDeactivate();
  return 0;
}

void VorelFTSensor::onProgramTerminated(const hx4_signal::ProgramTerminated& /*signal*/) {
  // moveToContact stops for good whether or not the device can reach the
  // force-control thread.
  program_running_.store(false);
  if (!impl_->binding.facade()) {
    logError(
        "onProgramTerminated: the device is not bound (no onBind), so no filter is removed and "
        "force control is not switched off here; moveToContact no longer moves the robot");
    return;
  }
  {
    FacadeAccess facade = impl_->binding.facadeFor("onProgramTerminated");
    if (!facade)
      return;
    // First, while force control may still be on: the force-control thread
    // marks the termination in its recorder (a black-box file) only then.
    facade->requestBlackBox(
        VorelForceTorqueSensorSecondaryInstance::BlackBoxEvent::kProgramTerminated);
    FilterOptions remove_all;
    remove_all.setName("all");
    remove_all.type = 0;
    facade->addOrRemoveFilter(remove_all, VorelForceTorqueSensorSecondaryInstance::kRemoveFilter);
  }
  deactivateForceControl();
}

}  // namespace vorel_device
