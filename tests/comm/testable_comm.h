// The sensor reader with its stop flag and its clock under the test's
// control, so that the drain loop runs on the test's own thread without
// starting the worker, and diagnostic episodes last exactly as long as the
// test says.
#pragma once

#include <cstdint>

#include "comm/sensor_reader.h"

namespace vorel_test {

class TestableComm : public vorel_device::VorelForceTorqueSensorComm {
 public:
  explicit TestableComm(int period_ms = 5) : VorelForceTorqueSensorComm(period_ms) {
    clock_ms = [] { return now_ms; };
  }

  // Clears the stop flag as a started thread would; only while no worker runs.
  void allowDrain() { stop_requested = false; }
  // Requests the stop, as stop() does first.
  void requestStop() { stop_requested = true; }

  // The reader's clock, ms (one for every reader of the test).
  inline static std::int64_t now_ms = 0;
};

}  // namespace vorel_test
