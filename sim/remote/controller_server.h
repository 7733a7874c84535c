// ControllerServer: serves a ControllerBackend (the simulated controller) to
// a RemoteController in another process over a connected stream socket, on
// its own thread: one request, one call of the backend, one response. sync()
// requests block that thread until the controller's next cycle, which is
// what paces the other process's force-control thread.
#pragma once

#include <boost/shared_ptr.hpp>
#include <string>
#include <thread>

#include "host/controller_backend.h"
#include "sim/remote/controller_link.h"

namespace vorel_sim {

class ControllerServer {
 public:
  // Takes over `fd`; starts serving at once. A `priority` of 1 to 98 serves
  // with SCHED_FIFO at it where permitted: the thread stands in for the
  // controller's own path of the other process's force-control thread, so it
  // runs at that thread's priority, and a busy machine cannot hold up its
  // cycles (normal scheduling where the machine refuses).
  ControllerServer(boost::shared_ptr<hx4_program_api_internals::ControllerBackend> backend, int fd,
                   int priority = 0);
  // stop().
  ~ControllerServer();
  ControllerServer(const ControllerServer&) = delete;
  ControllerServer& operator=(const ControllerServer&) = delete;

  // Shuts the socket down, joins the thread and closes the socket. A request
  // in progress finishes first (a sync within one cycle).
  void stop();

  // The response payload for one request (pure dispatch; for tests).
  static bool serve(hx4_program_api_internals::ControllerBackend& backend, controller_link::Op op,
                    const std::string& request, std::string& response);

 private:
  void run();

  boost::shared_ptr<hx4_program_api_internals::ControllerBackend> backend_;
  int fd_;
  std::thread thread_;
};

}  // namespace vorel_sim
