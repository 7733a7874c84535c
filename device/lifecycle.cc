// The lifecycle operations that create, start and stop the three workers, and
// the program-termination handler.
#include <boost/make_shared.hpp>
#include <cmath>
#include <exception>
#include <mutex>
#include <string>

#include "adaptive/adaptive_thread.h"
#include "comm/VorelForceTorqueSensorComm.h"
#include "comm/VorelForceTorqueSensorSecondaryInstance.h"
#include "device/vorel_ft_sensor.h"

namespace vorel_device {

namespace {

constexpr int kReaderPeriodMs = 5;
constexpr int kFacadePeriodMs = 10;
constexpr int kAdaptivePeriodMs = 0;  // paced by the controller's synchronisation
constexpr int kReaderTimeoutMs = 1000;
constexpr int kFacadeTimeoutMs = 1000;
// A cycle may wait up to 100 ms for the named mutex before it gives up, plus
// the controller's synchronisation: the stop allows for both.
constexpr int kAdaptiveTimeoutMs = 1000;

}  // namespace

bool VorelFTSensor::realtimePriorityOf(const hx4_bundle_api::ArgProviderXml& args, int& priority,
                                       std::string& refusal) {
  priority = 0;
  if (args.getArgCount() < 3)
    return true;  // absent: normal scheduling
  const char* const range =
      "; expected a whole number from 0 (normal scheduling) to 98 (SCHED_FIFO priority of force "
      "control)";
  double value = 0.0;
  try {
    value = args.getDouble(2);
  } catch (const std::exception& e) {
    refusal = std::string("Invalid real-time priority (") + e.what() + ")" + range + ".";
    return false;
  }
  if (!(value >= 0.0 && value <= kMaxRealtimePriority) || value != std::floor(value)) {
    refusal = "Invalid real-time priority " + str(value) + range + ".";
    return false;
  }
  priority = static_cast<int>(value);
  return true;
}

double VorelFTSensor::samplingRateFor(double frequency) {
  if (frequency >= 500.0)
    return 500.0;
  if (frequency >= 250.0)
    return 250.0;
  return 100.0;  // also a NaN frequency
}

int VorelFTSensor::onBind() {
  std::lock_guard<std::shared_timed_mutex> lifecycle(lifecycle_mutex);
  logInfo("VorelFTSensor::onBind");
  subscribe<hx4_signal::ProgramTerminated>(&VorelFTSensor::onProgramTerminated);
  subscribe<hx4_signal::Alarm>(&VorelFTSensor::onAlarm);

  if (!activationParams()) {
    logError("[PLUX/sample] Activation params are not available");
    return -1;
  }
  logInfo("onBind: device_address = " +
          hx4_bundle_api::ArgProviderXml(*activationParams()).getString(0));

  createFacade();
  if (!mountingParams()) {
    logError("[PLUX/sample] Mounting params are not available");
    return -1;
  }
  return 0;
}

void VorelFTSensor::createFacade() {
  // Opens the segment the reader created; throws when there is none.
  auto facade = boost::make_shared<VorelForceTorqueSensorSecondaryInstance>(kFacadePeriodMs);
  boost::atomic_store(&secondary_instance, facade);
  facade->start(kFacadeTimeoutMs);
  applySensorFrame(*facade);
}

void VorelFTSensor::renewFacade() {
  auto old_facade = secondaryInstance();
  // Opens the current segment; when that throws, the old facade stays.
  auto renewed = boost::make_shared<VorelForceTorqueSensorSecondaryInstance>(kFacadePeriodMs);
  const bool was_running = old_facade && old_facade->holdsThread();
  if (old_facade)
    old_facade->stop(kFacadeTimeoutMs);
  boost::atomic_store(&secondary_instance, renewed);
  old_facade.reset();
  if (was_running)
    renewed->start(kFacadeTimeoutMs);
  applySensorFrame(*renewed);
}

void VorelFTSensor::applySensorFrame(VorelForceTorqueSensorSecondaryInstance& facade) {
  if (!mountingParams())
    return;
  hx4_program_api::RobotPose sensor_pose =
      hx4_bundle_api::ArgProviderXml(*mountingParams()).getRPose(1);
  facade.setSensorFrame(sensor_pose);
}

VorelFTSensor::Result VorelFTSensor::onActivate(const ptree& params) {
  std::lock_guard<std::shared_timed_mutex> lifecycle(lifecycle_mutex);
  logInfo("Activating");
  const hx4_bundle_api::ArgProviderXml args(params);
  device_path = args.getString(0);
  logInfo("onActivate: device_address = " + device_path);
  const double frequency = args.getDouble(1);
  logInfo("onActivate: 1st Frequency = " + str(frequency));
  logInfo("onActivate: device_path = " + device_path);
  // Checked before anything changes: a refused activation leaves running
  // workers as they are.
  int priority = 0;
  std::string refusal;
  if (!realtimePriorityOf(args, priority, refusal))
    return Result::Error(-1, refusal);
  if (priority > 0) {
    logInfo("onActivate: real-time priority = " + str(priority) + " (force control SCHED_FIFO " +
            str(priority) + ", sensor reader " +
            (priority > 1 ? "SCHED_FIFO " + str(priority - 1) : std::string("normal")) + ")");
  } else {
    logInfo("onActivate: real-time priority = 0 (normal scheduling)");
  }

  // A second activation without onDeactivate: stop the running workers first,
  // so that no reader, port or force-control thread is left behind.
  auto old_reader = sensorComm();
  auto old_adaptive = adaptiveThread();
  if ((old_reader && old_reader->holdsThread()) || (old_adaptive && old_adaptive->holdsThread())) {
    deactivateLocked();
  }
  // Release the previous reader before the new one creates the segment: its
  // destructor removes the segment's and mutex's names, which must not be the
  // new ones.
  boost::atomic_store(&sensor_comm, boost::shared_ptr<VorelForceTorqueSensorComm>());
  old_reader.reset();
  auto reader = boost::make_shared<VorelForceTorqueSensorComm>(kReaderPeriodMs);
  boost::atomic_store(&sensor_comm, reader);

  openPort();
  logInfo("onActivate: set port to sensor interface");
  reader->setPort(port_fd);
  logInfo("onActivate: configure filter");
  reader->configureFilter(frequency);
  sampling_rate = samplingRateFor(frequency);

  reader->setRealtimePriority(priority - 1, "Sensor reader");
  logInfo("onActivate: start reading thread");
  reader->start(kReaderTimeoutMs);
  logInfo("started");

  // A facade bound on an earlier segment is moved to the new one.
  if (secondaryInstance())
    renewFacade();

  auto adaptive = boost::make_shared<AdaptiveThread>(program(), kAdaptivePeriodMs, sampling_rate);
  adaptive->setRealtimePriority(priority, "Force control");
  boost::atomic_store(&adaptive_thread, adaptive);
  old_adaptive.reset();
  if (adaptive->start(kAdaptiveTimeoutMs))
    return Result::Success();
  return Result::Error(-1, "Failed to start the adaptive thread.");
}

VorelFTSensor::Result VorelFTSensor::onDeactivate() {
  std::lock_guard<std::shared_timed_mutex> lifecycle(lifecycle_mutex);
  deactivateLocked();
  return Result::Success();
}

void VorelFTSensor::deactivateLocked() {
  // The reader's open diagnostic episodes end with it.
  if (auto reader = sensorComm(); reader && reader->stop(kReaderTimeoutMs))
    reader->finishDiagnostics();
  closePort();
  if (auto adaptive = adaptiveThread()) {
    // Force control that is still on ends here with the zero offset, so that
    // the drive is not left at the last offset (and the next activation does
    // not start from it).
    if (adaptive->stop(kAdaptiveTimeoutMs) && adaptive->finishForceControl())
      logInfo("onDeactivate: force control was active; zero reference offset sent");
  }
}

int VorelFTSensor::onUnbind() {
  std::lock_guard<std::shared_timed_mutex> lifecycle(lifecycle_mutex);
  logInfo("VorelFTSensor::onUnbind");
  if (auto facade = secondaryInstance()) {
    // Without a bound program nobody can switch force control off any more:
    // it ends now, and the force-control thread sends the zero offset in its
    // next cycle (in whichever process it runs).
    facade->activate(false, false);
    facade->stop(kFacadeTimeoutMs);
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
  program_running.store(false);
  if (!secondaryInstance()) {
    logError(
        "onProgramTerminated: the device is not bound (no onBind), so no filter is removed and "
        "force control is not switched off here; moveToContact no longer moves the robot");
    return;
  }
  {
    FacadeAccess facade = facadeFor("onProgramTerminated");
    if (!facade)
      return;
    FilterOptions remove_all;
    remove_all.setName("all");
    remove_all.type = 0;
    facade->addOrRemoveFilter(remove_all, VorelForceTorqueSensorSecondaryInstance::kRemoveFilter);
  }
  deactivateForceControl();
}

}  // namespace vorel_device
