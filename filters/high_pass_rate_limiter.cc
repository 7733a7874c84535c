#include "filters/high_pass_rate_limiter.h"

#include <cstdio>
#include <cstdlib>

namespace vorel_device {

namespace {

[[noreturn]] void notImplemented() {
  std::fputs("Not Implemented\n", stderr);
  std::fflush(stderr);
  std::exit(-1);
}

}  // namespace

HighPassRateLimiter::HighPassRateLimiter(double cutoff_frequency, double rising_rate,
                                         double falling_rate, double sampling_rate)
    : cutoff_frequency(cutoff_frequency),
      rising_rate(rising_rate),
      falling_rate(falling_rate),
      sampling_rate(sampling_rate),
      low_pass(cutoff_frequency, sampling_rate),
      rate_limiter(rising_rate, falling_rate, sampling_rate) {}

HighPassRateLimiter::HighPassRateLimiter(const FilterOptions& options, double sampling_rate)
    : HighPassRateLimiter(options.cutoff_frequency, options.rising_rate, options.falling_rate,
                          sampling_rate) {}

void HighPassRateLimiter::updateParams(double cutoff_frequency, double rising_rate,
                                       double falling_rate) {
  this->cutoff_frequency = cutoff_frequency;
  low_pass.updateParams(cutoff_frequency);
  this->rising_rate = rising_rate;
  this->falling_rate = falling_rate;
  rate_limiter.updateParams(rising_rate, falling_rate);
}

double HighPassRateLimiter::filter(double sample, double reference, int axis) {
  const double deviation = sample - reference;
  const double slow = low_pass.filter(deviation, axis);
  const double fast = rate_limiter.filter(deviation - slow, axis);
  return (slow + fast) + reference;
}

Wrench HighPassRateLimiter::filter(Wrench sample, Wrench reference) {
  Wrench result;
  for (int axis = 0; axis < 6; ++axis) {
    result[axis] = filter(sample[axis], reference[axis], axis);
  }
  return result;
}

double HighPassRateLimiter::filter(double /*sample*/, int /*axis*/) {
  notImplemented();
}

Wrench HighPassRateLimiter::filter(Wrench /*sample*/) {
  notImplemented();
}

void HighPassRateLimiter::clearHistory() {
  low_pass.clearHistory();
  rate_limiter.clearHistory();
}

}  // namespace vorel_device
