// SegmentTap: a host tool's read-only look into the device's shared segment
// "VorelFrameSharedMemory". It opens the segment and the named mutex
// "VorelNamedMutex" open-only (the device's reader must have created them),
// and for each sample takes the mutex once, briefly, to copy the latest
// sensor frame and the wrenches of the force-control cycle. It writes
// nothing, sleeps nowhere and never holds the mutex across anything but the
// copy. When the mutex cannot be taken within the device's bound (a dead
// holder), the sample is missing: nothing is recorded for it.
#pragma once

#include <boost/shared_ptr.hpp>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

#include "comm/rx_frame.h"
#include "comm/shared_records.h"
#include "comm/shared_segment.h"
#include "filters/wrench.h"

namespace vorel_sim {
class SimulatedController;
}

namespace vorel_sim {

struct SegmentSample {
  // The sensor's values of the latest published frame: N, N m, sensor axes,
  // no bias removed; its status word and stamp (sequence number, send time).
  vorel_device::Wrench raw;
  std::uint16_t status = 0;
  std::uint32_t sequence = 0;
  bool has_frame = false;  // a frame has been published (its header is 0xAA)
  // The gravity-compensated wrench in the tool-centre-point frame minus the
  // bias, as readForce / readTorque report it: N, N m, TCP axes.
  vorel_device::Wrench tool;
  // The filtered TCP wrench the force-control law uses: N, N m, TCP axes.
  vorel_device::Wrench filtered;
  // The bias the readouts and force control subtract ("wrench_offset").
  vorel_device::Wrench bias;
  double runtime_s = 0.0;  // seconds of active force control
  // From "sensor_health" (0 while the object does not exist): frames the
  // reader published since activation.
  std::uint64_t frames_published = 0;
};

class SegmentTap {
 public:
  // Throws boost::interprocess::interprocess_exception when the segment or the
  // mutex does not exist.
  SegmentTap();
  ~SegmentTap();
  SegmentTap(const SegmentTap&) = delete;
  SegmentTap& operator=(const SegmentTap&) = delete;

  // One sample (named mutex held for the copies only). Objects that are
  // missing leave their fields at 0. Empty when the named mutex was not
  // acquired within its bound.
  std::optional<SegmentSample> sample();

 private:
  vorel_device::shared_segment::Segment segment_;
  boost::shared_ptr<vorel_device::shared_segment::Mutex> mutex_;
};

// Waits, one controller cycle at a time, until the device's readouts carry a
// measurement (a frame published and turned into a finite tool-frame wrench,
// and the facade's 10 ms refresh has had two chances to copy it). Returns the
// time waited in ms, or empty after `guard`.
std::optional<double> awaitReady(SegmentTap& tap, vorel_sim::SimulatedController& controller,
                                 std::chrono::milliseconds guard);

}  // namespace vorel_sim
