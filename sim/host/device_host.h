// DeviceHost: the host side of one device: loads libvorel_device.so with
// dlopen (never linked), finds the maker registered under
// "vorel_device::VorelFTSensor", creates the device with a program interface
// and its configuration, and drives its lifecycle, printing each step:
//
//   [host] onCreate -> 0
//   [host] HWReady published: the device activates
//   [host] activation finished: force control running at 500 Hz
//
// The device is reached through its own header (virtual calls only), after
// checking getClass(). Signal and error streams are created by the host
// before the device exists, so that no stream's code lives in the plug-in
// when it is unloaded; the program interface is released before dlclose.
//
// Threads: every operation from the host's main thread (the program runs
// there too); signal handlers run on the event streams' delivery threads.
#pragma once

#include <atomic>
#include <boost/shared_ptr.hpp>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "device/vorel_ft_sensor.h"
#include "host/hx4_api.h"
#include "sim/host/device_config.h"
#include "sim/host/output_monitor.h"

namespace vorel_sim {

class DeviceHost {
 public:
  using Print = std::function<void(const std::string&)>;

  // `print` gets one line (without newline) per lifecycle step.
  explicit DeviceHost(Print print);
  // Releases the device and unloads the library if still held.
  ~DeviceHost();
  DeviceHost(const DeviceHost&) = delete;
  DeviceHost& operator=(const DeviceHost&) = delete;

  // dlopen with RTLD_NOW | RTLD_LOCAL; throws std::runtime_error with
  // dlerror()'s text, or when no maker is registered under the class name.
  void load(const std::string& library_path);
  // Creates the device through the maker; throws std::runtime_error when the
  // maker returns nothing or an object of another class.
  void create(boost::shared_ptr<hx4_program_api::ProgramInterface> program,
              const DeviceConfig& config);

  vorel_device::VorelFTSensor& device() const { return *device_; }
  hx4_program_api::ProgramInterface& program() const { return *program_; }
  bool created() const { return static_cast<bool>(device_); }

  int onCreate();
  bool onMount();  // with the configuration's mounting tree; false when absent
  // Publishes HWReady and waits until the activation has finished: the
  // force-control thread reports that it started (through `monitor`), or the
  // device publishes an hx4_bundle::Error / Exception. Returns the error
  // message, or empty on success; "no activation" when nothing happened
  // within `guard`.
  std::optional<std::string> activateThroughHWReady(const OutputMonitor& monitor,
                                                    std::chrono::milliseconds guard);
  int onBind();
  // Publishes ProgramTerminated (once) and waits until the device has
  // handled it (program_running cleared); false when not within `guard`.
  bool publishProgramTerminated(std::chrono::milliseconds guard);
  int onUnbind();
  void onDeactivate();
  int onDestroy();
  // Releases the device and the program interface, then dlclose.
  void release();

 private:
  void say(const std::string& text) const;

  Print print_;
  void* library_ = nullptr;
  std::string library_path_;
  boost::shared_ptr<hx4_program_api::ProgramInterface> program_;
  boost::shared_ptr<vorel_device::VorelFTSensor> device_;
  std::optional<DeviceConfig> config_;
  std::atomic<bool> terminated_{false};

  std::mutex events_mutex_;
  std::optional<std::string> device_error_;  // published by the device
};

}  // namespace vorel_sim
