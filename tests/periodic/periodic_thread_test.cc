// PeriodicThread with real threads. The worker reports to a probe of atomics
// owned by the test and waits at gates the test opens; every wait polls a
// condition with a 10 s guard that fails the test instead of hanging it. The
// real-time fallback runs in a child process that has given up its
// privileges; the granted priority (SCHED_FIFO read back by the thread) and a
// thread left with normal scheduling are checked by the device's activation
// tests with the priority argument.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "periodic/periodic_thread.h"
#include "tests/support/console_capture.h"
#include "tests/support/poll_until.h"

namespace {

using tmvz_periodic_thread::PeriodicThread;

struct Probe {
  std::atomic<bool> hold_init{false};    // initMethod waits until cleared or a stop is requested
  std::atomic<bool> hold_cycles{false};  // each cycle waits until cleared
  std::atomic<bool> cycles_wait_for_stop{false};  // then until the stop is requested
  std::atomic<int> inits_started{0}, inits_done{0}, cycles_started{0}, cycles_done{0};
  std::atomic<int> cycles_that_saw_stop{0};
  std::atomic<std::thread::id> worker_id{};
};

// With `join_in_destructor` it stops and joins in its own destructor, as a
// worker whose cycle uses its members should; without, the base destructor
// alone joins.
class ProbeWorker : public PeriodicThread {
 public:
  ProbeWorker(Probe& probe, int period_ms, bool join_in_destructor = true)
      : PeriodicThread(period_ms), probe_(probe), join_in_destructor_(join_in_destructor) {}
  ~ProbeWorker() override {
    if (join_in_destructor_)
      stopAndJoin();
  }
  void initMethod() override {
    ++probe_.inits_started;
    vorel_test::pollUntil([&] { return !probe_.hold_init || stopRequested(); });
    ++probe_.inits_done;
  }
  void cycleMethod() override {
    probe_.worker_id = std::this_thread::get_id();
    ++probe_.cycles_started;
    vorel_test::pollUntil([&] { return !probe_.hold_cycles; });
    // A long cycle that ends itself early once the stop is requested.
    if (probe_.cycles_wait_for_stop && vorel_test::pollUntil([&] { return stop_requested.load(); }))
      ++probe_.cycles_that_saw_stop;
    ++probe_.cycles_done;
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
  probe.hold_init = true;
  probe.hold_cycles = true;
  ProbeWorker worker(probe, 1);
  expectState(worker, {true, false, false}, "Created");
  EXPECT_TRUE(worker.stop(0));  // never started: true at once

  EXPECT_FALSE(worker.start(0));  // initMethod is held: no wait, not yet in the loop
  ASSERT_TRUE(vorel_test::pollUntil([&] { return probe.inits_started == 1; }));
  expectState(worker, {false, false, true}, "Initialising");

  probe.hold_init = false;
  ASSERT_TRUE(vorel_test::pollUntil([&] { return probe.cycles_started == 1; }));
  expectState(worker, {false, true, true}, "Cycling");
  EXPECT_NE(probe.worker_id.load(), std::this_thread::get_id());

  EXPECT_FALSE(worker.stop(0));
  EXPECT_FALSE(worker.stop(3));  // the held cycle outlasts the time-out
  expectState(worker, {true, true, true}, "Stopping");

  probe.hold_cycles = false;
  ASSERT_TRUE(vorel_test::pollUntil([&] { return !worker.isRunning(); }));
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
  ASSERT_TRUE(vorel_test::pollUntil([&] { return probe.cycles_done >= 2; }));
  ASSERT_TRUE(worker.stop(1000));

  ASSERT_TRUE(worker.start(1000));
  EXPECT_EQ(probe.inits_done, 2);  // running implies initMethod returned
  EXPECT_FALSE(worker.start(1000));
  expectState(worker, {false, true, true}, "still cycling");
  const int seen = probe.cycles_done;
  ASSERT_TRUE(vorel_test::pollUntil([&] { return probe.cycles_done >= seen + 2; }));
  EXPECT_TRUE(worker.stop(1000));
  EXPECT_EQ(probe.inits_started, 2);
}

TEST(PeriodicThread, StopRequestedDuringInit_InitCompletesAndNoCycleRuns) {
  Probe probe;
  probe.hold_init = true;
  ProbeWorker worker(probe, 0);
  EXPECT_FALSE(worker.start(0));
  ASSERT_TRUE(vorel_test::pollUntil([&] { return probe.inits_started == 1; }));
  EXPECT_TRUE(worker.stop(1000));
  EXPECT_FALSE(worker.holdsThread());
  EXPECT_EQ(probe.inits_done, 1);
  EXPECT_EQ(probe.cycles_started, 0);
}

TEST(PeriodicThread, NegativePeriod_CountsAsZeroAndCyclesBackToBack) {
  Probe probe;
  ProbeWorker worker(probe, -5);
  ASSERT_TRUE(worker.start(1000));
  ASSERT_TRUE(vorel_test::pollUntil([&] { return probe.cycles_done >= 50; }));
  EXPECT_TRUE(worker.stop(1000));
}

TEST(PeriodicThread, DestroyedWhileCycling_StopRequestedAndJoined) {
  Probe probe;
  probe.cycles_wait_for_stop = true;
  auto worker = std::make_unique<ProbeWorker>(probe, 1);
  ASSERT_TRUE(worker->start(1000));
  ASSERT_TRUE(vorel_test::pollUntil([&] { return probe.cycles_started == 1; }));
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
  ASSERT_TRUE(vorel_test::pollUntil([&] { return probe.cycles_started == 1; }));
  ASSERT_FALSE(worker->stop(0));
  probe.hold_cycles = false;
  ASSERT_TRUE(vorel_test::pollUntil([&] { return !worker->isRunning(); }));
  ASSERT_TRUE(worker->holdsThread());
  worker.reset();  // a held std::thread destroyed unjoined would terminate
  EXPECT_EQ(probe.cycles_done, 1);
}

// Exit codes of the child below.
enum ChildExit { kFallbackOk = 0, kCannotDrop = 3, kStillFifo = 4, kWrongResult = 5 };

// In a child process without privileges (rtprio limit 0, and as root also
// user nobody): the request is refused, the thread runs with normal
// scheduling and cycles, and one INFO line says so.
int refusedInChild() {
  const rlimit none{0, 0};
  if (setrlimit(RLIMIT_RTPRIO, &none) != 0 ||
      (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)))
    return kCannotDrop;
  vorel_test::ConsoleCapture console;
  Probe probe;
  ProbeWorker thread(probe, 1);
  thread.setRealtimePriority(40, "Test worker");
  if (!thread.start(1000))
    return kWrongResult;
  if (thread.schedulingPolicy() == SCHED_FIFO)
    return kStillFifo;
  const bool ok = console.lines() ==
                      std::vector<std::string>{
                          "[INFO] Test worker: real-time priority 40 (SCHED_FIFO) "
                          "not permitted (Operation not permitted); the thread "
                          "runs with normal scheduling"} &&
                  thread.schedulingPolicy() == SCHED_OTHER &&
                  vorel_test::pollUntil([&] { return probe.cycles_done >= 3; });
  thread.stop(1000);
  return ok ? kFallbackOk : kWrongResult;
}

TEST(PeriodicThread, NotPermitted_InfoLineAndNormalSchedulingThreadRuns) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0)
    _exit(refusedInChild());
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == kCannotDrop)
    GTEST_SKIP() << "the child could not give up its privileges";
  if (WEXITSTATUS(status) == kStillFifo)
    GTEST_SKIP() << "SCHED_FIFO is granted even without privileges here";
  EXPECT_EQ(WEXITSTATUS(status), kFallbackOk);
}

