#include "tests/support/installed_controller.h"

#include <boost/make_shared.hpp>

namespace vorel_test {

using hx4_program_api_internals::ControllerBackend;

InstalledController::InstalledController()
    : previous_(ControllerBackend::current()),
      controller_(boost::make_shared<SteppingController>()),
      program_(boost::make_shared<hx4_program_api::ProgramInterface>(controller_)) {
  ControllerBackend::install(controller_);
}

InstalledController::~InstalledController() {
  controller_->setFreeRunning(true);
  ControllerBackend::install(previous_);
}

}  // namespace vorel_test
