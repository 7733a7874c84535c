#include "host/controller_backend.h"

#include <mutex>

namespace hx4_program_api_internals {

namespace {

std::mutex& backendMutex() {
  static std::mutex mutex;
  return mutex;
}

boost::shared_ptr<ControllerBackend>& currentBackend() {
  static boost::shared_ptr<ControllerBackend> backend;
  return backend;
}

}  // namespace

void ControllerBackend::install(boost::shared_ptr<ControllerBackend> backend) {
  std::lock_guard<std::mutex> lock(backendMutex());
  currentBackend() = std::move(backend);
}

boost::shared_ptr<ControllerBackend> ControllerBackend::current() {
  std::lock_guard<std::mutex> lock(backendMutex());
  return currentBackend();
}

}  // namespace hx4_program_api_internals
