// PeriodicThread timing: the interval between cycle starts for a given pause
// and cycle duration (cycle + pause + wake-up latency, never compensated),
// and the cost of a start(1000)/stop(1000) round trip.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "periodic/periodic_thread.h"

namespace {

using Clock = std::chrono::steady_clock;

// Each cycle busy-waits for `work` and hands its start time to the waiting
// benchmark thread.
class TimedWorker : public tmvz_periodic_thread::PeriodicThread {
 public:
  TimedWorker(int period_ms, std::chrono::microseconds work)
      : PeriodicThread(period_ms), work_(work) {}
  ~TimedWorker() override { stopAndJoin(); }

  void initMethod() override {}
  void cycleMethod() override {
    const auto start = Clock::now();
    {
      std::lock_guard<std::mutex> lock(m_);
      last_start_ = start;
      ++cycles_;
    }
    cv_.notify_all();
    while (Clock::now() - start < work_) {
    }
  }

  // Waits for the next cycle start after `seen` cycles; returns its time.
  Clock::time_point nextStart(long& seen) {
    std::unique_lock<std::mutex> lock(m_);
    cv_.wait(lock, [&] { return cycles_ > seen; });
    seen = cycles_;
    return last_start_;
  }

 private:
  std::chrono::microseconds work_;
  std::mutex m_;
  std::condition_variable cv_;
  long cycles_ = 0;
  Clock::time_point last_start_;
};

// Arguments: pause in ms, cycle duration in us. Reports the mean interval
// between cycle starts as the iteration time.
void BM_CycleInterval(benchmark::State& state) {
  TimedWorker worker(static_cast<int>(state.range(0)), std::chrono::microseconds(state.range(1)));
  worker.start(1000);
  long seen = 0;
  auto previous = worker.nextStart(seen);
  for (auto _ : state) {
    const auto now = worker.nextStart(seen);
    state.SetIterationTime(std::chrono::duration<double>(now - previous).count());
    previous = now;
  }
  worker.stop(1000);
}
BENCHMARK(BM_CycleInterval)
    ->Args({5, 0})
    ->Args({5, 2000})
    ->Args({0, 100})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(200);

class IdleWorker : public tmvz_periodic_thread::PeriodicThread {
 public:
  IdleWorker() : PeriodicThread(1) {}
  ~IdleWorker() override { stopAndJoin(); }
  void initMethod() override {}
  void cycleMethod() override {}
};

void BM_StartStopRoundTrip(benchmark::State& state) {
  IdleWorker worker;
  for (auto _ : state) {
    benchmark::DoNotOptimize(worker.start(1000));
    benchmark::DoNotOptimize(worker.stop(1000));
  }
}
BENCHMARK(BM_StartStopRoundTrip)->Unit(benchmark::kMillisecond);

}  // namespace
