#include "sim/remote/remote_controller.h"

#include <unistd.h>

#include <stdexcept>

namespace vorel_sim {

namespace link = controller_link;
using link::Op;

RemoteController::RemoteController(int fd) : fd_(fd) {}

RemoteController::~RemoteController() {
  if (fd_ >= 0)
    ::close(fd_);
}

std::string RemoteController::call(Op op, const std::string& payload) {
  std::lock_guard<std::mutex> lock(mutex_);
  Op answered{};
  std::string response;
  if (!link::writeMessage(fd_, op, payload) || !link::readMessage(fd_, answered, response) ||
      answered != op) {
    throw std::runtime_error("controller link lost");
  }
  return response;
}

template <class T>
T RemoteController::callFor(Op op, const std::string& payload) {
  const std::string response = call(op, payload);
  std::size_t pos = 0;
  T value{};
  if (!link::get(response, pos, value))
    throw std::runtime_error("controller link: short answer");
  return value;
}

void RemoteController::sync(bool wait_for_motion) {
  std::string p;
  link::put(p, static_cast<std::uint8_t>(wait_for_motion));
  call(Op::Sync, p);
}

hx4rc_api::State::SysStat_RCState RemoteController::rcState() {
  const std::string response = call(Op::RcState, std::string());
  std::size_t pos = 0;
  hx4rc_api::State::SysStat_RCState state;
  if (!link::get(response, pos, state.value) || !link::get(response, pos, state.cycles))
    throw std::runtime_error("controller link: short answer");
  return state;
}

hx4rc_api::Load RemoteController::load(hx4rc_api::Load::SysId id) {
  std::string p;
  link::put(p, static_cast<std::uint32_t>(id));
  return callFor<hx4rc_api::Load>(Op::Load, p);
}

void RemoteController::setLoad(hx4rc_api::Load::SysId id, const hx4rc_api::Load& load) {
  std::string p;
  link::put(p, static_cast<std::uint32_t>(id));
  link::put(p, load);
  call(Op::SetLoad, p);
}

hx4rc_api::Frame RemoteController::frame(hx4rc_api::Model::SysId a, hx4rc_api::Model::SysId b) {
  std::string p;
  link::put(p, static_cast<std::int32_t>(a));
  link::put(p, static_cast<std::int32_t>(b));
  return callFor<hx4rc_api::Frame>(Op::Frame, p);
}

int RemoteController::move(const hx4rc_api::Motion::Target& target,
                           const hx4rc_api::Motion::Params& params) {
  std::string p;
  link::put(p, target);
  link::put(p, params);
  return callFor<std::int32_t>(Op::Move, p);
}

int RemoteController::submit(const hx4rc_api::Drive::CmdReferenceCtl& command) {
  std::string p;
  link::put(p, static_cast<std::uint8_t>(command.hasReferenceOffset()));
  link::put(p, command.referenceOffset());
  return callFor<std::int32_t>(Op::Submit, p);
}

void RemoteController::acquireResources(bool exclusive) {
  std::string p;
  link::put(p, static_cast<std::uint8_t>(exclusive));
  call(Op::Acquire, p);
}

void RemoteController::releaseResources() {
  call(Op::Release, std::string());
}

boost::optional<hx4_program_api_internals::ControlStatus> RemoteController::resourceStatus() {
  const std::string response = call(Op::Status, std::string());
  std::size_t pos = 0;
  std::uint8_t offered = 0;
  std::uint32_t flags = 0;
  if (!link::get(response, pos, offered) || !link::get(response, pos, flags)) {
    throw std::runtime_error("controller link: short answer");
  }
  if (!offered)
    return boost::none;
  hx4_program_api_internals::ControlStatus status;
  status.flags = flags;
  return status;
}

}  // namespace vorel_sim
