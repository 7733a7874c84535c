#include "filters/notch_filter.h"

#include <cmath>
#include <cstdio>

#include "filters/frequency_range_error.h"

namespace vorel_device {

namespace {}  // namespace

NotchFilter::NotchFilter(double reject_frequency, double bandwidth, double sampling_rate,
                         bool report_pass_through)
    : reject_frequency(0.0),
      bandwidth(0.0),
      sampling_rate(0.0),
      a0(0.0),
      a1(0.0),
      a2(0.0),
      b1(0.0),
      b2(0.0),
      x1{},
      x2{},
      y1{},
      y2{},
      pass_through(false),
      pass_through_reported(!report_pass_through) {
  // Written so that a NaN fails.
  if (!(reject_frequency >= 0.0 && reject_frequency <= 0.5 * sampling_rate)) {
    reportFrequencyRangeError("Notch Filter Error",
                              frequencyRangeMessage("reject", reject_frequency, sampling_rate));
  }
  this->reject_frequency = reject_frequency;
  this->bandwidth = bandwidth;
  this->sampling_rate = sampling_rate;
  computeInternalParams();
  clearHistory();
}

NotchFilter::NotchFilter(const FilterOptions& options, double sampling_rate,
                         bool report_pass_through)
    : NotchFilter(options.reject_frequency, options.bandwidth, sampling_rate, report_pass_through) {
}

void NotchFilter::updateParams(double reject_frequency, double bandwidth) {
  this->reject_frequency = reject_frequency;
  this->bandwidth = bandwidth;
  computeInternalParams();
}

void NotchFilter::computeInternalParams() {
  const double c = std::cos((2.0 * M_PI * reject_frequency) / sampling_rate);
  const double r = 1.0 - (3.0 * bandwidth) / sampling_rate;
  const double denominator = 2.0 - (c + c);
  pass_through = (denominator == 0.0);
  if (pass_through) {
    // A notch at 0 Hz would need infinite weights (K = x / 0): use the
    // identity instead.
    a0 = 1.0;
    a1 = 0.0;
    a2 = 0.0;
    b1 = 0.0;
    b2 = 0.0;
    if (!pass_through_reported) {
      pass_through_reported = true;
      std::printf(
          "Notch filter: reject frequency %.2f Hz at sampling rate %.2f Hz is a notch at 0 Hz, "
          "passing the signal unchanged\n",
          reject_frequency, sampling_rate);
      std::fflush(stdout);
    }
    return;
  }
  b1 = (r + r) * c;
  b2 = -(r * r);
  const double k = ((1.0 - b1) + r * r) / denominator;
  a0 = k;
  a2 = k;
  a1 = (-2.0 * k) * c;
}

double NotchFilter::filter(double sample, int axis) {
  const double y =
      pass_through
          ? sample
          : (((a0 * sample + a1 * x1[axis]) + a2 * x2[axis]) + b1 * y1[axis]) + b2 * y2[axis];
  x2[axis] = x1[axis];
  x1[axis] = sample;
  y2[axis] = y1[axis];
  y1[axis] = y;
  return y;
}

Wrench NotchFilter::filter(Wrench sample) {
  return filterEachAxis(sample);
}

void NotchFilter::clearHistory() {
  for (int axis = 0; axis < 6; ++axis) {
    x1[axis] = 0.0;
    x2[axis] = 0.0;
    y1[axis] = 0.0;
    y2[axis] = 0.0;
  }
}

}  // namespace vorel_device
