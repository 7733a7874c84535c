#include "periodic/periodic_thread.h"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <string>
#include <system_error>

#include "host/console.h"

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
  afterStop();
  return true;
}

void PeriodicThread::stopAndJoin() {
  stop_requested = true;
  if (worker.joinable())
    worker.join();
}

void PeriodicThread::setRealtimePriority(int priority, const char* name) {
  requested_priority = priority < 0 ? 0 : priority;
  if (name)
    thread_name = name;
}

void PeriodicThread::applyScheduling() {
  if (requested_priority > 0) {
    sched_param param{};
    param.sched_priority = requested_priority;
    const int error = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
    if (error != 0) {
      hx4_program_api_internals::Console::write(
          std::string("[INFO] ") + thread_name + ": real-time priority " +
          std::to_string(requested_priority) + " (SCHED_FIFO) not permitted (" +
          std::system_category().message(error) + "); the thread runs with normal scheduling\n");
    }
  }
  int policy = -1;
  sched_param actual{};
  if (pthread_getschedparam(pthread_self(), &policy, &actual) == 0) {
    running_priority = actual.sched_priority;
    running_policy = policy;
  }
}

void PeriodicThread::sleepUntilMinCycle(const timespec& cycle_start) {
  timespec until = cycle_start;
  until.tv_nsec += kRealtimeMinCycleUs * 1000L;
  if (until.tv_nsec >= 1000000000L) {
    until.tv_nsec -= 1000000000L;
    ++until.tv_sec;
  }
  // A cycle that took as long already needs no sleep (and no system call).
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  if (now.tv_sec > until.tv_sec || (now.tv_sec == until.tv_sec && now.tv_nsec >= until.tv_nsec))
    return;
  // Absolute deadline: a signal that interrupts the sleep resumes it.
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
  }
}

void PeriodicThread::threadBody() {
  applyScheduling();
  const bool realtime = requested_priority > 0;
  initMethod();
  running = true;
  // A negative period counts as 0; the product is formed in 64 bits and held
  // within what one usleep takes (about 71 min).
  const std::uint64_t period = period_ms < 0 ? 0 : static_cast<std::uint64_t>(period_ms);
  const std::uint64_t pause_us =
      std::min<std::uint64_t>(period * 1000u, std::numeric_limits<useconds_t>::max());
  while (!stop_requested.load()) {
    timespec cycle_start{};
    if (realtime)
      clock_gettime(CLOCK_MONOTONIC, &cycle_start);
    cycleMethod();
    usleep(static_cast<useconds_t>(pause_us));
    if (realtime)
      sleepUntilMinCycle(cycle_start);
  }
  running = false;
}

}  // namespace tmvz_periodic_thread
