// The sensor reader with its stop flag under the test's control, so that the
// drain loop can run on the test's own thread without starting the worker.
#pragma once

#include "comm/VorelForceTorqueSensorComm.h"

namespace vorel_test {

class TestableComm : public vorel_device::VorelForceTorqueSensorComm {
 public:
  explicit TestableComm(int period_ms = 5) : VorelForceTorqueSensorComm(period_ms) {}

  // Clears the stop flag as a started thread would; only while no worker runs.
  void allowDrain() { stop_requested = false; }
  // Requests the stop, as stop() does first.
  void requestStop() { stop_requested = true; }
};

}  // namespace vorel_test
