// FilterChain: the force-control thread's chain of named user filters.
//
// Robot programs add, replace and remove filters by name (FilterOptions
// requests handed over through shared memory); the force-control cycle
// applies the chain to each axis of every wrench, in the order in which the
// filters were added, before the system filter.
//
// Held as `filters` (name -> owned filter) and `filter_order` (the order of
// application, by name); the two always hold the same names, each once, and
// a replaced filter moves to the end. A key is the request's `name` up to its
// first NUL byte, or all 40 bytes when the field holds none; it is compared
// byte for byte, and any string is a key ("all" too, which is special only
// for removal).
//
// The chain owns its filters exclusively and destroys them through Filter's
// virtual destructor when they are replaced or removed, or with the chain. A
// new filter starts with zero history; the others keep theirs.
//
// Bad requests end the process, as the operator must fix the robot program:
// a type code outside 1 to 4 prints "Unknown filter type, shutting down" on
// standard output and exits with status -1; a frequency out of range shows
// the filter's error dialog and exits with status -1. The chain is not
// touched in either case.
//
// Threads: used by the force-control thread only; no locks. apply()
// allocates nothing and looks nothing up by name: it walks a vector of
// pointers rebuilt whenever the chain changes.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "filters/filters.h"

namespace vorel_device {

class FilterChain {
 public:
  FilterChain() = default;
  FilterChain(const FilterChain&) = delete;
  FilterChain& operator=(const FilterChain&) = delete;

  // The chain key of a request: `name` up to its first NUL byte, at most 40
  // characters.
  static std::string keyOf(const FilterOptions& options);

  // Creates the filter the request describes (type 1 LowPassFilter, 2
  // NotchFilter, 3 RateLimiter, 4 HighPassRateLimiter) with `sampling_rate`
  // in Hz, and puts it at the end of the chain under its key, replacing a
  // filter of the same key.
  void add(const FilterOptions& options, double sampling_rate);

  // Removes the filter named by the request; "all" removes every filter,
  // silently. An unknown name prints "No filter such filter found, doing
  // nothing" on standard output and changes nothing. Only `name` is read.
  void remove(const FilterOptions& options);

  // Passes one axis value through the chain in order: a high-pass rate
  // limiter (type 4) gets filter(x, reference, axis), every other filter
  // filter(x, axis). `reference` in the unit of `sample`; axis 0 to 5.
  double apply(double sample, double reference, int axis) {
    for (const Stage& stage : stages) {
      sample = stage.two_input ? stage.filter->filter(sample, reference, axis)
                               : stage.filter->filter(sample, axis);
    }
    return sample;
  }

  bool empty() const { return filter_order.empty(); }
  std::size_t size() const { return filter_order.size(); }
  // Names in the order of application.
  const std::vector<std::string>& order() const { return filter_order; }
  // The filter stored under `key`, or nullptr.
  Filter* find(const std::string& key) const;

 private:
  struct Stage {
    Filter* filter;
    bool two_input;  // type 4: takes the reference
  };

  // Creates the filter of a request; exits on an unknown type code.
  static std::unique_ptr<Filter> create(const FilterOptions& options, double sampling_rate);
  // Rebuilds `stages` from filter_order and filters.
  void rebuildStages();

  std::map<std::string, std::unique_ptr<Filter>> filters;
  std::vector<std::string> filter_order;
  // filter_order resolved to pointers into filters, for apply().
  std::vector<Stage> stages;
};

}  // namespace vorel_device
