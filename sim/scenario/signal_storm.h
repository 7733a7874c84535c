// SignalStorm: the signals fault. For a set time it sends SIGUSR1 to this
// process at 1 kHz, each signal to the next of the process's threads in turn
// (the device's workers, the interpreter, the clock, the recorder), so that
// every blocking call anywhere may see EINTR. The handler is installed with
// sigaction without SA_RESTART and only counts (async-signal-safe); it stays
// installed for the rest of the process, so that a signal still pending when
// the storm ends is handled rather than ending the process.
//
// Threads: start() and stop() from one owner; counts from any thread. The
// storm's own thread blocks SIGUSR1.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

namespace vorel_sim {

class SignalStorm {
 public:
  static constexpr int kRateHz = 1000;

  SignalStorm() = default;
  ~SignalStorm();
  SignalStorm(const SignalStorm&) = delete;
  SignalStorm& operator=(const SignalStorm&) = delete;

  // Installs the handler and starts sending for `seconds`; does nothing while
  // a storm runs.
  void start(double seconds);
  // Ends the storm early (if it still runs) and joins its thread.
  void stop();

  std::uint64_t sent() const { return sent_.load(); }
  // Signals the handler ran for (process-wide, since the first storm).
  static std::uint64_t handled();

 private:
  void run(double seconds);

  std::atomic<bool> stop_{false};
  std::atomic<std::uint64_t> sent_{0};
  std::thread thread_;
};

}  // namespace vorel_sim
