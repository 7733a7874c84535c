// Helpers shared by the filter tests.
#pragma once

#include <cmath>

#include "filters/filter.h"

namespace vorel_device {
namespace filter_test {

constexpr double kPi = 3.141592653589793;

// Feeds a unit sine of `frequency` Hz at `sampling_rate` Hz to axis `axis` of
// `filter`: `settle` samples to let the transient die out, then a window of
// `window` samples that must span a whole number of periods. Returns the
// amplitude of the output's component at `frequency`, measured by projecting
// the window onto sine and cosine (a one-bin DFT), so that the result does not
// depend on where the samples fall on the wave.
inline double steadyStateGain(Filter& filter, double frequency, double sampling_rate, int axis,
                              int settle = 2000, int window = 100) {
  const double omega = 2.0 * kPi * frequency / sampling_rate;
  for (int n = 0; n < settle; ++n) {
    filter.filter(std::sin(omega * n), axis);
  }
  double in_phase = 0.0;
  double quadrature = 0.0;
  for (int n = settle; n < settle + window; ++n) {
    const double y = filter.filter(std::sin(omega * n), axis);
    in_phase += y * std::sin(omega * n);
    quadrature += y * std::cos(omega * n);
  }
  return 2.0 / window * std::hypot(in_phase, quadrature);
}

// A varied wrench for sample n: different values on every axis and sample.
inline Wrench variedWrench(int n) {
  Wrench w;
  for (int axis = 0; axis < 6; ++axis) {
    w[axis] = 10.0 * std::sin(0.37 * n + axis) + 3.0 * axis - 0.5 * n;
  }
  return w;
}

}  // namespace filter_test
}  // namespace vorel_device
