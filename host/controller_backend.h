// The seam between the host API and a controller (libhx4_program_api).
//
// Everything the API does with the robot controller goes through one
// ControllerBackend: the cycle synchronisation, the state word, the load model,
// frame queries, the motion command, the drive channel, the control resources
// and their status flags. The host installs the process's backend once; the
// simulator installs a simulated controller, tests a stepping double.
#pragma once

#include <boost/optional.hpp>
#include <boost/shared_ptr.hpp>
#include <cstdint>

#include "host/controller_types.h"

namespace hx4_program_api_internals {

// Status record of the control resources: one flag per bit. Flags 3 and 4 are
// the controller's hold flags: while either is set, no reference offsets and
// no motion steps are to be commanded.
struct ControlStatus {
  static constexpr unsigned kFirstHoldFlag = 3;   // a hold flag's bit
  static constexpr unsigned kSecondHoldFlag = 4;  // the other hold flag's bit

  std::uint32_t flags = 0;
  bool flag(unsigned bit) const { return (flags >> bit) & 1u; }
  // Whether the controller holds the robot: either hold flag set.
  bool held() const { return flag(kFirstHoldFlag) || flag(kSecondHoldFlag); }
};

class ControllerBackend {
 public:
  virtual ~ControllerBackend() = default;

  // Returns once per controller cycle (every 2 ms on the real controller).
  virtual void sync(bool wait_for_motion) = 0;
  virtual hx4rc_api::State::SysStat_RCState rcState() = 0;
  virtual hx4rc_api::Load load(hx4rc_api::Load::SysId id) = 0;
  virtual void setLoad(hx4rc_api::Load::SysId id, const hx4rc_api::Load& load) = 0;
  // Pose of frame a relative to frame b.
  virtual hx4rc_api::Frame frame(hx4rc_api::Model::SysId a, hx4rc_api::Model::SysId b) = 0;
  // Returns 0 when the command was taken.
  virtual int move(const hx4rc_api::Motion::Target& target,
                   const hx4rc_api::Motion::Params& params) = 0;
  // Returns 0 when the command was taken. Called on the force-control path:
  // must not block.
  virtual int submit(const hx4rc_api::Drive::CmdReferenceCtl& command) = 0;
  // Acquire and release the control resources; the status record, when the
  // controller offers one.
  virtual void acquireResources(bool exclusive) = 0;
  virtual void releaseResources() = 0;
  virtual boost::optional<ControlStatus> resourceStatus() = 0;

  // The process's controller (the current controller), shared by the host and
  // every plug-in it loads. Empty until a host installs one.
  static void install(boost::shared_ptr<ControllerBackend> backend);
  static boost::shared_ptr<ControllerBackend> current();
};

}  // namespace hx4_program_api_internals
