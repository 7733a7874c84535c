// The three workers of an activation and what lives beside them: the sensor
// reader (it creates the shared segment), the force-control thread, the
// serial port, the force-control recorder and the black box reading it.
// Created, started and stopped by the lifecycle steps, with the device's
// lifecycle lock held exclusively; read by robot-program functions and
// signal handlers on their own threads.
#pragma once

#include <boost/property_tree/ptree.hpp>
#include <boost/shared_ptr.hpp>
#include <memory>
#include <string>

#include "host/hx4_api.h"

namespace vorel_device {

class VorelForceTorqueSensorComm;
class VorelForceTorqueSensorSecondaryInstance;
class AdaptiveThread;
class BlackBox;
struct BlackBoxConfig;
namespace recorder {
class RecorderWriter;
}

class Workers {
 public:
  explicit Workers(const boost::property_tree::ptree& config);
  ~Workers();

  // Highest real-time priority of the force-control thread; the sensor reader
  // runs one below it (98 leaves 99 to the host's own real-time threads).
  static constexpr int kMaxRealtimePriority = 98;
  // Activation argument 2, the force-control thread's real-time priority: a
  // whole number 1..98 (SCHED_FIFO; the sensor reader one below), 0 or absent
  // for normal scheduling. False, with the activation error's message in
  // `refusal`, for anything else.
  static bool realtimePriorityOf(const hx4_bundle_api::ArgProviderXml& args, int& priority,
                                 std::string& refusal);

  // onActivate's arguments, with its INFO lines: the device path (argument
  // 0), the sensor frequency (1) and the real-time priority (2). False, with
  // the activation error's message in `refusal`, when the priority is bad;
  // nothing else changes before these are checked.
  bool readActivation(const hx4_bundle_api::ArgProviderXml& args, double& frequency, int& priority,
                      std::string& refusal);
  // True while the reader or force control holds its thread.
  bool running() const;
  // Releases the previous reader (its destructor removes the segment's and
  // the mutex's names), the recorder and the black box, then creates the new
  // reader (and so a fresh segment) and the recorder beside it.
  void replaceReader();
  // Opens and configures the port, configures the sensor's filter and starts
  // the reader one priority below `priority`. False, with why in `failure`
  // ("cannot be opened: ..."), when the port cannot be opened or configured:
  // then nothing is started and the reader with its segment is released.
  bool startReader(double frequency, int priority, std::string& failure);
  // Creates and starts force control at the sampling rate, then the black
  // box; false when force control did not start.
  bool startForceControl(const boost::shared_ptr<hx4_program_api::ProgramInterface>& program,
                         int priority);
  // Ends force control, stops the black box, the reader and force control
  // and closes the port (onDeactivate's work).
  void deactivate(const char* operation);
  // The return to zero through this process's force-control thread, waited
  // for; the fall-back's ERROR line names `operation`.
  void endForceControlHere(const char* operation);
  // The return to zero as the heartbeat shows it (a binding process).
  static void awaitReturnThroughHeartbeat(const char* operation,
                                          VorelForceTorqueSensorSecondaryInstance& facade);

  // Serial-line set-up of activation: INFO "onActivate: assign port", then
  // opens the device path and configures it (460800 baud, 8N1, raw, VTIME 10,
  // VMIN 0, low latency). The port is -1 when the open or the configuration
  // failed, and `failure` (when given) says why; the set-up prints its errors
  // and never throws.
  void openPort(std::string* failure = nullptr);
  const std::string& devicePath() const { return device_path_; }
  // Closes the port when the device holds one; the port is then -1.
  void closePort();

  boost::shared_ptr<VorelForceTorqueSensorComm> reader() const;
  boost::shared_ptr<AdaptiveThread> forceControl() const;
  int port() const { return port_fd_; }
  double samplingRate() const { return sampling_rate_; }
  void setDevicePath(const std::string& path) { device_path_ = path; }

 private:
  void createRecorder();
  void releaseReader();
  void startBlackBox();

  int port_fd_;              // serial port descriptor; -1: no port
  std::string device_path_;  // activation parameter 0
  double sampling_rate_;     // Hz: 500, 250 or 100, chosen at activation
  // Replaced by lifecycle steps while robot-program functions and signal
  // handlers may read them on theirs: boost::atomic_load / atomic_store.
  boost::shared_ptr<VorelForceTorqueSensorComm> reader_;
  boost::shared_ptr<AdaptiveThread> force_control_;
  // The recorder's writer (created and removed with the segment; force
  // control appends to it) and the black box reading it.
  std::shared_ptr<recorder::RecorderWriter> recorder_writer_;
  std::unique_ptr<BlackBox> black_box_;
  std::unique_ptr<const BlackBoxConfig> black_box_config_;  // from the configuration
};

}  // namespace vorel_device
