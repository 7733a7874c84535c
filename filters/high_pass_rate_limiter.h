// HighPassRateLimiter: rate-limits the fast part of a signal's deviation from a
// per-axis reference, and lets the slow part through.
//
//   e[n] = x[n] - r[n]                     deviation from the reference
//   s[n] = low_pass(e[n])                  slow part (LowPassFilter)
//   f[n] = rate_limiter(e[n] - s[n])       fast rest, rate-limited (RateLimiter)
//   y[n] = (s[n] + f[n]) + r[n]
//
// cutoff_frequency in Hz; rising_rate and falling_rate in signal units per
// second (N/s or N m/s for a wrench), falling_rate negative to limit a fall;
// sampling_rate in Hz. The inner filters hold all per-axis state. The force-
// control thread uses one as its system filter (50 Hz, 50 and -50 per second).
#pragma once

#include "filters/filter.h"
#include "filters/filter_options.h"
#include "filters/low_pass_filter.h"
#include "filters/rate_limiter.h"

namespace vorel_device {

// The constructors check the cut-off as LowPassFilter does: outside
// [0, 0.5 * sampling_rate] Hz the "Low-Pass Filter Error" dialog is shown and
// the process ends with exit status -1. updateParams changes the three
// parameters of the inner filters without that check and keeps their
// history; clearHistory keeps the parameters.
//
// Only the two-input forms exist: the single-input forms write
// "Not Implemented" to standard error and end the process with exit status -1.
// Not copyable; the inner filters are held by value (construction allocates
// nothing).
class HighPassRateLimiter : public Filter {
 public:
  // `cutoff_frequency` and `sampling_rate` in Hz, rates in units per second.
  HighPassRateLimiter(double cutoff_frequency, double rising_rate, double falling_rate,
                      double sampling_rate);
  // Reads only `options.cutoff_frequency`, `rising_rate` and `falling_rate`.
  HighPassRateLimiter(const FilterOptions& options, double sampling_rate);

  HighPassRateLimiter(const HighPassRateLimiter&) = delete;
  HighPassRateLimiter& operator=(const HighPassRateLimiter&) = delete;

  // New cut-off (Hz, no range check) and rates (units per second) for the
  // inner filters; their history is kept.
  void updateParams(double cutoff_frequency, double rising_rate, double falling_rate);

  // Sample and reference of one axis, in the same units.
  double filter(double sample, double reference, int axis) override;
  // Sample and reference wrench: filter(sample[a], reference[a], a) for axis
  // 0 to 5 in order, called through the virtual operation.
  Wrench filter(Wrench sample, Wrench reference) override;
  // Not provided: "Not Implemented" on standard error, exit status -1.
  [[noreturn]] double filter(double sample, int axis) override;
  [[noreturn]] Wrench filter(Wrench sample) override;
  int type() override { return kHighPassRateLimiter; }
  // Clears the low-pass, then the rate limiter.
  void clearHistory() override;

  double getCutoffFrequency() const { return cutoff_frequency; }
  double getRisingRate() const { return rising_rate; }
  double getFallingRate() const { return falling_rate; }
  double getSamplingRate() const { return sampling_rate; }
  const LowPassFilter& lowPass() const { return low_pass; }
  const RateLimiter& rateLimiter() const { return rate_limiter; }

 private:
  double cutoff_frequency;  // Hz, of the inner low-pass
  double rising_rate;       // units per second, of the inner rate limiter
  double falling_rate;      // units per second, of the inner rate limiter
  double sampling_rate;     // Hz
  LowPassFilter low_pass;
  RateLimiter rate_limiter;
};

}  // namespace vorel_device
