// A robot program's interface to the controller (libhx4_program_api). The host
// gives one to every device it creates.
#pragma once

#include <boost/shared_ptr.hpp>
#include <mutex>
#include <string>
#include <map>

#include "host/controller_backend.h"
#include "host/controller_types.h"
#include "host/events.h"
#include "host/program_values.h"

namespace hx4_program_api {

// The controller's system variables, by name.
class SystemVariables {
 public:
  explicit SystemVariables(boost::shared_ptr<hx4_program_api_internals::ControllerBackend> backend);

  // The system load `name` of the controller's load `id` (for example
  // "toolload", LOAD_TOOL), holding the controller's current value. The handle
  // is bound: assigning a Load to it sets the controller's load.
  boost::shared_ptr<Load> getLoad(const std::string& name, hx4rc_api::Load::SysId id);

 private:
  boost::shared_ptr<hx4_program_api_internals::ControllerBackend> backend_;
};

// The drive channel: takes reference-control commands.
class DriveChannel {
 public:
  explicit DriveChannel(boost::shared_ptr<hx4_program_api_internals::ControllerBackend> backend);
  // Hands the command to the drive; returns the controller's answer (0: taken).
  int submit(const hx4rc_api::Drive::CmdReferenceCtl& command);

 private:
  boost::shared_ptr<hx4_program_api_internals::ControllerBackend> backend_;
};

class ProgramInterface {
 public:
  // A program interface on `backend` with its own signal and event buses.
  explicit ProgramInterface(boost::shared_ptr<hx4_program_api_internals::ControllerBackend> backend);
  ProgramInterface(const ProgramInterface&) = delete;
  ProgramInterface& operator=(const ProgramInterface&) = delete;

  // Controller synchronisation: returns once per controller cycle (2 ms).
  void sync(bool wait_for_motion);
  // The controller's status word.
  hx4rc_api::State::SysStat_RCState rcState();
  // The load model's record for `id`.
  hx4rc_api::Load getLoad(hx4rc_api::Load::SysId id);
  // The kinematic model's frame query: pose of frame a relative to frame b.
  hx4rc_api::Frame getFrame(hx4rc_api::Model::SysId a, hx4rc_api::Model::SysId b);
  // The Cartesian motion command; returns the controller's answer (0: taken).
  int move(const hx4rc_api::Motion::Target& target, const hx4rc_api::Motion::Params& params);
  DriveChannel& driveChannel() { return drive_; }
  SystemVariables& systemVariables() { return variables_; }

  // Buses of the devices using this interface: the host publishes signals on
  // the signal bus; devices publish error events on the event bus.
  hx4_program_api_internals::EventBus& signalBus() { return signal_bus_; }
  hx4_program_api_internals::EventBus& eventBus() { return event_bus_; }

  boost::shared_ptr<hx4_program_api_internals::ControllerBackend> backend() const {
    return backend_;
  }

 private:
  boost::shared_ptr<hx4_program_api_internals::ControllerBackend> backend_;
  DriveChannel drive_;
  SystemVariables variables_;
  hx4_program_api_internals::EventBus signal_bus_;
  hx4_program_api_internals::EventBus event_bus_;
};

}  // namespace hx4_program_api
