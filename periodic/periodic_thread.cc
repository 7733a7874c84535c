#include "periodic/periodic_thread.h"

#include <unistd.h>

#include <algorithm>
#include <limits>

namespace tmvz_periodic_thread {

namespace {

constexpr useconds_t kPollStepUs = 1000;  // 1 ms per polling step

}  // namespace

PeriodicThread::PeriodicThread(int period_ms)
    : stop_requested(true), period_ms(period_ms), worker(), running(false) {}

PeriodicThread::~PeriodicThread() {
  stopAndJoin();
}

bool PeriodicThread::start(int timeout_ms) {
  // A thread still held (cycling, stopping, or finished but not joined) is
  // neither replaced nor disturbed: its flags stay as they are.
  if (worker.joinable())
    return false;

  // Cleared before the thread exists, so a stale true from an earlier run
  // cannot satisfy the wait below.
  running = false;
  stop_requested = false;
  worker = std::thread([this] { threadBody(); });

  for (int step = 0; step < timeout_ms; ++step) {
    if (running.load())
      break;
    usleep(kPollStepUs);
  }
  return running.load();
}

bool PeriodicThread::stop(int timeout_ms) {
  stop_requested = true;
  for (int step = 0; step < timeout_ms; ++step) {
    if (!running.load())
      break;
    usleep(kPollStepUs);
  }
  if (running.load())
    return false;
  if (!worker.joinable())
    return true;
  worker.join();
  return true;
}

void PeriodicThread::stopAndJoin() {
  stop_requested = true;
  if (worker.joinable())
    worker.join();
}

void PeriodicThread::threadBody() {
  initMethod();
  running = true;
  // A negative period counts as 0; the product is formed in 64 bits and held
  // within what one usleep takes (about 71 min).
  const std::uint64_t period = period_ms < 0 ? 0 : static_cast<std::uint64_t>(period_ms);
  const std::uint64_t pause_us =
      std::min<std::uint64_t>(period * 1000u, std::numeric_limits<useconds_t>::max());
  while (!stop_requested.load()) {
    cycleMethod();
    usleep(static_cast<useconds_t>(pause_us));
  }
  running = false;
}

}  // namespace tmvz_periodic_thread
