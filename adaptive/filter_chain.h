// FilterChain: the force-control thread's chain of named user filters.
//
// Robot programs add, replace and remove filters by name (FilterOptions
// requests handed over through shared memory); the force-control cycle
// applies the chain to each axis of every wrench, in the order in which the
// filters were added, before the system filter.
//
// Held in fixed storage: kCapacity slots, each a key and a filter of one of
// the four classes constructed in place, and the order of application as
// slot indices. Every name is in the chain once, and a replaced filter moves
// to the end. A key is the request's `name` up to its first NUL byte, or all
// 40 bytes when the field holds none; it is compared byte for byte, and any
// string is a key ("all" too, which is special only for removal). A new
// filter starts with zero history; the others keep theirs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "filters/filters.h"

namespace vorel_device {

// Requests the chain refuses leave it unchanged and say so with an Outcome;
// line() gives the text the force-control thread writes for it on standard
// output. A type code outside 1 to 4, a cut-off (types 1 and 4) or reject
// frequency (type 2) outside [0, sampling_rate / 2] Hz or NaN, and a new
// name when kCapacity filters are in the chain are refused; so is the
// removal of a name not in the chain.
//
// Threads: used by the force-control thread only; no locks. add(), remove()
// and apply() allocate nothing, format nothing and write to no console:
// they run inside the 2 ms cycle. order() and find() are for inspection on
// other threads while the chain does not change (tests, tools) and allocate.
class FilterChain {
 public:
  // Far above any chain a robot program builds.
  static constexpr std::size_t kCapacity = 32;

  // What a request did.
  enum class Outcome : std::uint8_t {
    kNone,         // no request
    kAdded,        // a new name, at the end
    kReplaced,     // a name in the chain: new filter, moved to the end
    kRemoved,      // one filter, or every filter ("all")
    kNotFound,     // removal of a name not in the chain: nothing changed
    kUnknownType,  // type code outside 1 to 4: nothing changed
    kOutOfRange,   // frequency outside [0, sampling_rate / 2] Hz: nothing changed
    kFull,         // kCapacity filters and a new name: nothing changed
    kPassThrough,  // added or replaced: a notch at 0 Hz, which passes its input unchanged
  };

  // A chain key: `name` up to its first NUL byte, at most 40 bytes.
  struct Key {
    char bytes[FilterOptions::kNameSize] = {};
    std::size_t length = 0;
    bool operator==(const Key& other) const;
  };

  FilterChain() = default;
  FilterChain(const FilterChain&) = delete;
  FilterChain& operator=(const FilterChain&) = delete;

  static Key keyOf(const FilterOptions& options);

  // Creates the filter the request describes (type 1 LowPassFilter, 2
  // NotchFilter, 3 RateLimiter, 4 HighPassRateLimiter) with `sampling_rate`
  // in Hz, and puts it at the end of the chain under its key, replacing a
  // filter of the same key.
  Outcome add(const FilterOptions& options, double sampling_rate);

  // Removes the filter named by the request; "all" removes every filter
  // (kRemoved, also from an empty chain). Only `name` is read.
  Outcome remove(const FilterOptions& options);

  // The line written for `outcome` of `request`, into `text` (at most `size`
  // bytes with the terminating zero); false when the outcome has none.
  //   kNotFound     "No filter such filter found, doing nothing"
  //   kUnknownType  "Unknown filter type <type>: request ignored"
  //   kOutOfRange   "Filter frequency out of range for filter type <type>:
  //                  request ignored"
  //   kFull         "Filter chain full (32 filters): filter "<name>" not added"
  //                 (the force-control thread writes it as an ERROR line)
  //   kPassThrough  "Notch filter: reject frequency <f> Hz at sampling rate
  //                  <rate> Hz is a notch at 0 Hz, passing the signal unchanged"
  // `sampling_rate` (Hz) is the one the request was added with.
  static bool line(Outcome outcome, const FilterOptions& request, double sampling_rate, char* text,
                   std::size_t size);

  // Passes one axis value through the chain in order: a high-pass rate
  // limiter (type 4) gets filter(x, reference, axis), every other filter
  // filter(x, axis). `reference` in the unit of `sample`; axis 0 to 5.
  double apply(double sample, double reference, int axis) {
    for (std::size_t k = 0; k < count_; ++k) {
      const Stage& stage = stages_[k];
      sample = stage.two_input ? stage.filter->filter(sample, reference, axis)
                               : stage.filter->filter(sample, axis);
    }
    return sample;
  }

  bool empty() const { return count_ == 0; }
  std::size_t size() const { return count_; }
  // Names in the order of application.
  std::vector<std::string> order() const;
  // The filter stored under `key`, or nullptr.
  Filter* find(const std::string& key) const;

 private:
  using Held =
      std::variant<std::monostate, LowPassFilter, NotchFilter, RateLimiter, HighPassRateLimiter>;
  struct Slot {
    Key key;
    Held filter;
  };
  struct Stage {
    Filter* filter = nullptr;
    bool two_input = false;  // type 4: takes the reference
  };

  // Constructs the filter of a checked request in `slot`.
  static void construct(Slot& slot, const FilterOptions& options, double sampling_rate);
  // Position in order_ of `key`, or count_.
  std::size_t positionOf(const Key& key) const;
  // Takes the slot at `position` out of order_ and destroys its filter.
  void release(std::size_t position);
  // Rebuilds stages_ from order_.
  void rebuildStages();

  Slot slots_[kCapacity];
  std::uint8_t order_[kCapacity] = {};  // slot indices, in the order of application
  std::size_t count_ = 0;
  // order_ resolved to filters, for apply().
  Stage stages_[kCapacity];
};

}  // namespace vorel_device
