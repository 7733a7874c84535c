#include "host/program_interface.h"

#include <boost/make_shared.hpp>
#include <stdexcept>

namespace hx4_program_api {

using hx4_program_api_internals::ControllerBackend;

namespace {

boost::shared_ptr<ControllerBackend> required(boost::shared_ptr<ControllerBackend> backend) {
  if (!backend) throw std::invalid_argument("ProgramInterface: no controller");
  return backend;
}

}  // namespace

SystemVariables::SystemVariables(boost::shared_ptr<ControllerBackend> backend)
    : backend_(std::move(backend)) {}

boost::shared_ptr<Load> SystemVariables::getLoad(const std::string& /*name*/,
                                                 hx4rc_api::Load::SysId id) {
  const hx4rc_api::Load record = backend_->load(id);
  auto load = boost::make_shared<Load>(
      record.inertia.mass,
      Position(record.inertia.cog.x(), record.inertia.cog.y(), record.inertia.cog.z()));
  load->setInertia(record.inertia.tensor);
  boost::shared_ptr<ControllerBackend> backend = backend_;
  load->bind([backend, id](const Load& value) { backend->setLoad(id, value.toRecord(id)); });
  return load;
}

DriveChannel::DriveChannel(boost::shared_ptr<ControllerBackend> backend)
    : backend_(std::move(backend)) {}

int DriveChannel::submit(const hx4rc_api::Drive::CmdReferenceCtl& command) {
  return backend_->submit(command);
}

ProgramInterface::ProgramInterface(boost::shared_ptr<ControllerBackend> backend)
    : backend_(required(std::move(backend))), drive_(backend_), variables_(backend_) {}

void ProgramInterface::sync(bool wait_for_motion) { backend_->sync(wait_for_motion); }

hx4rc_api::State::SysStat_RCState ProgramInterface::rcState() { return backend_->rcState(); }

hx4rc_api::Load ProgramInterface::getLoad(hx4rc_api::Load::SysId id) { return backend_->load(id); }

hx4rc_api::Frame ProgramInterface::getFrame(hx4rc_api::Model::SysId a, hx4rc_api::Model::SysId b) {
  return backend_->frame(a, b);
}

int ProgramInterface::move(const hx4rc_api::Motion::Target& target,
                           const hx4rc_api::Motion::Params& params) {
  return backend_->move(target, params);
}

}  // namespace hx4_program_api
