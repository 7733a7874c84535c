// The lifecycle operations that create, start and stop the three workers, and
// the program-termination handler.
#include <time.h>

#include <boost/make_shared.hpp>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <mutex>
#include <string>
#include <system_error>

#include "adaptive/adaptive_thread.h"
#include "adaptive/offset_shaping.h"
#include "comm/VorelForceTorqueSensorComm.h"
#include "comm/VorelForceTorqueSensorSecondaryInstance.h"
#include "comm/force_control_recorder.h"
#include "device/black_box.h"
#include "device/black_box_config.h"
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

// An offset for a message: translation (m) and roll, pitch, yaw (rad) as
// "(x, y, z) mm, (r, p, y) deg".
std::string offsetText(const double (&offset)[6]) {
  const double deg = 180.0 / offset_shaping::kPi;
  char text[160];
  std::snprintf(text, sizeof text, "(%.3f, %.3f, %.3f) mm, (%.3f, %.3f, %.3f) deg",
                offset[0] * 1000.0, offset[1] * 1000.0, offset[2] * 1000.0, offset[3] * deg,
                offset[4] * deg, offset[5] * deg);
  return text;
}

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
  for (const std::string& problem : black_box_config->problems)
    logError("Device configuration: " + problem);
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
    deactivateLocked("onActivate");
  }
  // Release the previous reader before the new one creates the segment: its
  // destructor removes the segment's and mutex's names, which must not be the
  // new ones. The recorder goes with it.
  black_box.reset();
  recorder_writer.reset();
  boost::atomic_store(&sensor_comm, boost::shared_ptr<VorelForceTorqueSensorComm>());
  old_reader.reset();
  auto reader = boost::make_shared<VorelForceTorqueSensorComm>(kReaderPeriodMs);
  boost::atomic_store(&sensor_comm, reader);
  createRecorder();

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
  adaptive->setRecorder(recorder_writer);
  boost::atomic_store(&adaptive_thread, adaptive);
  old_adaptive.reset();
  if (adaptive->start(kAdaptiveTimeoutMs)) {
    startBlackBox();
    return Result::Success();
  }
  return Result::Error(-1, "Failed to start the adaptive thread.");
}

void VorelFTSensor::createRecorder() {
  try {
    recorder_writer = recorder::createRecorder();
  } catch (const std::exception& e) {
    logError(std::string("onActivate: ") + e.what() +
             "; force control runs without its recorder, and no black-box file is written");
  }
}

void VorelFTSensor::startBlackBox() {
  BlackBox::Settings settings = black_box_config->settings;
  if (!recorder_writer || settings.max_files == 0)
    return;
  // A relative directory is the working directory's at activation.
  std::error_code ec;
  const std::filesystem::path absolute = std::filesystem::absolute(settings.directory, ec);
  if (!ec)
    settings.directory = absolute.lexically_normal().string();
  recorder::RecorderReader::Failure failure;
  std::string message;
  std::shared_ptr<const recorder::RecorderReader> ring =
      recorder::RecorderReader::attach(failure, message, recorder_writer->name());
  if (!ring) {
    logError("onActivate: the black box cannot read the force-control recorder (" + message +
             "); no black-box file is written");
    return;
  }
  black_box = std::make_unique<BlackBox>(std::move(ring), settings);
  if (!black_box->start()) {
    logError(
        "onActivate: the black box's thread could not be started; no black-box file is "
        "written");
    black_box.reset();
  }
}

VorelFTSensor::Result VorelFTSensor::onDeactivate() {
  std::lock_guard<std::shared_timed_mutex> lifecycle(lifecycle_mutex);
  deactivateLocked("onDeactivate");
  return Result::Success();
}

void VorelFTSensor::deactivateLocked(const char* operation) {
  // Force control ends first, by the return to zero, while the thread and
  // the controller still run (it needs neither the sensor nor the segment).
  endForceControlHere(operation);
  // The black box stops while force control still cycles: the end of the
  // cycles is no liveness loss. A file still waiting for the records after
  // its event is written with what exists.
  if (black_box)
    black_box->stop();
  // The reader's open diagnostic episodes end with it.
  if (auto reader = sensorComm(); reader && reader->stop(kReaderTimeoutMs))
    reader->finishDiagnostics();
  closePort();
  if (auto adaptive = adaptiveThread())
    adaptive->stop(kAdaptiveTimeoutMs);
}

void VorelFTSensor::endForceControlHere(const char* operation) {
  auto adaptive = adaptiveThread();
  if (!adaptive)
    return;
  adaptive->endForceControl();
  double left[6];
  const AdaptiveThread::Finish finish = adaptive->finishForceControl(left);
  if (finish != AdaptiveThread::Finish::kStalled && finish != AdaptiveThread::Finish::kTimedOut)
    return;
  const std::string why =
      finish == AdaptiveThread::Finish::kStalled
          ? "no force-control cycle for " + str(AdaptiveThread::kReturnStallMs) + " ms"
          : "the return did not reach zero within " + str(AdaptiveThread::kReturnWaitMs) + " ms";
  logError(std::string(operation) + ": " + why + " while force control returned its offset " +
           offsetText(left) + " to zero; the zero offset was sent at once");
}

void VorelFTSensor::awaitReturnThroughHeartbeat(const char* operation,
                                                VorelForceTorqueSensorSecondaryInstance& facade) {
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  for (;;) {
    const HeartbeatBeat beat = facade.heartbeat();
    if (beat.state == static_cast<std::int32_t>(ForceControlState::kIdle))
      return;
    const double stalled_s = heartbeat::ageSeconds(beat, heartbeat::monotonicNow());
    const bool stalled = stalled_s * 1000.0 >= AdaptiveThread::kReturnStallMs;
    if (stalled ||
        Clock::now() - start >= std::chrono::milliseconds(AdaptiveThread::kReturnWaitMs)) {
      const double last[6] = {beat.translation[0], beat.translation[1], beat.translation[2],
                              beat.rotation[0],    beat.rotation[1],    beat.rotation[2]};
      logError(std::string(operation) + ": " +
               (stalled ? "force control is not running (no force-control cycle for " +
                              str(stalled_s) + " s)"
                        : "the return to zero did not end within " +
                              str(AdaptiveThread::kReturnWaitMs) + " ms") +
               "; its last offset " + offsetText(last) +
               " stays on the drive, which only the activating process's force-control thread "
               "commands");
      return;
    }
    timespec pause{0, 1000000L};  // 1 ms
    nanosleep(&pause, nullptr);
  }
}

int VorelFTSensor::onUnbind() {
  std::lock_guard<std::shared_timed_mutex> lifecycle(lifecycle_mutex);
  logInfo("VorelFTSensor::onUnbind");
  if (auto facade = secondaryInstance()) {
    // Without a bound program nobody can switch force control off any more:
    // it ends now, by the return to zero, which this step waits for.
    facade->activate(false, false);
    auto adaptive = adaptiveThread();
    if (adaptive && adaptive->holdsThread()) {
      endForceControlHere("onUnbind");
    } else {
      awaitReturnThroughHeartbeat("onUnbind", *facade);
    }
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
