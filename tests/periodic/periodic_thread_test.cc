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

struct Probe {
  enum class Init { Return, HoldUntilReleased, HoldUntilStopRequested };

  std::mutex m;
  std::condition_variable cv;
  Init init = Init::Return;
  bool init_released = false;
  bool hold_cycles = false;  // each cycle waits until this is cleared
  bool cycles_wait_for_stop = false;
  int inits_started = 0;
  int inits_done = 0;
  int cycles_started = 0;
  int cycles_done = 0;
  int cycles_that_saw_stop = 0;
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
  int cyclesStarted() {
    std::lock_guard<std::mutex> lock(m);
    return cycles_started;
  }
};

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

// Reports to the probe; stops and joins in its own destructor, as a worker
// whose cycle uses its members should.
class ProbeWorker : public PeriodicThread {
 public:
  ProbeWorker(Probe& probe, int period_ms) : PeriodicThread(period_ms), probe_(probe) {}
  ~ProbeWorker() override { stopAndJoin(); }

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
      // A long cycle that ends itself early once the stop is requested.
      if (pollUntil([&] { return stop_requested.load(); })) {
        lock.lock();
        ++probe_.cycles_that_saw_stop;
      } else {
        lock.lock();
      }
    }
    ++probe_.cycles_done;
    probe_.cv.notify_all();
  }

 private:
  Probe& probe_;
};

// A worker that relies on the base destructor alone.
class BareWorker : public PeriodicThread {
 public:
  BareWorker(Probe& probe, int period_ms) : PeriodicThread(period_ms), probe_(probe) {}
  void initMethod() override {}
  void cycleMethod() override {
    std::unique_lock<std::mutex> lock(probe_.m);
    ++probe_.cycles_started;
    probe_.cv.notify_all();
    probe_.cv.wait_for(lock, kGuard, [&] { return !probe_.hold_cycles; });
    ++probe_.cycles_done;
    probe_.cv.notify_all();
  }

 private:
  Probe& probe_;
};

struct Flags {
  bool stop_requested;
  bool running;
  bool holds_thread;
};

void expectState(const PeriodicThread& t, Flags expected, const char* state) {
  SCOPED_TRACE(state);
  EXPECT_EQ(t.stopRequested(), expected.stop_requested);
  EXPECT_EQ(t.isRunning(), expected.running);
  EXPECT_EQ(t.holdsThread(), expected.holds_thread);
}

TEST(PeriodicThread_Lifecycle, WalkThroughEveryState_FlagsMatchLifecycleTable) {
  Probe probe;
  probe.init = Probe::Init::HoldUntilReleased;
  probe.hold_cycles = true;
  ProbeWorker worker(probe, 1);
  expectState(worker, {true, false, false}, "Created");

  EXPECT_FALSE(worker.start(0));
  ASSERT_TRUE(probe.waitFor([&] { return probe.inits_started == 1; }));
  expectState(worker, {false, false, true}, "Initialising");

  probe.set([&] { probe.init_released = true; });
  ASSERT_TRUE(probe.waitFor([&] { return probe.cycles_started == 1; }));
  expectState(worker, {false, true, true}, "Cycling");

  EXPECT_FALSE(worker.stop(0));
  expectState(worker, {true, true, true}, "Stopping");

  probe.set([&] { probe.hold_cycles = false; });
  ASSERT_TRUE(pollUntil([&] { return !worker.isRunning(); }));
  expectState(worker, {true, false, true}, "Finished, not joined");

  EXPECT_TRUE(worker.stop(0));
  expectState(worker, {true, false, false}, "Stopped");
  EXPECT_EQ(probe.cyclesStarted(), 1);
}

TEST(PeriodicThread_Start, ZeroTimeoutWhileInitRuns_ReturnsFalseAndThreadCyclesLater) {
  Probe probe;
  probe.init = Probe::Init::HoldUntilReleased;
  ProbeWorker worker(probe, 0);
  EXPECT_FALSE(worker.start(0));  // initMethod is held: no wait, not yet in the loop

  probe.set([&] { probe.init_released = true; });
  ASSERT_TRUE(probe.waitFor([&] { return probe.cycles_done >= 3; }));
  EXPECT_TRUE(worker.isRunning());
  EXPECT_TRUE(worker.stop(1000));
  EXPECT_EQ(probe.inits_done, 1);
}

TEST(PeriodicThread_Start, QuickInitWithTimeout_ReturnsTrueAfterInitOnWorkerThread) {
  Probe probe;
  ProbeWorker worker(probe, 1);
  ASSERT_TRUE(worker.start(1000));
  {
    std::lock_guard<std::mutex> lock(probe.m);
    EXPECT_EQ(probe.inits_done, 1);  // running implies initMethod returned
  }
  ASSERT_TRUE(probe.waitFor([&] { return probe.cycles_done >= 2; }));
  EXPECT_TRUE(worker.stop(1000));
  EXPECT_NE(probe.worker_id, std::this_thread::get_id());
}

