#include "device/workers.h"

#include <time.h>

#include <boost/make_shared.hpp>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <system_error>

#include "adaptive/force_control_thread.h"
#include "adaptive/offset_shaping.h"
#include "comm/command_facade.h"
#include "comm/force_control_recorder.h"
#include "comm/sensor_reader.h"
#include "comm/serial_port.h"
#include "device/black_box.h"
#include "device/black_box_config.h"
#include "device/device_log.h"

namespace vorel_device {

namespace {

// The reader's longest wait for a frame: a silent line still cycles every 5 ms.
constexpr int kReaderWaitBoundMs = 5;
constexpr int kAdaptivePeriodMs = 0;  // paced by the controller's synchronisation
constexpr int kReaderTimeoutMs = 1000;
// A cycle may wait up to 100 ms for the named mutex before it gives up, plus
// the controller's synchronisation: the stop allows for both.
constexpr int kAdaptiveTimeoutMs = 1000;

// An offset for a message: translation (m) and roll, pitch, yaw (rad) as
// "(x, y, z) mm, (r, p, y) deg".
std::string offsetText(const double (&offset)[6]) {
  const double deg = offset_shaping::kDegreesPerRadian;
  char text[160];
  std::snprintf(text, sizeof text, "(%.3f, %.3f, %.3f) mm, (%.3f, %.3f, %.3f) deg",
                offset[0] * 1000.0, offset[1] * 1000.0, offset[2] * 1000.0, offset[3] * deg,
                offset[4] * deg, offset[5] * deg);
  return text;
}

}  // namespace

Workers::Workers(const boost::property_tree::ptree& config)
    : port_fd_(serial_port::kNoPort),
      sampling_rate_(0.0),
      black_box_config_(std::make_unique<BlackBoxConfig>(BlackBoxConfig::read(config))) {}

Workers::~Workers() = default;

bool Workers::realtimePriorityOf(const hx4_bundle_api::ArgProviderXml& args, int& priority,
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
  if (!(value >= 0.0 && value <= Workers::kMaxRealtimePriority) || value != std::floor(value)) {
    refusal = "Invalid real-time priority " + str(value) + range + ".";
    return false;
  }
  priority = static_cast<int>(value);
  return true;
}

bool Workers::readActivation(const hx4_bundle_api::ArgProviderXml& args, double& frequency,
                             int& priority, std::string& refusal) {
  device_path_ = args.getString(0);
  logInfo("onActivate: device_address = " + device_path_);
  frequency = args.getDouble(1);
  logInfo("onActivate: 1st Frequency = " + str(frequency));
  logInfo("onActivate: device_path = " + device_path_);
  // Checked before anything changes: a refused activation leaves running
  // workers as they are.
  if (!realtimePriorityOf(args, priority, refusal))
    return false;
  for (const std::string& problem : black_box_config_->problems)
    logError("Device configuration: " + problem);
  if (priority > 0) {
    logInfo("onActivate: real-time priority = " + str(priority) + " (force control SCHED_FIFO " +
            str(priority) + ", sensor reader " +
            (priority > 1 ? "SCHED_FIFO " + str(priority - 1) : std::string("normal")) + ")");
  } else {
    logInfo("onActivate: real-time priority = 0 (normal scheduling)");
  }
  return true;
}

bool Workers::running() const {
  auto old_reader = reader();
  auto old_adaptive = forceControl();
  return (old_reader && old_reader->holdsThread()) || (old_adaptive && old_adaptive->holdsThread());
}

void Workers::replaceReader() {
  // Release the previous reader before the new one creates the segment: its
  // destructor removes the segment's and mutex's names, which must not be the
  // new ones. The recorder goes with it.
  releaseReader();
  boost::atomic_store(&reader_, boost::make_shared<VorelForceTorqueSensorComm>(kReaderWaitBoundMs));
  createRecorder();
}

void Workers::releaseReader() {
  auto old_reader = reader();
  black_box_.reset();
  recorder_writer_.reset();
  boost::atomic_store(&reader_, boost::shared_ptr<VorelForceTorqueSensorComm>());
  old_reader.reset();
}

bool Workers::startReader(double frequency, int priority, std::string& failure) {
  auto started = reader();
  openPort(&failure);
  if (port_fd_ < 0) {
    // Without its port the device cannot read the sensor: nothing runs, and
    // the segment goes too, so that no binding process steers a force
    // control that does not exist.
    started.reset();
    releaseReader();
    return false;
  }
  logInfo("onActivate: set port to sensor interface");
  started->setPort(port_fd_);
  logInfo("onActivate: configure filter");
  started->configureFilter(frequency);
  sampling_rate_ = VorelForceTorqueSensorComm::samplingRateFor(frequency);

  started->setRealtimePriority(priority - 1, "Sensor reader");
  logInfo("onActivate: start reading thread");
  started->start(kReaderTimeoutMs);
  logInfo("started");
  return true;
}

bool Workers::startForceControl(const boost::shared_ptr<hx4_program_api::ProgramInterface>& program,
                                int priority) {
  auto old_adaptive = forceControl();
  auto adaptive = boost::make_shared<AdaptiveThread>(program, kAdaptivePeriodMs, sampling_rate_);
  adaptive->setRealtimePriority(priority, "Force control");
  adaptive->setRecorder(recorder_writer_);
  boost::atomic_store(&force_control_, adaptive);
  old_adaptive.reset();
  if (!adaptive->start(kAdaptiveTimeoutMs))
    return false;
  startBlackBox();
  return true;
}

void Workers::createRecorder() {
  try {
    recorder_writer_ = recorder::createRecorder();
  } catch (const std::exception& e) {
    logError(std::string("onActivate: ") + e.what() +
             "; force control runs without its recorder, and no black-box file is written");
  }
}

void Workers::startBlackBox() {
  BlackBox::Settings settings = black_box_config_->settings;
  if (!recorder_writer_ || settings.max_files == 0)
    return;
  // A relative directory is the working directory's at activation.
  std::error_code ec;
  const std::filesystem::path absolute = std::filesystem::absolute(settings.directory, ec);
  if (!ec)
    settings.directory = absolute.lexically_normal().string();
  recorder::RecorderReader::Failure failure;
  std::string message;
  std::shared_ptr<const recorder::RecorderReader> ring =
      recorder::RecorderReader::attach(failure, message, recorder_writer_->name());
  if (!ring) {
    logError("onActivate: the black box cannot read the force-control recorder (" + message +
             "); no black-box file is written");
    return;
  }
  black_box_ = std::make_unique<BlackBox>(std::move(ring), settings);
  if (!black_box_->start()) {
    logError(
        "onActivate: the black box's thread could not be started; no black-box file is "
        "written");
    black_box_.reset();
  }
}

void Workers::deactivate(const char* operation) {
  // Force control ends first, by the return to zero, while the thread and
  // the controller still run (it needs neither the sensor nor the segment).
  endForceControlHere(operation);
  // The black box stops while force control still cycles: the end of the
  // cycles is no liveness loss. A file still waiting for the records after
  // its event is written with what exists.
  if (black_box_)
    black_box_->stop();
  // The reader's open diagnostic episodes end with it.
  if (auto stopping = reader(); stopping && stopping->stop(kReaderTimeoutMs))
    stopping->finishDiagnostics();
  closePort();
  if (auto adaptive = forceControl())
    adaptive->stop(kAdaptiveTimeoutMs);
}

void Workers::endForceControlHere(const char* operation) {
  auto adaptive = forceControl();
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

void Workers::awaitReturnThroughHeartbeat(const char* operation,
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

void Workers::openPort(std::string* failure) {
  logInfo("onActivate: assign port");
  port_fd_ = serial_port::openAndConfigure(device_path_, failure);
}

void Workers::closePort() {
  serial_port::close(port_fd_);
}

boost::shared_ptr<VorelForceTorqueSensorComm> Workers::reader() const {
  return boost::atomic_load(&reader_);
}

boost::shared_ptr<AdaptiveThread> Workers::forceControl() const {
  return boost::atomic_load(&force_control_);
}

}  // namespace vorel_device
