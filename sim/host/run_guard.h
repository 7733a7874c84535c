// RunGuard: ends a robot program from outside, as a host does: when the
// program has run for --duration seconds of controller time, or on Ctrl-C
// (SIGINT) or SIGTERM, it sets the abort flag that the program runner checks
// and calls `terminate` (which publishes ProgramTerminated, so that a
// moveToContact in progress returns). A second signal ends the process at
// once with status 130.
//
// The two signals must be blocked in every thread (blockSignals() at the
// start of main, before any thread exists); the guard's thread takes them
// with sigtimedwait.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

namespace vorel_sim {

class RunGuard {
 public:
  enum class Reason { None, Duration, Signal };

  // Blocks SIGINT and SIGTERM in the calling thread (and in threads it
  // creates later).
  static void blockSignals();

  // `clock`: controller time, s. `duration_s`: empty for no cap.
  RunGuard(std::function<double()> clock, std::optional<double> duration_s,
           std::function<void()> terminate);
  ~RunGuard();
  RunGuard(const RunGuard&) = delete;
  RunGuard& operator=(const RunGuard&) = delete;

  // Starts watching; the duration counts from now.
  void start();
  void stop();

  const std::atomic<bool>& abortFlag() const { return abort_; }
  Reason reason() const { return reason_.load(); }

 private:
  void run();
  void trigger(Reason reason);

  std::function<double()> clock_;
  std::optional<double> duration_s_;
  std::function<void()> terminate_;
  double start_s_ = 0.0;
  std::atomic<bool> abort_{false};
  std::atomic<Reason> reason_{Reason::None};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace vorel_sim
