// The force-control thread's heartbeat: the shared object
// "force_control_heartbeat", written by that thread once per cycle (also in
// held, failed and suspended cycles) and read by every process that maps
// the segment, all WITHOUT the named mutex "VorelNamedMutex": a dead process
// that holds the mutex must not hide whether force control still runs.
//
// Every field is a lock-free atomic (checked below), so the record works
// between processes. One writer; a sequence number (odd while a write is in
// progress) lets a reader take the fields as one consistent beat. A reader
// retries a beat that changed under it a bounded number of times, so a
// writer that died in the middle of a write cannot hold it up.
//
// Liveness: force control runs while its last cycle is less than
// kNotRunningAfterNs old on CLOCK_MONOTONIC (machine-wide, so times written
// in one process compare with the clock read in another).
#pragma once

#include <atomic>
#include <cstdint>

namespace vorel_device {

// Force control's state, as the heartbeat publishes it.
enum class ForceControlState : std::int32_t {
  kIdle = 0,       // off, offset zero
  kActive = 1,     // on: the law's offset goes to the drive
  kReturning = 2,  // switched off, the offset on its way back to zero
  kSuspended = 3,  // the controller holds (control-resource flag 3 or 4): nothing sent
};

// One beat, as written and as read.
struct HeartbeatBeat {
  std::uint64_t cycles = 0;                 // force-control cycles since the thread started
  std::int64_t monotonic_ns = 0;            // CLOCK_MONOTONIC of the last cycle, ns (0: none yet)
  std::int32_t state = 0;                   // ForceControlState
  double translation[3] = {0.0, 0.0, 0.0};  // last offset sent, m, TCP axes
  double rotation[3] = {0.0, 0.0, 0.0};     // last offset sent, rad, roll pitch yaw
};

struct ForceControlHeartbeat {
  std::atomic<std::uint64_t> sequence{0};  // odd while a write is in progress
  std::atomic<std::uint64_t> cycles{0};
  std::atomic<std::int64_t> monotonic_ns{0};
  std::atomic<std::int32_t> state{0};
  std::atomic<double> translation[3]{};
  std::atomic<double> rotation[3]{};
};

static_assert(std::atomic<std::uint64_t>::is_always_lock_free, "heartbeat across processes");
static_assert(std::atomic<std::int64_t>::is_always_lock_free, "heartbeat across processes");
static_assert(std::atomic<std::int32_t>::is_always_lock_free, "heartbeat across processes");
static_assert(std::atomic<double>::is_always_lock_free, "heartbeat across processes");

namespace heartbeat {

// Force control does not run when its last cycle is at least this old.
constexpr std::int64_t kNotRunningAfterNs = 50000000;  // 50 ms

// CLOCK_MONOTONIC now, ns.
std::int64_t monotonicNow();

// The single writer's beat. No allocation, no lock, no system call.
void publish(ForceControlHeartbeat& record, const HeartbeatBeat& beat);
// A consistent beat (or, after a bounded number of retries against a writer
// that never finished, the fields as they are). Not const: the check of the
// sequence number is a read-modify-write that leaves it unchanged.
HeartbeatBeat read(ForceControlHeartbeat& record);

// Seconds since the beat's last cycle at `now_ns`; since the clock's start
// when there was none.
double ageSeconds(const HeartbeatBeat& beat, std::int64_t now_ns);
// Whether the beat's last cycle is less than kNotRunningAfterNs old.
bool running(const HeartbeatBeat& beat, std::int64_t now_ns);

}  // namespace heartbeat
}  // namespace vorel_device
