#include "filters/filter.h"

namespace vorel_device {

double Filter::filter(double sample, int /*axis*/) {
  return sample;
}

Wrench Filter::filter(Wrench sample, Wrench /*reference*/) {
  return sample;
}

double Filter::filter(double sample, double /*reference*/, int /*axis*/) {
  return sample;
}

Wrench Filter::filterEachAxis(const Wrench& sample) {
  Wrench result;
  for (int axis = 0; axis < 6; ++axis) {
    result[axis] = filter(sample[axis], axis);
  }
  return result;
}

}  // namespace vorel_device
