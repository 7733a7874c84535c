// NotchFilter: second-order notch (band-reject), one independent state per axis.
//
//   y[n] = a0 x[n] + a1 x[n-1] + a2 x[n-2] + b1 y[n-1] + b2 y[n-2]
//   c  = cos(2 pi * reject_frequency / sampling_rate)
//   R  = 1 - 3 * bandwidth / sampling_rate       (pole radius; sets the width)
//   b1 = 2 R c,   b2 = -R^2
//   K  = (1 - b1 + R^2) / (2 - 2c),   a0 = a2 = K,   a1 = -2 K c
//
// Gain 0 at reject_frequency, 1 for a constant input (a0 + a1 + a2 =
// 1 - b1 - b2). reject_frequency and bandwidth in Hz; x and y in the units of
// the signal (N or N m for a wrench).
#pragma once

#include "filters/filter.h"
#include "filters/filter_options.h"

namespace vorel_device {

// When 2 - 2c is 0 (a reject frequency of 0 Hz) there is no notch to place:
// the filter then passes its input unchanged, keeping its history as that of
// an identity filter, and says so once per filter object on standard output
// (unless built with `report_pass_through` false: the force-control thread's
// filter chain writes that line through its own queue instead).
//
// The constructors accept a reject frequency in [0, 0.5 * sampling_rate] Hz;
// anything else, NaN included, shows the "Notch Filter Error" dialog and ends
// the process with exit status -1. No range applies to the bandwidth.
// updateParams changes both frequencies without that check and keeps the
// history; clearHistory keeps the parameters.
class NotchFilter : public Filter {
 public:
  // `reject_frequency`, `bandwidth` and `sampling_rate` in Hz.
  NotchFilter(double reject_frequency, double bandwidth, double sampling_rate,
              bool report_pass_through = true);
  // Reads only `options.reject_frequency` and `options.bandwidth`.
  NotchFilter(const FilterOptions& options, double sampling_rate, bool report_pass_through = true);

  // New reject frequency and bandwidth in Hz; coefficients recomputed, history
  // kept, no range check.
  void updateParams(double reject_frequency, double bandwidth);
  // a0, a1, a2, b1, b2 from the stored frequencies and sampling rate.
  void computeInternalParams();

  using Filter::filter;
  double filter(double sample, int axis) override;
  Wrench filter(Wrench sample) override;
  int type() override { return kNotchFilter; }
  void clearHistory() override;

  double getRejectFrequency() const { return reject_frequency; }
  double getBandwidth() const { return bandwidth; }
  double getSamplingRate() const { return sampling_rate; }
  double getA0() const { return a0; }
  double getA1() const { return a1; }
  double getA2() const { return a2; }
  double getB1() const { return b1; }
  double getB2() const { return b2; }
  // True while the filter passes its input unchanged (no notch to place).
  bool isPassThrough() const { return pass_through; }

 private:
  double reject_frequency;  // Hz
  double bandwidth;         // Hz
  double sampling_rate;     // Hz
  double a0, a1, a2;        // weights of the input now, one and two samples back
  double b1, b2;            // weights of the output one and two samples back
  double x1[6], x2[6];      // input one and two samples back, per axis
  double y1[6], y2[6];      // output one and two samples back, per axis
  bool pass_through;        // 2 - 2c is 0: output = input
  bool pass_through_reported;
};

}  // namespace vorel_device
