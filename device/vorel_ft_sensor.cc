#include "device/vorel_ft_sensor.h"

#include "adaptive/adaptive_thread.h"
#include "comm/VorelForceTorqueSensorComm.h"
#include "comm/VorelForceTorqueSensorSecondaryInstance.h"
#include "comm/force_control_recorder.h"
#include "comm/serial_port.h"
#include "device/black_box.h"
#include "device/black_box_config.h"

#include <chrono>
#include <exception>

namespace vorel_device {

using hx4_program_api::CmdResult;
using hx4_program_api_internals::Console;

VorelFTSensor::VorelFTSensor(boost::shared_ptr<hx4_program_api::ProgramInterface> program,
                             const ptree& config)
    : CustomDevice(std::move(program), config),
      port_fd(serial_port::kNoPort),
      black_box_config(std::make_unique<BlackBoxConfig>(BlackBoxConfig::read(config))),
      program_running(true),
      sampling_rate(0.0) {}

// Removes the signal handlers first, waiting for one in progress, so that no
// handler runs on a half-destroyed device; then releases the workers. Stopping
// the workers is the lifecycle's job, never the destructor's.
VorelFTSensor::~VorelFTSensor() {
  signalBus().unsubscribe(subscriberId());
  // A lifecycle step still running on another thread ends before the
  // workers go.
  std::lock_guard<std::shared_timed_mutex> lifecycle(lifecycle_mutex);
}

void VorelFTSensor::logInfo(const std::string& text) {
  std::ostringstream line;
  line << "[INFO] " << text << "\n";
  Console::write(line.str());
}

void VorelFTSensor::logError(const std::string& text) {
  std::ostringstream line;
  line << "[ERROR] " << text << "\n";
  Console::write(line.str());
}

int VorelFTSensor::onCreate() {
  subscribe<hx4_signal::HWReady>(&VorelFTSensor::onHWReady);
  return 0;
}

void VorelFTSensor::onHWReady(const hx4_signal::HWReady& /*signal*/) {
  if (!activationParams())
    return;
  const Result result = activate(*activationParams());
  auto publish = [this](const boost::any& event, const std::type_info& type) {
    if (auto stream = eventBus().findStream(type))
      stream->publish(event);
  };
  if (result.kind() == Result::kException) {
    publish(boost::any(hx4_bundle::Exception(getPlux(), getClass(), getLabel(), result.code(),
                                             result.message())),
            typeid(hx4_bundle::Exception));
  } else if (result.kind() == Result::kError) {
    publish(boost::any(hx4_bundle::Error(getPlux(), getClass(), getLabel(), result.code(),
                                         result.message())),
            typeid(hx4_bundle::Error));
  }
}

VorelFTSensor::Result VorelFTSensor::onMount(const ptree& params) {
  const hx4_program_api::Load mounted = hx4_bundle_api::ArgProviderXml(params).getLoad(0);
  boost::shared_ptr<hx4_program_api::Load> tool_load =
      program()->systemVariables().getLoad("toolload", hx4rc_api::Load::SysId::LOAD_TOOL);
  *tool_load = mounted;
  return Result::Success();
}

VorelFTSensor::Result VorelFTSensor::onUnmount() {
  return Result::Success();
}

void VorelFTSensor::onAlarm(const hx4_signal::Alarm& /*signal*/) {}

boost::shared_ptr<VorelForceTorqueSensorComm> VorelFTSensor::sensorComm() const {
  return boost::atomic_load(&sensor_comm);
}

boost::shared_ptr<VorelForceTorqueSensorSecondaryInstance> VorelFTSensor::secondaryInstance()
    const {
  return boost::atomic_load(&secondary_instance);
}

boost::shared_ptr<AdaptiveThread> VorelFTSensor::adaptiveThread() const {
  return boost::atomic_load(&adaptive_thread);
}

VorelFTSensor::FacadeAccess VorelFTSensor::facadeFor(const char* function) {
  using Facade = VorelForceTorqueSensorSecondaryInstance;
  const std::chrono::milliseconds wait(kLifecycleWaitMs);
  // A replaced segment is re-opened, then used; a few rounds allow for
  // activations in quick succession.
  bool busy = false;
  for (int attempt = 0; attempt < 3 && !busy; ++attempt) {
    std::shared_lock<std::shared_timed_mutex> shared(lifecycle_mutex, std::defer_lock);
    if (!shared.try_lock_for(wait)) {
      busy = true;
      break;
    }
    auto facade = secondaryInstance();
    if (!facade) {
      logError(std::string(function) +
               ": the device is not bound yet (no onBind), so the call does nothing");
      return FacadeAccess();
    }
    const Facade::SegmentState state = facade->segmentState();
    if (state == Facade::SegmentState::kCurrent)
      return FacadeAccess(std::move(shared), std::move(facade));
    if (state == Facade::SegmentState::kGone) {
      logError(std::string(function) +
               ": no shared segment exists (the activating device is deactivated for good or "
               "being re-activated), so the call does nothing");
      return FacadeAccess();
    }
    // An activation in another process created a new segment: re-open it,
    // unless a lifecycle step on this device did so meanwhile.
    shared.unlock();
    std::unique_lock<std::shared_timed_mutex> exclusive(lifecycle_mutex, std::defer_lock);
    if (!exclusive.try_lock_for(wait)) {
      busy = true;
      break;
    }
    auto held = secondaryInstance();
    if (held && held->segmentState() == Facade::SegmentState::kReplaced) {
      try {
        renewFacade();
        logInfo(std::string(function) +
                ": the shared segment was re-created by a new activation; the command facade "
                "now uses the new one");
      } catch (const std::exception& e) {
        logError(std::string(function) + ": the new shared segment could not be opened (" +
                 e.what() + "), so the call does nothing");
        return FacadeAccess();
      }
    }
  }
  if (busy) {
    logError(std::string(function) +
             ": the device is busy with a lifecycle operation for more "
             "than " +
             str(kLifecycleWaitMs) + " ms, so the call does nothing");
  } else {
    logError(std::string(function) +
             ": the shared segment keeps being re-created, so the call does nothing");
  }
  return FacadeAccess();
}

void VorelFTSensor::openPort() {
  logInfo("onActivate: assign port");
  port_fd = serial_port::openAndConfigure(device_path);
}

void VorelFTSensor::closePort() {
  serial_port::close(port_fd);
}

}  // namespace vorel_device