// A real-time worker whose cycle and pause take no time still sleeps out the
// shortest real-time cycle after each cycle, so that a controller whose
// synchronisation returns at once cannot make it spin: 100 cycles cannot
// pass in less than 100 minimum cycles. (A lower bound that holds on any
// machine, however loaded.)
TEST(PeriodicThread, RealtimeCyclesThatTakeNoTime_NeverShorterThanTheMinimumCycle) {
  constexpr int kCycles = 100;
  struct InstantWorker : PeriodicThread {
    InstantWorker() : PeriodicThread(0) {}
    ~InstantWorker() override { stopAndJoin(); }
    void initMethod() override {}
    void cycleMethod() override {
      const auto now = std::chrono::steady_clock::now();
      if (cycles.load() == 0)
        first = now;
      if (cycles.load() == kCycles)
        last = now;
      ++cycles;  // publishes first and last to the test thread
    }
    std::atomic<int> cycles{0};
    std::chrono::steady_clock::time_point first, last;
  };
  InstantWorker worker;
  worker.setRealtimePriority(40, "Instant worker");
  ASSERT_TRUE(worker.start(1000));
  ASSERT_TRUE(vorel_test::pollUntil([&] { return worker.cycles.load() > kCycles; }));
  worker.stop(1000);
  const auto elapsed = worker.last - worker.first;
  EXPECT_GE(elapsed, kCycles * std::chrono::microseconds(PeriodicThread::kRealtimeMinCycleUs))
      << std::chrono::duration<double, std::micro>(elapsed).count() << " us";
}

}  // namespace
