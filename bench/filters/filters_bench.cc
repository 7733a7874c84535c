// Cost of the filter steps of the force-control cycle. "ns_per_axis_sample"
// is the time of one per-axis step (one sample of one of the six axes); the
// chain benchmark also reports the time per whole wrench. "allocations" counts
// calls of operator new during the timed loop and must stay 0.
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "filters/filters.h"
#include "tests/filters/allocation_counter.h"

namespace vorel_device {
namespace {

constexpr double kSamplingRate = 500.0;  // Hz

void reportCounters(benchmark::State& state, long allocations, int axis_samples_per_iteration) {
  state.counters["ns_per_axis_sample"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * axis_samples_per_iteration,
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert, benchmark::Counter::kIs1000);
  state.counters["allocations"] = static_cast<double>(allocations);
}

// One wrench sample per iteration, each axis through the per-axis step, as
// the filter chain applies it.
void runSingleInput(benchmark::State& state, Filter& filter) {
  double x = 0.0;
  const long before = filter_test::allocationCount();
  for (auto _ : state) {
    x += 0.001;
    for (int axis = 0; axis < 6; ++axis) {
      benchmark::DoNotOptimize(filter.filter(x + axis, axis));
    }
  }
  reportCounters(state, filter_test::allocationCount() - before, 6);
}

void BM_LowPassFilter(benchmark::State& state) {
  LowPassFilter filter(50.0, kSamplingRate);
  runSingleInput(state, filter);
}
BENCHMARK(BM_LowPassFilter);

void BM_NotchFilter(benchmark::State& state) {
  NotchFilter filter(50.0, 10.0, kSamplingRate);
  runSingleInput(state, filter);
}
BENCHMARK(BM_NotchFilter);

void BM_RateLimiter(benchmark::State& state) {
  RateLimiter filter(50.0, -50.0, kSamplingRate);
  runSingleInput(state, filter);
}
BENCHMARK(BM_RateLimiter);

void BM_HighPassRateLimiter(benchmark::State& state) {
  HighPassRateLimiter filter(50.0, 50.0, -50.0, kSamplingRate);
  Filter& base = filter;
  double x = 0.0;
  const long before = filter_test::allocationCount();
  for (auto _ : state) {
    x += 0.001;
    for (int axis = 0; axis < 6; ++axis) {
      benchmark::DoNotOptimize(base.filter(x + axis, 1.0, axis));
    }
  }
  reportCounters(state, filter_test::allocationCount() - before, 6);
}
BENCHMARK(BM_HighPassRateLimiter);

// A whole wrench through a user chain of four filters (low-pass, notch, rate
// limiter, second notch) and then the high-pass rate limiter as system
// filter with a track reference: per axis, each filter in chain order, as
// the force-control cycle does it. "ns_per_axis_sample" here is per axis
// through all five filters; the benchmark time is per wrench.
void BM_ChainOfFourPlusSystemFilter(benchmark::State& state) {
  std::vector<std::unique_ptr<Filter>> chain;
  chain.push_back(std::make_unique<LowPassFilter>(100.0, kSamplingRate));
  chain.push_back(std::make_unique<NotchFilter>(50.0, 10.0, kSamplingRate));
  chain.push_back(std::make_unique<RateLimiter>(500.0, -500.0, kSamplingRate));
  chain.push_back(std::make_unique<NotchFilter>(120.0, 20.0, kSamplingRate));
  HighPassRateLimiter system_filter(50.0, 50.0, -50.0, kSamplingRate);
  Wrench sample;
  Wrench reference;
  reference[2] = -10.0;
  const long before = filter_test::allocationCount();
  for (auto _ : state) {
    Wrench out;
    for (int axis = 0; axis < 6; ++axis) {
      sample[axis] += 0.01;
      double value = sample[axis];
      for (const auto& filter : chain) {
        value = filter->filter(value, axis);
      }
      out[axis] = system_filter.filter(value, reference[axis], axis);
    }
    benchmark::DoNotOptimize(out);
  }
  reportCounters(state, filter_test::allocationCount() - before, 6);
}
BENCHMARK(BM_ChainOfFourPlusSystemFilter);

}  // namespace
}  // namespace vorel_device
