// PeriodicThread: the fixed-pause worker thread from which the sensor reader,
// the command facade and the force-control thread derive.
//
// On start the worker thread calls initMethod() once, then cycleMethod() again
// and again, sleeping period_ms milliseconds (usleep) after every cycle, until
// a stop is requested. The stop flag is tested only before each cycle, after
// the sleep that follows the previous one: a cycle or its sleep is never
// interrupted (a cycle may end itself early by reading stop_requested), and a
// stop requested before or during initMethod() yields no cycle at all. The
// runtime does not compensate for the time a cycle takes: cycles start every
// (cycle duration + period_ms + wake-up latency).
#pragma once

#include <time.h>

#include <atomic>
#include <cstdint>
#include <thread>

namespace tmvz_periodic_thread {

// Real-time scheduling (opt-in, setRealtimePriority): the worker thread asks
// for SCHED_FIFO at the given priority from inside itself, before
// initMethod(). When the system refuses (EPERM: no CAP_SYS_NICE and no
// rtprio limit that allows it) the thread runs with normal scheduling and
// one line "[INFO] <name>: real-time priority <p> (SCHED_FIFO) not
// permitted (<reason>); the thread runs with normal scheduling" goes to the
// host console; nothing else changes. Such a thread never spins: a cycle
// (with its pause) that ends less than kRealtimeMinCycleUs after it began
// is followed by a sleep up to that time, so a pacing call that returns
// without waiting (a controller that stops or fails) cannot take a core from
// the host. Without a priority the thread keeps the scheduling it inherits,
// reads no clock and never sleeps beyond its pause.
//
// Lifecycle:
//   state                        stop_requested  running  worker  left by
//   Created                      true            false    empty   start
//   Initialising (initMethod)    false           false    thread  return of initMethod
//   Cycling                      false           true     thread  stop (after cycle + sleep)
//   Stopping (last cycle/sleep)  true            true     thread  end of the loop
//   Finished, not joined         true            false    thread  stop (joins)
//   Stopped                      true            false    empty   start again
// start() while a thread is held (the middle four states) returns false and
// changes nothing; the destructor requests the stop and joins a held thread.
//
// start() and stop() wait by polling the running flag in steps of 1 ms and
// count steps, not elapsed time: the real wait can exceed the time-out by the
// sleeps' overshoot.
//
// Threads: start(), stop(), holdsThread() and the destructor are called from
// the owner's thread only; the worker thread runs initMethod() and
// cycleMethod(). The two share the two atomic flags (sequentially
// consistent stores, plain loads) and the scheduling read-back; the priority
// request is written before the thread exists. The loop allocates nothing and
// takes no lock. initMethod() and cycleMethod() must not let an exception
// escape.
class PeriodicThread {
 public:
  // Stores the pause after each cycle in ms (a negative value sleeps as 0).
  // Creates no thread.
  explicit PeriodicThread(int period_ms);

  // If the object still holds a thread (a stop that returned false, or none at
  // all), requests the stop and joins it. A subclass whose cycleMethod() uses
  // its own members calls stopAndJoin() first in its own destructor, so that
  // no cycle runs while those members are destroyed.
  virtual ~PeriodicThread();

  // Runs once on the worker thread before the first cycle.
  virtual void initMethod() = 0;
  // One cycle of work on the worker thread.
  virtual void cycleMethod() = 0;
  // On the owner's thread, when stop() has joined the worker: for work that
  // must follow the last cycle (writing the lines it left queued).
  virtual void afterStop() {}

  // Shortest cycle of a real-time thread, from the start of one cycle to the
  // start of the next, µs: a quarter of the controller's 2 ms cycle, so that a
  // thread paced by the controller never loses a tick to it.
  static constexpr long kRealtimeMinCycleUs = 500;

  // From the next start(): SCHED_FIFO at `priority` (1..99); 0 (the default)
  // leaves the thread's scheduling alone. `name` names the thread in the
  // fallback line. Owner's thread, before start().
  void setRealtimePriority(int priority, const char* name);
  int realtimePriority() const { return requested_priority; }
  // The policy and priority the thread runs with, read back by the thread
  // itself (pthread_getschedparam) after its request, before initMethod():
  // SCHED_FIFO and the priority, or SCHED_OTHER and 0 after a refusal. -1
  // until the first thread got that far.
  int schedulingPolicy() const { return running_policy.load(); }
  int schedulingPriority() const { return running_priority.load(); }
  // The worker's native handle while a thread is held (for CPU clocks).
  std::thread::native_handle_type nativeHandle() { return worker.native_handle(); }

  // Starts the worker thread and waits up to timeout_ms ms (no wait when
  // timeout_ms <= 0) for it to finish initMethod(). Returns true when the
  // thread has reached its loop at the end of the wait. A false result does
  // not stop the thread: it begins cycling as soon as initMethod() returns.
  // While the object still holds a thread (running, or finished but not yet
  // joined by a stop that returned true) it returns false and starts nothing.
  // A refused thread creation throws std::system_error.
  bool start(int timeout_ms);

  // Requests the stop and waits up to timeout_ms ms (no wait when
  // timeout_ms <= 0) for the loop to end. Returns true when the loop has ended;
  // the thread is then joined. Returns false when the thread is still in its
  // loop (its last cycle or sleep) after the wait; it is then not joined and
  // stays held until a later stop() returns true. On an object that was never
  // started it returns true at once. A stop requested while initMethod() is
  // still running joins the thread once initMethod() returns.
  bool stop(int timeout_ms);

  // State queries for the owner (and tests).
  bool stopRequested() const { return stop_requested.load(); }
  bool isRunning() const { return running.load(); }
  // True while a thread is held: from start() until a stop() that returned
  // true. Owner's thread only.
  bool holdsThread() const { return worker.joinable(); }

  PeriodicThread(const PeriodicThread&) = delete;
  PeriodicThread& operator=(const PeriodicThread&) = delete;

 protected:
  // Requests the stop and, if a thread is held, joins it (waiting as long as
  // the current cycle and its sleep take). For subclass destructors.
  void stopAndJoin();

  // True asks the loop to end; also true while no thread was ever started.
  // Subclasses may read it inside a cycle to cut a long cycle short.
  std::atomic<bool> stop_requested;
  // Pause after each call of cycleMethod(), ms. Set once by the constructor.
  std::int32_t period_ms;

 private:
  void threadBody();
  // The scheduling request and its read-back, on the worker thread.
  void applyScheduling();
  // Sleeps until kRealtimeMinCycleUs after `cycle_start` (CLOCK_MONOTONIC).
  static void sleepUntilMinCycle(const struct timespec& cycle_start);

  // The running or finished thread; empty until start().
  std::thread worker;
  // True from the return of initMethod() until the loop has ended.
  std::atomic<bool> running;
  int requested_priority = 0;  // 0: scheduling left alone
  const char* thread_name = "Periodic thread";
  std::atomic<int> running_policy{-1};
  std::atomic<int> running_priority{-1};
};

}  // namespace tmvz_periodic_thread
