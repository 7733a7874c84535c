#include "comm/force_control_heartbeat.h"

#include <time.h>

namespace vorel_device {
namespace heartbeat {

namespace {

// Reads of a beat that a write overlapped, before the fields are taken as
// they are.
constexpr int kReadAttempts = 64;

}  // namespace

std::int64_t monotonicNow() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// The odd sequence number is set, and the second one of a read taken, by a
// read-modify-write (a full barrier on x86-64): no field's store moves before
// the first, no field's load after the second. (Without fences, which the
// thread sanitizer does not support.)
void publish(ForceControlHeartbeat& record, const HeartbeatBeat& beat) {
  const std::uint64_t sequence = record.sequence.fetch_add(1, std::memory_order_acq_rel);
  record.cycles.store(beat.cycles, std::memory_order_relaxed);
  record.monotonic_ns.store(beat.monotonic_ns, std::memory_order_relaxed);
  record.state.store(beat.state, std::memory_order_relaxed);
  for (int i = 0; i < 3; ++i) {
    record.translation[i].store(beat.translation[i], std::memory_order_relaxed);
    record.rotation[i].store(beat.rotation[i], std::memory_order_relaxed);
  }
  record.sequence.store(sequence + 2, std::memory_order_release);
}

HeartbeatBeat read(ForceControlHeartbeat& record) {
  HeartbeatBeat beat;
  for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
    const std::uint64_t before = record.sequence.load(std::memory_order_acquire);
    beat.cycles = record.cycles.load(std::memory_order_relaxed);
    beat.monotonic_ns = record.monotonic_ns.load(std::memory_order_relaxed);
    beat.state = record.state.load(std::memory_order_relaxed);
    for (int i = 0; i < 3; ++i) {
      beat.translation[i] = record.translation[i].load(std::memory_order_relaxed);
      beat.rotation[i] = record.rotation[i].load(std::memory_order_relaxed);
    }
    // A read-modify-write that changes nothing (every process maps the
    // segment read-write).
    if ((before & 1u) == 0 && record.sequence.fetch_add(0, std::memory_order_acq_rel) == before)
      break;
  }
  return beat;
}

double ageSeconds(const HeartbeatBeat& beat, std::int64_t now_ns) {
  return static_cast<double>(now_ns - beat.monotonic_ns) * 1e-9;
}

bool running(const HeartbeatBeat& beat, std::int64_t now_ns) {
  return beat.monotonic_ns != 0 && now_ns - beat.monotonic_ns < kNotRunningAfterNs;
}

}  // namespace heartbeat
}  // namespace vorel_device
