// Filter: the interface of every signal filter of the force-control thread.
//
// A filter smooths the six components of a Wrench sample by sample (force x,
// y, z in N, torque x, y, z in N m, in whatever frame the caller works in),
// with a separate state per axis; the axis index 0 to 5 selects that state and
// follows the component order of Wrench. Callers pass only 0 to 5; the filters
// do not check it.
//
// Filters are owned and destroyed through Filter pointers (the force-control
// thread's filter chain), hence the virtual destructor. They are not
// thread-safe and take no locks: each filter is created and used by one
// thread. No filter step allocates or calls a trigonometric function.
#pragma once

#include "filters/wrench.h"

namespace vorel_device {

class Filter {
 public:
  virtual ~Filter() = default;

  // Filters all six axes of one sample.
  virtual Wrench filter(Wrench sample) = 0;
  // Filters one sample of one axis. The base returns `sample` unchanged.
  virtual double filter(double sample, int axis);
  // Two-input form: a sample and a per-axis reference wrench. The base returns
  // `sample` unchanged.
  virtual Wrench filter(Wrench sample, Wrench reference);
  // Two-input form for one axis. The base returns `sample` unchanged.
  virtual double filter(double sample, double reference, int axis);
  // Type code of the filter (FilterType in filters/filter_options.h).
  virtual int type() = 0;
  // Forgets all past samples of all six axes; parameters are kept.
  virtual void clearHistory() = 0;

 protected:
  Filter() = default;
  // Concrete filters may be copied; a Filter is never copied through the base.
  Filter(const Filter&) = default;
  Filter& operator=(const Filter&) = default;

  // The whole-wrench form of the single-input filters: starting from a zero
  // result, axis 0, 1, ..., 5 in this order is set to filter(sample[a], a),
  // called through the virtual operation.
  Wrench filterEachAxis(const Wrench& sample);
};

}  // namespace vorel_device
