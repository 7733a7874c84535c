#include "sim/observe/segment_tap.h"

#include <cmath>

#include "sim/controller/simulated_controller.h"

#include <cstring>

namespace vorel_sim {

namespace seg = vorel_device::shared_segment;

SegmentTap::SegmentTap() : segment_(seg::openSegment()), mutex_(seg::openMutex()) {}

SegmentTap::~SegmentTap() = default;

std::optional<SegmentSample> SegmentTap::sample() try {
  vorel_device::RxFrame frame{};
  vorel_device::Wrench tcp;
  vorel_device::ftBias offset;
  SegmentSample out;
  bool have_frame = false;
  {
    seg::Lock lock(*mutex_);
    if (auto* f = seg::find<vorel_device::RxFrame>(segment_, seg::kFrame)) {
      frame = *f;
      have_frame = true;
    }
    if (auto* w = seg::find<vorel_device::Wrench>(segment_, seg::kTcpTransformedWrench))
      tcp = *w;
    if (auto* b = seg::find<vorel_device::ftBias>(segment_, seg::kWrenchOffset))
      offset = *b;
    if (auto* w = seg::find<vorel_device::Wrench>(segment_, seg::kTcpFilteredWrench)) {
      out.filtered = *w;
    }
    if (auto* r = seg::find<double>(segment_, seg::kRuntime))
      out.runtime_s = *r;
    if (auto* h = seg::find<vorel_device::SensorHealth>(segment_, seg::kSensorHealth))
      out.frames_published = h->frames_published;
  }
  for (int i = 0; i < 6; ++i) {
    out.tool[i] = tcp[i] - offset[i];
    out.bias[i] = offset[i];
  }
  if (have_frame && frame.header == vorel_device::RxFrame::kHeader) {
    out.has_frame = true;
    out.status = frame.status;
    for (int i = 0; i < 6; ++i)
      out.raw[i] = frame.ft_data[i];
    std::memcpy(&out.sequence, frame.extra, sizeof out.sequence);
  }
  return out;
} catch (const seg::LockTimeout&) {
  return std::nullopt;
}

// Waits, one controller cycle at a time, until the device's readouts carry
// a measurement: a sensor frame has been published, the force-control thread
// has turned it into a finite tool-frame wrench (it needs the sensor pose
// that onBind hands over) and the facade, which refreshes its copy of the raw
// frame every 10 ms, has had two chances to take it: 12 controller cycles
// (24 ms) after the first frame. A program that tared before that would tare
// on no measurement. Returns the time waited in ms, or empty after `guard`.
std::optional<double> awaitReady(SegmentTap& tap, vorel_sim::SimulatedController& controller,
                                 std::chrono::milliseconds guard) {
  constexpr int kCyclesAfterFrame = 12;
  const auto start = std::chrono::steady_clock::now();
  int cycles_with_frame = 0;
  for (;;) {
    const SegmentSample sample = tap.sample().value_or(SegmentSample());
    bool finite = true;
    for (int i = 0; i < 6 && finite; ++i) {
      finite = std::isfinite(sample.tool[i]) && std::isfinite(sample.filtered[i]);
    }
    cycles_with_frame = sample.has_frame ? cycles_with_frame + 1 : 0;
    const auto waited = std::chrono::steady_clock::now() - start;
    if (finite && cycles_with_frame > kCyclesAfterFrame) {
      return std::chrono::duration<double, std::milli>(waited).count();
    }
    if (waited >= guard)
      return std::nullopt;
    controller.awaitNextTick();
  }
}

}  // namespace vorel_sim