TEST(PeriodicThread_Start, InitLongerThanTimeout_ReturnsFalseAndThreadGoesOn) {
  Probe probe;
  probe.init = Probe::Init::HoldUntilReleased;
  ProbeWorker worker(probe, 1);
  EXPECT_FALSE(worker.start(3));

  probe.set([&] { probe.init_released = true; });
  ASSERT_TRUE(probe.waitFor([&] { return probe.cycles_done >= 2; }));
  EXPECT_TRUE(worker.stop(1000));
}

TEST(PeriodicThread_Stop, CycleOutlastsTimeout_ReturnsFalseThenLaterStopJoins) {
  Probe probe;
  probe.hold_cycles = true;
  ProbeWorker worker(probe, 1);
  ASSERT_TRUE(worker.start(1000));
  ASSERT_TRUE(probe.waitFor([&] { return probe.cycles_started == 1; }));

  EXPECT_FALSE(worker.stop(0));
  EXPECT_FALSE(worker.stop(3));
  expectState(worker, {true, true, true}, "Stopping, not joined");

  probe.set([&] { probe.hold_cycles = false; });
  EXPECT_TRUE(worker.stop(1000));
  EXPECT_FALSE(worker.holdsThread());
  // The held cycle finished; no cycle began after the stop request.
  EXPECT_EQ(probe.cycles_started, 1);
  EXPECT_EQ(probe.cycles_done, 1);
}

TEST(PeriodicThread_Stop, RequestedDuringInit_InitCompletesAndNoCycleRuns) {
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

TEST(PeriodicThread_Stop, NeverStarted_ReturnsTrueAtOnce) {
  Probe probe;
  ProbeWorker worker(probe, 5);
  EXPECT_TRUE(worker.stop(0));
  EXPECT_TRUE(worker.stop(1000));
  EXPECT_EQ(probe.inits_started, 0);
}

TEST(PeriodicThread_Restart, AfterSuccessfulStop_InitsAndCyclesAgain) {
  Probe probe;
  ProbeWorker worker(probe, 0);
  ASSERT_TRUE(worker.start(1000));
  ASSERT_TRUE(probe.waitFor([&] { return probe.cycles_done >= 2; }));
  ASSERT_TRUE(worker.stop(1000));
  const int cycles_first_run = probe.cyclesStarted();

  ASSERT_TRUE(worker.start(1000));
  expectState(worker, {false, true, true}, "Cycling again");
  ASSERT_TRUE(probe.waitFor([&] { return probe.cycles_done >= cycles_first_run + 2; }));
  EXPECT_TRUE(worker.stop(1000));
  EXPECT_EQ(probe.inits_done, 2);
}

TEST(PeriodicThread_Period, Negative_CountsAsZeroAndCyclesBackToBack) {
  Probe probe;
  ProbeWorker worker(probe, -5);
  ASSERT_TRUE(worker.start(1000));
  ASSERT_TRUE(probe.waitFor([&] { return probe.cycles_done >= 50; }));
  EXPECT_TRUE(worker.stop(1000));
}

TEST(PeriodicThread_HeldThread, StartWhileCycling_RefusedAndThreadUndisturbed) {
  Probe probe;
  ProbeWorker worker(probe, 1);
  ASSERT_TRUE(worker.start(1000));
  ASSERT_TRUE(probe.waitFor([&] { return probe.cycles_done >= 1; }));

  EXPECT_FALSE(worker.start(1000));
  expectState(worker, {false, true, true}, "still cycling");
  const int seen = probe.cyclesStarted();
  ASSERT_TRUE(probe.waitFor([&] { return probe.cycles_done >= seen + 2; }));
  EXPECT_TRUE(worker.stop(1000));
  EXPECT_EQ(probe.inits_started, 1);
}

TEST(PeriodicThread_HeldThread, StartWhileFinishedNotJoined_RefusedUntilStopJoins) {
  Probe probe;
  probe.hold_cycles = true;
  ProbeWorker worker(probe, 1);
  ASSERT_TRUE(worker.start(1000));
  ASSERT_TRUE(probe.waitFor([&] { return probe.cycles_started == 1; }));
  ASSERT_FALSE(worker.stop(0));
  probe.set([&] { probe.hold_cycles = false; });
  ASSERT_TRUE(pollUntil([&] { return !worker.isRunning(); }));

  EXPECT_FALSE(worker.start(100));
  expectState(worker, {true, false, true}, "Finished, not joined");
  EXPECT_EQ(probe.inits_started, 1);

  EXPECT_TRUE(worker.stop(0));
  EXPECT_TRUE(worker.start(1000));
  EXPECT_TRUE(worker.stop(1000));
  EXPECT_EQ(probe.inits_started, 2);
}

TEST(PeriodicThread_HeldThread, DestroyedWhileCycling_StopRequestedAndJoined) {
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

TEST(PeriodicThread_HeldThread, DestroyedFinishedNotJoined_BaseDestructorJoins) {
  Probe probe;
  probe.hold_cycles = true;
  auto worker = std::make_unique<BareWorker>(probe, 1);
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
