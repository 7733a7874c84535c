#include "filters/low_pass_filter.h"

#include <cmath>

#include "filters/frequency_range_error.h"

namespace vorel_device {

LowPassFilter::LowPassFilter(double cutoff_frequency, double sampling_rate)
    : cutoff_frequency(0.0), sampling_rate(0.0), a0(0.0), a1(0.0), b1(0.0), x_prev{}, y_prev{} {
  const double ratio = cutoff_frequency / sampling_rate;
  // Written so that a NaN ratio fails.
  if (!(ratio >= 0.0 && ratio <= 0.5)) {
    reportFrequencyRangeError("Low-Pass Filter Error",
                              frequencyRangeMessage("cut-off", cutoff_frequency, sampling_rate));
  }
  this->cutoff_frequency = cutoff_frequency;
  this->sampling_rate = sampling_rate;
  computeInternalParams();
}

LowPassFilter::LowPassFilter(const FilterOptions& options, double sampling_rate)
    : LowPassFilter(options.cutoff_frequency, sampling_rate) {}

void LowPassFilter::updateParams(double cutoff_frequency) {
  this->cutoff_frequency = cutoff_frequency;
  computeInternalParams();
}

void LowPassFilter::computeInternalParams() {
  const double w = (2.0 * M_PI * cutoff_frequency) / sampling_rate;
  a0 = w / (w + 1.0);
  a1 = 0.0;
  b1 = 1.0 - a0;
}

double LowPassFilter::filter(double sample, int axis) {
  const double y = (a1 * x_prev[axis] + a0 * sample) + b1 * y_prev[axis];
  x_prev[axis] = sample;
  y_prev[axis] = y;
  return y;
}

Wrench LowPassFilter::filter(Wrench sample) {
  return filterEachAxis(sample);
}

void LowPassFilter::clearHistory() {
  for (int axis = 0; axis < 6; ++axis) {
    x_prev[axis] = 0.0;
    y_prev[axis] = 0.0;
  }
}

}  // namespace vorel_device
