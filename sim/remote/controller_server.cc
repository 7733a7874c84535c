#include "sim/remote/controller_server.h"

#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <exception>

namespace vorel_sim {

namespace link = controller_link;
using link::Op;

ControllerServer::ControllerServer(
    boost::shared_ptr<hx4_program_api_internals::ControllerBackend> backend, int fd, int priority)
    : backend_(std::move(backend)), fd_(fd) {
  thread_ = std::thread([this] { run(); });
  if (priority > 0) {
    sched_param param{};
    param.sched_priority = priority;
    (void)pthread_setschedparam(thread_.native_handle(), SCHED_FIFO, &param);
  }
}

ControllerServer::~ControllerServer() {
  stop();
}

void ControllerServer::stop() {
  if (!thread_.joinable())
    return;
  ::shutdown(fd_, SHUT_RDWR);
  thread_.join();
  ::close(fd_);
  fd_ = -1;
}

bool ControllerServer::serve(hx4_program_api_internals::ControllerBackend& backend, Op op,
                             const std::string& request, std::string& response) {
  std::size_t pos = 0;
  switch (op) {
    case Op::Sync: {
      std::uint8_t wait = 0;
      if (!link::get(request, pos, wait))
        return false;
      backend.sync(wait != 0);
      return true;
    }
    case Op::RcState: {
      const auto state = backend.rcState();
      link::put(response, state.value);
      link::put(response, state.cycles);
      return true;
    }
    case Op::Load: {
      std::uint32_t id = 0;
      if (!link::get(request, pos, id))
        return false;
      link::put(response, backend.load(static_cast<hx4rc_api::Load::SysId>(id)));
      return true;
    }
    case Op::SetLoad: {
      std::uint32_t id = 0;
      hx4rc_api::Load load;
      if (!link::get(request, pos, id) || !link::get(request, pos, load))
        return false;
      backend.setLoad(static_cast<hx4rc_api::Load::SysId>(id), load);
      return true;
    }
    case Op::Frame: {
      std::int32_t a = 0, b = 0;
      if (!link::get(request, pos, a) || !link::get(request, pos, b))
        return false;
      link::put(response, backend.frame(static_cast<hx4rc_api::Model::SysId>(a),
                                        static_cast<hx4rc_api::Model::SysId>(b)));
      return true;
    }
    case Op::Move: {
      hx4rc_api::Motion::Target target;
      hx4rc_api::Motion::Params params;
      if (!link::get(request, pos, target) || !link::get(request, pos, params))
        return false;
      link::put(response, static_cast<std::int32_t>(backend.move(target, params)));
      return true;
    }
    case Op::Submit: {
      std::uint8_t has_offset = 0;
      hx4rc_api::Pose offset;
      if (!link::get(request, pos, has_offset) || !link::get(request, pos, offset))
        return false;
      hx4rc_api::Drive::CmdDriveCtl command;
      if (has_offset)
        command.asReferenceControl().withReferenceOffset(offset);
      link::put(response, static_cast<std::int32_t>(backend.submit(command.asReferenceControl())));
      return true;
    }
    case Op::Acquire: {
      std::uint8_t exclusive = 0;
      if (!link::get(request, pos, exclusive))
        return false;
      backend.acquireResources(exclusive != 0);
      return true;
    }
    case Op::Release:
      backend.releaseResources();
      return true;
    case Op::Status: {
      const auto status = backend.resourceStatus();
      link::put(response, static_cast<std::uint8_t>(status ? 1 : 0));
      link::put(response, status ? status->flags : std::uint32_t{0});
      return true;
    }
  }
  return false;
}

void ControllerServer::run() {
  Op op{};
  std::string request;
  while (link::readMessage(fd_, op, request)) {
    std::string response;
    bool ok = false;
    try {
      ok = serve(*backend_, op, request, response);
    } catch (const std::exception& e) {
      std::printf("vorel-sim: controller request %u failed: %s\n", static_cast<unsigned>(op),
                  e.what());
    }
    if (!ok || !link::writeMessage(fd_, op, response))
      break;
  }
}

}  // namespace vorel_sim
