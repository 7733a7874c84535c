// RateLimiter: bounds how fast each axis may change from one sample to the next.
//
//   upper = y[n-1] + sample_time * rising_rate
//   lower = y[n-1] + falling_rate * sample_time
//   y[n]  = min(max(x[n], lower), upper)
//
// rising_rate and falling_rate in signal units per second (N/s or N m/s for a
// wrench); falling_rate is negative to limit a fall. sample_time =
// 1 / sampling_rate in s. When lower exceeds upper (falling rate above the
// rising rate) the output is upper whatever the input.
//
// NaN: a comparison with NaN never clamps, so a NaN sample gives a NaN output;
// the next sample then passes unlimited (its bounds are NaN) and limiting
// resumes from it.
#pragma once

#include "filters/filter.h"
#include "filters/filter_options.h"

namespace vorel_device {

// Any parameters are accepted, nothing is reported. updateParams changes the
// two rates and keeps sample_time and the history; clearHistory keeps the
// parameters.
class RateLimiter : public Filter {
 public:
  // Rates in units per second, `sampling_rate` in Hz.
  RateLimiter(double rising_rate, double falling_rate, double sampling_rate);
  // Reads only `options.rising_rate` and `options.falling_rate`.
  RateLimiter(const FilterOptions& options, double sampling_rate);

  // New rates in units per second; sample_time and history kept.
  void updateParams(double rising_rate, double falling_rate);
  // sample_time = 1 / sampling_rate.
  void computeInternalParams();

  using Filter::filter;
  double filter(double sample, int axis) override;
  Wrench filter(Wrench sample) override;
  int type() override { return kRateLimiter; }
  void clearHistory() override;

  double getRisingRate() const { return rising_rate; }
  double getFallingRate() const { return falling_rate; }
  double getSampleTime() const { return sample_time; }
  double getSamplingRate() const { return sampling_rate; }

 private:
  double rising_rate;    // largest increase, units per second
  double falling_rate;   // bound on the change downwards, units per second
  double sample_time;    // s
  double sampling_rate;  // Hz
  double y_prev[6];      // previous output per axis
};

}  // namespace vorel_device
