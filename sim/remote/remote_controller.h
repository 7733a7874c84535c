// RemoteController: the ControllerBackend of a host process whose controller
// runs in another process (the activating process of --processes 2). Every
// operation is one request and its response on a stream socket to a
// ControllerServer; one request at a time (a mutex), so sync() holds the link
// until the controller's next cycle. When the link is gone every operation
// throws std::runtime_error("controller link lost").
#pragma once

#include <mutex>
#include <string>

#include "host/controller_backend.h"
#include "sim/remote/controller_link.h"

namespace vorel_sim {

class RemoteController : public hx4_program_api_internals::ControllerBackend {
 public:
  // Takes over `fd` (a connected stream socket); closes it when destroyed.
  explicit RemoteController(int fd);
  ~RemoteController() override;
  RemoteController(const RemoteController&) = delete;
  RemoteController& operator=(const RemoteController&) = delete;

  void sync(bool wait_for_motion) override;
  hx4rc_api::State::SysStat_RCState rcState() override;
  hx4rc_api::Load load(hx4rc_api::Load::SysId id) override;
  void setLoad(hx4rc_api::Load::SysId id, const hx4rc_api::Load& load) override;
  hx4rc_api::Frame frame(hx4rc_api::Model::SysId a, hx4rc_api::Model::SysId b) override;
  int move(const hx4rc_api::Motion::Target& target,
           const hx4rc_api::Motion::Params& params) override;
  int submit(const hx4rc_api::Drive::CmdReferenceCtl& command) override;
  void acquireResources(bool exclusive) override;
  void releaseResources() override;
  boost::optional<hx4_program_api_internals::ControlStatus> resourceStatus() override;

 private:
  // Sends one request and returns the response's payload.
  std::string call(controller_link::Op op, const std::string& payload);
  template <class T>
  T callFor(controller_link::Op op, const std::string& payload);

  std::mutex mutex_;
  int fd_;
};

}  // namespace vorel_sim
