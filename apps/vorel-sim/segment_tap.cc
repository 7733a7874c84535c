#include "apps/vorel-sim/segment_tap.h"

#include <cstring>

namespace vorel_sim_app {

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

}  // namespace vorel_sim_app
