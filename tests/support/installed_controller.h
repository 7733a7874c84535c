// A stepping controller installed as the process's current controller for the
// life of a test, with a program interface on it.
#pragma once

#include <boost/shared_ptr.hpp>

#include "host/controller_backend.h"
#include "host/program_interface.h"
#include "sim/controller/stepping_controller.h"

namespace vorel_test {

using vorel_sim::DriveRecord;
using vorel_sim::LoadWrite;
using vorel_sim::MotionRecord;
using vorel_sim::SteppingController;

class InstalledController {
 public:
  // Creates a SteppingController, installs it as the current controller (the
  // one ControlResources uses) and builds one ProgramInterface on it.
  InstalledController();
  // Switches the double to free running (so that no thread stays blocked in
  // sync) and reinstalls the controller that was current before.
  ~InstalledController();
  InstalledController(const InstalledController&) = delete;
  InstalledController& operator=(const InstalledController&) = delete;

  SteppingController& controller() const { return *controller_; }
  SteppingController* operator->() const { return controller_.get(); }
  const boost::shared_ptr<SteppingController>& shared() const { return controller_; }
  // The program interface on the double (the same one on every call).
  const boost::shared_ptr<hx4_program_api::ProgramInterface>& program() const { return program_; }

 private:
  boost::shared_ptr<hx4_program_api_internals::ControllerBackend> previous_;
  boost::shared_ptr<SteppingController> controller_;
  boost::shared_ptr<hx4_program_api::ProgramInterface> program_;
};

}  // namespace vorel_test
