// PeriodicThread with real threads. The workers report to a probe owned by
// the test (counters under a mutex, a condition variable, gates that hold
// initMethod or a cycle); every wait is on a condition with a 10 s guard that
// fails the test instead of hanging it.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "periodic/periodic_thread.h"

namespace {

using tmvz_periodic_thread::PeriodicThread;

constexpr auto kGuard = std::chrono::seconds(10);

// Polls a flag of the thread object itself (no notification exists for it).
bool pollUntil(const std::function<bool()>& done) {
  const auto guard = std::chrono::steady_clock::now() + kGuard;
  while (!done()) {
    if (std::chrono::steady_clock::now() > guard)
      return false;
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  return true;
}

struct Probe {
  enum class Init { Return, HoldUntilReleased, HoldUntilStopRequested };

  std::mutex m;
  std::condition_variable cv;
  Init init = Init::Return;
  bool init_released = false;
  bool hold_cycles = false;           // each cycle waits until this is cleared
  bool cycles_wait_for_stop = false;  // each cycle ends once the stop is requested
  int inits_started = 0, inits_done = 0;
  int cycles_started = 0, cycles_done = 0, cycles_that_saw_stop = 0;
  std::thread::id worker_id;

  // Waits until `done` holds; false when the guard expired.
  bool waitFor(const std::function<bool()>& done) {
    std::unique_lock<std::mutex> lock(m);
    return cv.wait_for(lock, kGuard, done);
  }
  void set(const std::function<void()>& change) {
    {
      std::lock_guard<std::mutex> lock(m);
      change();
    }
    cv.notify_all();
  }
};

// Reports to the probe. With `join_in_destructor` it stops and joins in its
// own destructor, as a worker whose cycle uses its members should; without, it
// relies on the base destructor alone.
class ProbeWorker : public PeriodicThread {
 public:
  ProbeWorker(Probe& probe, int period_ms, bool join_in_destructor = true)
      : PeriodicThread(period_ms), probe_(probe), join_in_destructor_(join_in_destructor) {}
  ~ProbeWorker() override {
    if (join_in_destructor_)
      stopAndJoin();
  }

  void initMethod() override {
    std::unique_lock<std::mutex> lock(probe_.m);
    ++probe_.inits_started;
    probe_.cv.notify_all();
    if (probe_.init == Probe::Init::HoldUntilReleased) {
      probe_.cv.wait_for(lock, kGuard, [&] { return probe_.init_released; });
    } else if (probe_.init == Probe::Init::HoldUntilStopRequested) {
      lock.unlock();
      pollUntil([&] { return stopRequested(); });
      lock.lock();
    }
    ++probe_.inits_done;
    probe_.cv.notify_all();
  }

  void cycleMethod() override {
    std::unique_lock<std::mutex> lock(probe_.m);
    ++probe_.cycles_started;
    probe_.worker_id = std::this_thread::get_id();
    probe_.cv.notify_all();
    probe_.cv.wait_for(lock, kGuard, [&] { return !probe_.hold_cycles; });
    if (probe_.cycles_wait_for_stop) {
      lock.unlock();
      const bool saw_stop = pollUntil([&] { return stop_requested.load(); });
      lock.lock();
      probe_.cycles_that_saw_stop += saw_stop ? 1 : 0;
    }
    ++probe_.cycles_done;
    probe_.cv.notify_all();
  }

 private:
  Probe& probe_;
  bool join_in_destructor_;
};

struct Flags {
  bool stop_requested, running, holds_thread;
};

void expectState(const PeriodicThread& t, Flags expected, const char* state) {
  SCOPED_TRACE(state);
  EXPECT_EQ(t.stopRequested(), expected.stop_requested);
  EXPECT_EQ(t.isRunning(), expected.running);
  EXPECT_EQ(t.holdsThread(), expected.holds_thread);
}

// Created -> Initialising -> Cycling -> Stopping -> Finished, not joined ->
// Stopped, with start refused while the finished thread is still held.
TEST(PeriodicThread, WalkThroughEveryState_FlagsMatchLifecycleTable) {
  Probe probe;
  probe.init = Probe::Init::HoldUntilReleased;
  probe.hold_cycles = true;
  ProbeWorker worker(probe, 1);
  expectState(worker, {true, false, false}, "Created");
  EXPECT_TRUE(worker.stop(0));  // never started: true at once

  EXPECT_FALSE(worker.start(0));  // initMethod is held: no wait, not yet in the loop
  ASSERT_TRUE(probe.waitFor([&] { return probe.inits_started == 1; }));
  expectState(worker, {false, false, true}, "Initialising");

  probe.set([&] { probe.init_released = true; });
  ASSERT_TRUE(probe.waitFor([&] { return probe.cycles_started == 1; }));
  expectState(worker, {false, true, true}, "Cycling");
  EXPECT_NE(probe.worker_id, std::this_thread::get_id());

  EXPECT_FALSE(worker.stop(0));
  EXPECT_FALSE(worker.stop(3));  // the held cycle outlasts the time-out
  expectState(worker, {true, true, true}, "Stopping");

  probe.set([&] { probe.hold_cycles = false; });
  ASSERT_TRUE(pollUntil([&] { return !worker.isRunning(); }));
  expectState(worker, {true, false, true}, "Finished, not joined");
  EXPECT_FALSE(worker.start(100));
  expectState(worker, {true, false, true}, "Finished, start refused");

  EXPECT_TRUE(worker.stop(0));
  expectState(worker, {true, false, false}, "Stopped");
  // The held cycle finished; no cycle began after the stop request.
  EXPECT_EQ(probe.inits_started, 1);
  EXPECT_EQ(probe.cycles_started, 1);
  EXPECT_EQ(probe.cycles_done, 1);
}

TEST(PeriodicThread, RestartAfterStop_InitsAgainAndStartWhileCyclingIsRefused) {
  Probe probe;
  ProbeWorker worker(probe, 0);
  ASSERT_TRUE(worker.start(1000));
  ASSERT_TRUE(probe.waitFor([&] { return probe.cycles_done >= 2; }));
  ASSERT_TRUE(worker.stop(1000));

  ASSERT_TRUE(worker.start(1000));
  {
    std::lock_guard<std::mutex> lock(probe.m);
    EXPECT_EQ(probe.inits_done, 2);  // running implies initMethod returned
  }
  EXPECT_FALSE(worker.start(1000));
  expectState(worker, {false, true, true}, "still cycling");
  int seen = 0;
  probe.set([&] { seen = probe.cycles_done; });
  ASSERT_TRUE(probe.waitFor([&] { return probe.cycles_done >= seen + 2; }));
  EXPECT_TRUE(worker.stop(1000));
  EXPECT_EQ(probe.inits_started, 2);
}

TEST(PeriodicThread, StopRequestedDuringInit_InitCompletesAndNoCycleRuns) {
  Probe probe;
  probe.init = Probe::Init::HoldUntilStopRequested;
  ProbeWorker worker(probe, 0);
  EXPECT_FALSE(worker.start(0));
  ASSERT_TRUE(probe.waitFor([&] { return probe.inits_started == 1; }));

  EXPECT_TRUE(worker.stop(1000));
  EXPECT_FALSE(worker.holdsThread());
  EXPECT_EQ(probe.inits_done, 1);
  EXPECT_EQ(probe.cycles_started, 0);
}

TEST(PeriodicThread, NegativePeriod_CountsAsZeroAndCyclesBackToBack) {
  Probe probe;
  ProbeWorker worker(probe, -5);
  ASSERT_TRUE(worker.start(1000));
  ASSERT_TRUE(probe.waitFor([&] { return probe.cycles_done >= 50; }));
  EXPECT_TRUE(worker.stop(1000));
}

TEST(PeriodicThread, DestroyedWhileCycling_StopRequestedAndJoined) {
  Probe probe;
  probe.cycles_wait_for_stop = true;
  auto worker = std::make_unique<ProbeWorker>(probe, 1);
  ASSERT_TRUE(worker->start(1000));
  ASSERT_TRUE(probe.waitFor([&] { return probe.cycles_started == 1; }));

  worker.reset();  // no stop(): the destructor requests it and joins
  EXPECT_EQ(probe.cycles_started, 1);
  EXPECT_EQ(probe.cycles_done, 1);
  EXPECT_EQ(probe.cycles_that_saw_stop, 1);
}

TEST(PeriodicThread, DestroyedFinishedNotJoined_BaseDestructorJoins) {
  Probe probe;
  probe.hold_cycles = true;
  auto worker = std::make_unique<ProbeWorker>(probe, 1, false);
  ASSERT_TRUE(worker->start(1000));
  ASSERT_TRUE(probe.waitFor([&] { return probe.cycles_started == 1; }));
  ASSERT_FALSE(worker->stop(0));
  probe.set([&] { probe.hold_cycles = false; });
  ASSERT_TRUE(pollUntil([&] { return !worker->isRunning(); }));
  ASSERT_TRUE(worker->holdsThread());

  worker.reset();  // a held std::thread destroyed unjoined would terminate
  EXPECT_EQ(probe.cycles_done, 1);
}

}  // namespace
