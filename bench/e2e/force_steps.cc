#include "bench/e2e/force_steps.h"

namespace vorel_sim {

ForceSteps::ForceSteps(double amplitude_n, std::chrono::nanoseconds period, std::size_t capacity)
    : amplitude_n_(amplitude_n), period_(period) {
  // Written through once, so that the pages are resident before anything is
  // measured.
  events_.assign(capacity, StepEvent{-1, 0.0, 0.0});
}

vorel_device::Wrench ForceSteps::wrenchAt(Clock::time_point t) {
  vorel_device::Wrench w;
  const std::int64_t start = start_ns_.load();
  const std::int64_t now =
      std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
  double level = 0.0;
  if (start != 0 && now >= start) {
    level = ((now - start) / period_.count()) % 2 == 0 ? amplitude_n_ : -amplitude_n_;
  }
  if (level != last_level_ && level != 0.0 && last_level_ != 0.0 && recording_.load()) {
    const std::size_t i = count_.load(std::memory_order_relaxed);
    if (i < events_.size()) {
      events_[i] = StepEvent{now, last_level_, level};
      count_.store(i + 1, std::memory_order_release);
    } else {
      overflow_.fetch_add(1);
    }
  }
  last_level_ = level;
  w[2] = level;
  return w;
}

void ForceSteps::arm(Clock::time_point start) {
  const std::int64_t ns =
      std::chrono::duration_cast<std::chrono::nanoseconds>(start.time_since_epoch()).count();
  start_ns_.store(ns == 0 ? 1 : ns);
}

void ForceSteps::disarm() {
  start_ns_.store(0);
}

void ForceSteps::setRecording(bool on) {
  recording_.store(on);
}

std::vector<StepEvent> ForceSteps::recorded() const {
  const std::size_t n = count_.load(std::memory_order_acquire);
  return std::vector<StepEvent>(events_.begin(), events_.begin() + static_cast<long>(n));
}

}  // namespace vorel_sim
