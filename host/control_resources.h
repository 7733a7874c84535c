// The controller's control resources (libhx4_program_api): held by whoever
// commands the robot, from construction to destruction.
#pragma once

#include <boost/optional.hpp>
#include <boost/shared_ptr.hpp>

#include "host/controller_backend.h"

namespace hx4_program_api_internals {

class ControlResources {
 public:
  // Acquires the resources of the current controller; `exclusive` asks that
  // nobody else may hold them meanwhile.
  explicit ControlResources(bool exclusive);
  ~ControlResources();
  ControlResources(const ControlResources&) = delete;
  ControlResources& operator=(const ControlResources&) = delete;

  // The status record as the controller reports it now (read anew on every
  // call); empty when the controller offers none.
  boost::optional<ControlStatus> status() const;

 private:
  boost::shared_ptr<ControllerBackend> backend_;
};

}  // namespace hx4_program_api_internals
