// A real-time force-control thread never spins: when the controller's
// synchronisation returns at once (a controller that stopped or fails), the
// thread still sleeps out the shortest real-time cycle, so it takes only a
// small part of a core.
#include <gtest/gtest.h>
#include <pthread.h>
#include <time.h>

#include <chrono>
#include <thread>

#include "tests/adaptive/adaptive_fixture.h"

namespace vorel_device {
namespace adaptive_test {
namespace {

class AdaptiveRealtimeTest : public AdaptiveFixture {};

double seconds(clockid_t clock) {
  timespec t{};
  clock_gettime(clock, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

TEST_F(AdaptiveRealtimeTest, SyncReturnsAtOnce_ThreadSleepsEachCycleAndUsesLittleCpu) {
  controller_->setFreeRunning(true);  // sync returns at once (after a yield)
  thread_->setRealtimePriority(40, "Force control");
  ASSERT_TRUE(thread_->start(1000));
  clockid_t thread_cpu;
  ASSERT_EQ(pthread_getcpuclockid(thread_->nativeHandle(), &thread_cpu), 0);

  const double cpu_start = seconds(thread_cpu);
  const double wall_start = seconds(CLOCK_MONOTONIC);
  const std::uint64_t syncs_start = controller_->syncCount();
  // The measurement window: the thread runs on its own meanwhile.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const double cpu = seconds(thread_cpu) - cpu_start;
  const double wall = seconds(CLOCK_MONOTONIC) - wall_start;
  const std::uint64_t syncs = controller_->syncCount() - syncs_start;

  // One synchronisation per cycle, and no cycle shorter than the minimum.
  const double min_cycle_s = 1e-6 * tmvz_periodic_thread::PeriodicThread::kRealtimeMinCycleUs;
  EXPECT_GT(syncs, 0u);
  EXPECT_LE(static_cast<double>(syncs), wall / min_cycle_s + 2.0);
  // Spinning would take the whole window.
  EXPECT_LT(cpu, 0.5 * wall) << "cpu " << cpu << " s of " << wall << " s";
}

}  // namespace
}  // namespace adaptive_test
}  // namespace vorel_device
