#include "host/control_resources.h"

namespace hx4_program_api_internals {

ControlResources::ControlResources(bool exclusive) : backend_(ControllerBackend::current()) {
  if (backend_) backend_->acquireResources(exclusive);
}

ControlResources::~ControlResources() {
  if (backend_) backend_->releaseResources();
}

boost::optional<ControlStatus> ControlResources::status() const {
  if (!backend_) return boost::none;
  return backend_->resourceStatus();
}

}  // namespace hx4_program_api_internals
