// PeriodicThread: the fixed-pause worker thread from which the sensor reader,
// the command facade and the force-control thread derive.
//
// On start the worker thread calls initMethod() once, then cycleMethod() again
// and again, sleeping period_ms milliseconds (usleep) after every cycle, until
// a stop is requested. The stop flag is tested only before each cycle, after
// the sleep that follows the previous one: a cycle or its sleep is never
// interrupted (a cycle may end itself early by reading stop_requested), and a
// stop requested before or during initMethod() yields no cycle at all. The
// runtime reads no clock, sets no scheduling policy, priority or affinity, and
// does not compensate for the time a cycle takes: cycles start every
// (cycle duration + period_ms + wake-up latency).
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
// cycleMethod(). The two share only the two atomic flags (sequentially
// consistent stores, plain loads); the loop allocates nothing and takes no
// lock. initMethod() and cycleMethod() must not let an exception escape.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

namespace tmvz_periodic_thread {

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

  // The running or finished thread; empty until start().
  std::thread worker;
  // True from the return of initMethod() until the loop has ended.
  std::atomic<bool> running;
};

}  // namespace tmvz_periodic_thread
