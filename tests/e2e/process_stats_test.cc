// What vorel-sim reads about its own threads and memory: thread ids, a
// thread's CPU clock by its id (checked against the same thread's clock
// through its pthread_t), and the resident set size.
#include <gtest/gtest.h>
#include <pthread.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "bench/e2e/process_stats.h"

namespace {

namespace ps = vorel_sim_app::process_stats;

std::int64_t nanosOf(clockid_t clock) {
  timespec ts;
  EXPECT_EQ(::clock_gettime(clock, &ts), 0);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Polls `condition` until it holds; false after a generous guard.
template <class F>
bool eventually(F condition) {
  const auto guard = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > guard)
      return false;
    std::this_thread::yield();
  }
  return true;
}

TEST(ThreadCpuNanos_OfASpinningThread_AgreesWithItsPthreadCpuClock, AndAdvances) {
  std::atomic<pid_t> tid{0};
  std::atomic<bool> stop{false};
  std::thread spinner([&] {
    tid.store(ps::currentThreadId());
    while (!stop.load()) {
    }
  });
  ASSERT_TRUE(eventually([&] { return tid.load() != 0; }));
  EXPECT_NE(tid.load(), ps::currentThreadId());
  EXPECT_EQ(ps::threadIds().count(tid.load()), 1u);

  clockid_t clock;
  ASSERT_EQ(::pthread_getcpuclockid(spinner.native_handle(), &clock), 0);
  const auto before = ps::threadCpuNanos(tid.load());
  const std::int64_t through_pthread = nanosOf(clock);
  const auto after = ps::threadCpuNanos(tid.load());
  ASSERT_TRUE(before && after);
  EXPECT_LE(*before, through_pthread);
  EXPECT_LE(through_pthread, *after);
  // It spins: its clock passes 5 ms of CPU time.
  EXPECT_TRUE(
      eventually([&] { return ps::threadCpuNanos(tid.load()).value_or(0) > *after + 5000000; }));

  stop.store(true);
  spinner.join();
  // The kernel may list a joined thread's task for a moment after the join.
  EXPECT_TRUE(eventually([&] { return ps::threadIds().count(tid.load()) == 0; }));
  EXPECT_TRUE(eventually([&] { return !ps::threadCpuNanos(tid.load()); }));
}

TEST(ResidentKiB_AfterTouchingEightMiB_GrowsByAboutThat, ThisProcess) {
  const auto before = ps::residentKiB();
  ASSERT_TRUE(before);
  EXPECT_GT(*before, 0);
  constexpr std::size_t kBytes = 8u << 20;
  std::unique_ptr<char[]> block(new char[kBytes]);
  std::memset(block.get(), 1, kBytes);
  const auto after = ps::residentKiB();
  ASSERT_TRUE(after);
  EXPECT_GE(*after - *before, 7 * 1024) << *before << " -> " << *after;
  EXPECT_EQ(block[kBytes - 1], 1);
  const auto load = ps::loadAverage1min();
  ASSERT_TRUE(load);
  EXPECT_GE(*load, 0.0);
}

}  // namespace
