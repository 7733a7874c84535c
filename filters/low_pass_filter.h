// LowPassFilter: first-order low-pass, one independent state per axis.
//
//   y[n] = a0 * x[n] + a1 * x[n-1] + b1 * y[n-1]      (a1 is always 0)
//   w    = 2 pi * cutoff_frequency / sampling_rate
//   a0   = w / (w + 1),   b1 = 1 - a0
//
// Gain 1 for a constant input. x and y are in the units of the signal (N or
// N m for a wrench). A cut-off of 0 Hz gives a0 = 0: the output stays at its
// last value (0 from rest).
//
// The constructors accept a cut-off in [0, 0.5 * sampling_rate] Hz; anything
// else, NaN included, shows the "Low-Pass Filter Error" dialog and ends the
// process with exit status -1. updateParams changes the cut-off without that
// check and keeps the history; clearHistory keeps the parameters.
#pragma once

#include "filters/filter.h"
#include "filters/filter_options.h"

namespace vorel_device {

class LowPassFilter : public Filter {
 public:
  // `cutoff_frequency` and `sampling_rate` in Hz.
  LowPassFilter(double cutoff_frequency, double sampling_rate);
  // Reads only `options.cutoff_frequency`.
  LowPassFilter(const FilterOptions& options, double sampling_rate);

  // New cut-off in Hz; coefficients recomputed, history kept, no range check.
  void updateParams(double cutoff_frequency);
  // a0, a1, b1 from the stored cut-off and sampling rate.
  void computeInternalParams();

  using Filter::filter;
  double filter(double sample, int axis) override;
  Wrench filter(Wrench sample) override;
  int type() override { return kLowPassFilter; }
  void clearHistory() override;

  double getCutoffFrequency() const { return cutoff_frequency; }
  double getSamplingRate() const { return sampling_rate; }
  double getA0() const { return a0; }
  double getA1() const { return a1; }
  double getB1() const { return b1; }

 private:
  double cutoff_frequency;  // Hz
  double sampling_rate;     // Hz
  double a0;                // weight of the current input
  double a1;                // weight of the previous input; always 0
  double b1;                // weight of the previous output
  double x_prev[6];         // previous input per axis
  double y_prev[6];         // previous output per axis
};

}  // namespace vorel_device
