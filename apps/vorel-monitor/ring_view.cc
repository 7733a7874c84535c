#include "apps/vorel-monitor/ring_view.h"

#include <cstdio>

namespace vorel_monitor {

namespace rec = vorel_device::recorder;

RingStatus statusOf(const RecorderReader& ring) {
  RingStatus status;
  status.has_record = ring.newest(status.newest);
  const std::int64_t now = rec::monotonicNowNs();
  if (status.has_record) {
    status.age_s = static_cast<double>(now - status.newest.monotonic_ns) * 1e-9;
    status.advancing = now - status.newest.monotonic_ns <= rec::kLivenessTimeoutNs;
  }
  status.replaced = !status.advancing && ring.replaced();
  // As the device's health readout has it: a ring that stopped is force
  // control that does not run (supervisor state 3), with no usable samples,
  // and the last sample aged by the time since the last cycle.
  if (status.has_record && !status.advancing) {
    ForceControlRecord& r = status.newest;
    r.supervisor_state = ForceControlRecord::kSupervisorNotRunning;
    if (r.sample_age >= 0.0)
      r.sample_age += status.age_s;
    r.usable_samples_per_second = 0.0;
  }
  return status;
}

std::string stalledMessage(const RingStatus& status) {
  if (status.advancing)
    return "";
  std::string text;
  if (!status.has_record) {
    text = "the force-control recorder holds no record yet: force control has not run a cycle";
  } else {
    char age[32];
    std::snprintf(age, sizeof age, "%.3f", status.age_s);
    text = std::string("the force-control recorder is not advancing (last record ") + age +
           " s ago): force control has stopped or is stuck";
  }
  if (status.replaced)
    text += "; its host has removed it (device deactivated)";
  return text;
}

std::vector<ForceControlRecord> lastRecords(const RecorderReader& ring, std::uint64_t count,
                                            std::uint64_t& lost) {
  std::vector<ForceControlRecord> records;
  lost = 0;
  const std::uint64_t next = ring.nextIndex();
  std::uint64_t first = next > count ? next - count : 0;
  if (first < ring.oldestIndex())
    first = ring.oldestIndex();
  records.reserve(static_cast<std::size_t>(next - first));
  ForceControlRecord record;
  for (std::uint64_t i = first; i < next; ++i) {
    if (ring.read(i, record) == RecorderReader::Read::kOk)
      records.push_back(record);
    else
      ++lost;
  }
  return records;
}

std::unique_ptr<RecorderReader> attachRing(bool& absent, std::string& message) {
  RecorderReader::Failure failure = RecorderReader::Failure::kNone;
  auto ring = RecorderReader::attach(failure, message);
  absent = failure == RecorderReader::Failure::kAbsent;
  return ring;
}

bool followReplacement(std::unique_ptr<RecorderReader>& ring) {
  if (!ring->replaced())
    return false;
  bool absent = false;
  std::string message;
  auto renewed = attachRing(absent, message);
  if (!renewed)
    return false;
  ring = std::move(renewed);
  std::fprintf(stderr,
               "vorel-monitor: the force-control recorder was created anew (a new activation); "
               "now watching the new one\n");
  return true;
}

}  // namespace vorel_monitor
