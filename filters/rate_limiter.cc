#include "filters/rate_limiter.h"

namespace vorel_device {

RateLimiter::RateLimiter(double rising_rate, double falling_rate, double sampling_rate)
    : rising_rate(rising_rate),
      falling_rate(falling_rate),
      sample_time(0.0),
      sampling_rate(sampling_rate),
      y_prev{} {
  computeInternalParams();
}

RateLimiter::RateLimiter(const FilterOptions& options, double sampling_rate)
    : RateLimiter(options.rising_rate, options.falling_rate, sampling_rate) {}

void RateLimiter::updateParams(double rising_rate, double falling_rate) {
  this->rising_rate = rising_rate;
  this->falling_rate = falling_rate;
}

void RateLimiter::computeInternalParams() {
  sample_time = 1.0 / sampling_rate;
}

double RateLimiter::filter(double sample, int axis) {
  const double upper = y_prev[axis] + sample_time * rising_rate;
  const double lower = y_prev[axis] + falling_rate * sample_time;
  // Both comparisons are false when a NaN is involved: the sample then passes.
  const double raised = (sample < lower) ? lower : sample;
  const double y = (upper < raised) ? upper : raised;
  y_prev[axis] = y;
  return y;
}

Wrench RateLimiter::filter(Wrench sample) {
  return filterEachAxis(sample);
}

void RateLimiter::clearHistory() {
  for (int axis = 0; axis < 6; ++axis) {
    y_prev[axis] = 0.0;
  }
}

}  // namespace vorel_device
