// ActivatorProcess: --processes 2. The device that activates (sensor reader,
// serial port, force-control thread) lives in a second process of the host,
// as a host may arrange it; the binding device with the robot program stays
// in the first. The two meet through the named shared segment, exactly as
// the device expects. The controller stays in the first process: the second
// reaches it through a RemoteController served by a ControllerServer.
//
// Parent side (ActivatorProcess): spawns this executable again with
// --role activator, serves the controller, and exchanges one line per step
// on a control socket:
//
//   child -> parent   "activated" | "failed <message>"
//   parent -> child   "deactivate"
//   child -> parent   "done"
//
// Child side (runActivator): loads the plug-in, creates the device with the
// configuration, onCreate, publishes HWReady, reports the activation; on
// "deactivate" (or when the parent is gone) onDeactivate, onDestroy, release,
// unload, "done". Its console lines are printed as "[activator] [INFO] ...".
#pragma once

#include <sys/types.h>

#include <atomic>
#include <boost/shared_ptr.hpp>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/controller_backend.h"
#include "sim/remote/controller_server.h"

namespace vorel_sim {

class ActivatorProcess {
 public:
  struct Launch {
    std::string executable;  // this program
    std::string config_file;
    std::string device_lib;
    std::string port;
    double rate_hz = 500.0;
    std::optional<std::string> blackbox_dir;  // the device's black-box directory
    int priority = 0;  // the device's force-control priority (0: normal scheduling)
  };

  // Spawns the child and starts serving `controller` to it. Throws
  // std::runtime_error when it cannot.
  ActivatorProcess(const Launch& launch,
                   boost::shared_ptr<hx4_program_api_internals::ControllerBackend> controller);
  // finish() if not done.
  ~ActivatorProcess();
  ActivatorProcess(const ActivatorProcess&) = delete;
  ActivatorProcess& operator=(const ActivatorProcess&) = delete;

  pid_t pid() const { return pid_; }
  // Waits for the child's activation report: empty on success, else the
  // reason (the child's message, its exit, or the guard running out).
  std::optional<std::string> awaitActivation(std::chrono::milliseconds guard);
  // SIGKILL to the child, as a crash would end it; says what it did, `done`
  // false when the child was gone already.
  std::string kill(bool& done);
  // Asks the child to deactivate and waits for it to end; stops serving the
  // controller. Returns the child's exit status (-1: killed after `guard`,
  // or by kill()).
  int finish(std::chrono::milliseconds guard);

 private:
  std::optional<std::string> readLine(std::chrono::milliseconds guard);

  pid_t pid_ = -1;
  int control_fd_ = -1;
  std::unique_ptr<ControllerServer> server_;
  std::string buffer_;
  std::atomic<bool> finished_{false};  // kill() may ask from another thread
  int exit_status_ = -1;
};

// What the child is given on its command line: the two inherited sockets and
// the device to activate.
struct ActivatorRole {
  int control_fd = -1;  // one line per step with the parent
  int backend_fd = -1;  // the controller link
  std::string config_file;
  std::string device_lib;
  std::optional<std::string> port;
  std::optional<double> rate_hz;
  std::optional<std::string> blackbox_dir;
};

// The child's whole life; returns its exit status.
int runActivator(const ActivatorRole& role);

}  // namespace vorel_sim
