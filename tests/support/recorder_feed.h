// A stand-in for the force-control thread as the recorder's writer: records
// whose every field follows from the cycle (so a reader can tell a record
// that mixes two cycles), appended by a real thread at the controller's pace.
#pragma once

#include <time.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>

#include "comm/force_control_recorder.h"

namespace vorel_test {

using vorel_device::ForceControlRecord;

// Every value derived from `cycle`: wrench component i of stage s is
// cycle + 0.125 i + 10 s; the rest as below.
inline ForceControlRecord syntheticRecord(std::uint64_t cycle, std::int64_t monotonic_ns) {
  ForceControlRecord r;
  const double c = static_cast<double>(cycle);
  r.cycle = cycle;
  r.controller_time = c * 0.002;
  r.monotonic_ns = monotonic_ns;
  vorel_device::Wrench* stages[] = {&r.raw, &r.compensated, &r.tcp_unbiased, &r.filtered,
                                    &r.setpoint};
  for (int s = 0; s < 5; ++s) {
    for (int i = 0; i < 6; ++i)
      (*stages[s])[i] = c + 0.125 * i + 10.0 * s;
  }
  for (int i = 0; i < 6; ++i)
    r.offset[i] = c * 1e-6 + i;
  for (int i = 0; i < 3; ++i)
    r.tcp_position[i] = c * 1e-3 - i;
  r.sample_age = c * 1e-3;
  r.usable_samples_per_second = c + 0.5;
  r.frames_published = cycle * 2;
  r.crc_errors = cycle * 3;
  r.lost_sync_events = cycle * 5;
  r.last_status = static_cast<std::uint32_t>(cycle & 0xff);
  r.force_control_state = static_cast<std::uint8_t>(cycle % 4);
  r.supervisor_state = static_cast<std::uint8_t>(cycle % 3);
  return r;
}

// Whether `r` is syntheticRecord(r.cycle, r.monotonic_ns) with at most its
// events changed.
inline bool consistentRecord(const ForceControlRecord& r) {
  ForceControlRecord expected = syntheticRecord(r.cycle, r.monotonic_ns);
  expected.events = r.events;
  return std::memcmp(&expected, &r, sizeof r) == 0;
}

// Appends syntheticRecord(0), (1), ... to `writer` every 2 ms (absolute
// deadlines on CLOCK_MONOTONIC) until `count` records or stop(); the first
// `unpaced` at once (seconds of history without waiting for them).
// `events(cycle)` gives each record's event bits.
class PacedWriter {
 public:
  using Events = std::function<std::uint32_t(std::uint64_t)>;
  PacedWriter(vorel_device::recorder::RecorderWriter& writer, std::uint64_t count,
              Events events = nullptr, std::uint64_t unpaced = 0)
      : thread_([this, &writer, count, events, unpaced] {
          timespec next{};
          clock_gettime(CLOCK_MONOTONIC, &next);
          for (std::uint64_t cycle = 0; cycle < count && !stop_.load(); ++cycle) {
            ForceControlRecord r = syntheticRecord(cycle, vorel_device::recorder::monotonicNowNs());
            r.events = events ? events(cycle) : 0;
            writer.append(r);
            written_.store(cycle + 1);
            if (cycle < unpaced) {
              clock_gettime(CLOCK_MONOTONIC, &next);
              continue;
            }
            next.tv_nsec += 2'000'000;
            if (next.tv_nsec >= 1'000'000'000) {
              next.tv_nsec -= 1'000'000'000;
              ++next.tv_sec;
            }
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
          }
        }) {}
  ~PacedWriter() { stop(); }

  // Ends the thread after the record in progress.
  void stop() {
    stop_.store(true);
    if (thread_.joinable())
      thread_.join();
  }
  std::uint64_t written() const { return written_.load(); }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<std::uint64_t> written_{0};
  std::thread thread_;
};

}  // namespace vorel_test
