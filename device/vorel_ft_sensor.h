// VorelFTSensor: the force/torque sensor device that the robot-controller host
// loads, creates through the maker registered under
// "vorel_device::VorelFTSensor", and drives through its lifecycle.
//
// Lifecycle (called by the host on its own thread):
//   operation      result          what it does
//   constructor                    stores the program interface and the
//                                  configuration; touches no thread, port or
//                                  shared memory
//   onCreate       0               registers the hardware-ready handler
//   onMount        success         writes the mounted tool load into the
//                                  host's "toolload" system load
//   onUnmount      success         nothing
//
// Signal handlers run on the delivery threads of the host's event streams:
//   onHWReady      activates through the base's activate() when activation
//                  parameters exist; publishes a failed activation as an
//                  hx4_bundle::Error (kind 2) or hx4_bundle::Exception (kind 1)
//   onAlarm        nothing
//
// Log lines go to the host console, one Console::write per line, as
// "[INFO] text\n" or "[ERROR] text\n". Serial-port errors go to standard output.
#pragma once

#include <atomic>
#include <boost/shared_ptr.hpp>
#include <sstream>
#include <string>

#include "host/hx4_api.h"

namespace vorel_device {

class VorelForceTorqueSensorComm;
class VorelForceTorqueSensorSecondaryInstance;
class AdaptiveThread;

class VorelFTSensor : public hx4_bundle_api::CustomDevice {
 public:
  using Result = hx4_program_api::CmdResult<void*>;
  using ptree = boost::property_tree::ptree;

  VorelFTSensor(boost::shared_ptr<hx4_program_api::ProgramInterface> program,
                const ptree& config);
  ~VorelFTSensor() override;

  int onCreate() override;
  Result onMount(const ptree& params) override;
  Result onUnmount() override;

  void onHWReady(const hx4_signal::HWReady& signal);
  void onAlarm(const hx4_signal::Alarm& signal);

  // Serial-line set-up of activation: INFO "onActivate: assign port", then
  // opens `device_path` and configures it (460800 baud, 8N1, raw, VTIME 10,
  // VMIN 0, low latency). port_fd is -1 when the open failed; the set-up
  // prints its errors and never throws.
  void openPort();
  // Closes the port when the device holds one; port_fd is then -1.
  void closePort();

  int portFd() const { return port_fd; }
  const std::string& devicePath() const { return device_path; }
  bool programRunning() const { return program_running.load(); }

 protected:
  // Registers `handler` for signal type T on the signal bus under the device's
  // subscriber id; a second registration under the same id is ignored.
  template <class T>
  void subscribe(void (VorelFTSensor::*handler)(const T&)) {
    auto stream = signalBus().findOrCreateStream<T>();
    stream->registerCallback(subscriberId(),
                             boost::any(std::function<void(const T&)>(
                                 [this, handler](const T& signal) { (this->*handler)(signal); })));
  }

  // Console log lines.
  static void logInfo(const std::string& text);
  static void logError(const std::string& text);
  template <class T>
  static std::string str(const T& value) {
    std::ostringstream out;
    out << value;
    return out.str();
  }

  int port_fd;              // serial port descriptor; -1: no port
  std::string device_path;  // activation parameter 0
  boost::shared_ptr<VorelForceTorqueSensorComm> sensor_comm;
  boost::shared_ptr<VorelForceTorqueSensorSecondaryInstance> secondary_instance;
  boost::shared_ptr<AdaptiveThread> adaptive_thread;
  std::atomic<bool> program_running;  // cleared for good when the program terminates
  double sampling_rate;               // Hz: 500, 250 or 100, chosen at activation
};

}  // namespace vorel_device
