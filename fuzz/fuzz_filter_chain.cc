// libFuzzer target: the force-control thread's filter chain (FilterChain)
// driven by requests built from arbitrary FilterOptions bytes, and applied
// to wrench samples in between.
//
// Input: byte 0 picks the sampling rate (500, 250 or 100 Hz); then a
// sequence of operations, each an opcode byte (taken modulo 6) and its
// operands:
//   0  add, raw:     88 bytes copied into a FilterOptions record as they are
//   1  add, folded:  88 bytes, then the type folded into 1..4, a short name
//                    ("f0".."f3") so that names collide, and every
//                    frequency folded into its accepted range, the notch
//                    bandwidth into [0, rate) and the rates into +/-1e6 per s
//   2  remove:       1 byte: 0xFF "all", else "f0".."f3"
//   3  remove, raw:  40 bytes of name field
//   4  apply:        1 byte n, then n samples of two int16 (sample, reference)
//                    scaled to +/-100000 N, each applied to all six axes
//   5  apply a non-finite sample (NaN, +inf or -inf by its byte)
// Requests the chain refuses must leave it as it was: type codes outside 1
// to 4, frequencies outside their range (low-pass and high-pass cut-off with
// cutoff / rate outside [0, 0.5], notch reject frequency outside [0, 0.5
// rate], NaN included), and a new name when the chain is full.
//
// Invariants, after every operation:
//   - the chain equals a model kept here: the same keys (the name field up
//     to its first NUL, at most 40 bytes), each once, in the order of their
//     last addition, each holding a filter of the type last added under it;
//   - no NaN or infinity comes out of the chain for finite input, as long as
//     every filter in it has bounded parameters and no non-finite sample
//     went in since the chain was last empty. Bounded parameters: the
//     accepted frequency ranges (which the filters enforce), a notch
//     bandwidth in [0, 2/3 rate] (the notch's poles, of radius
//     |1 - 3 bandwidth / rate|, stay within the unit circle), and finite
//     rates of at most 1e9 per second. Outside this domain a filter may
//     legitimately diverge and overflow (an unstable notch, rates that add
//     1e305 per sample); the target then checks only that nothing crashes.
// Crashes, sanitizer reports and time-outs fail the run as well.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "adaptive/filter_chain.h"
#include "filters/filters.h"
#include "fuzz/fuzz_check.h"

namespace {

using vorel_device::FilterChain;
using vorel_device::FilterOptions;

constexpr double kSampleScale = 100000.0 / 32768.0;  // int16 -> N
constexpr double kRateBound = 1e9;                   // per second
constexpr double kFoldedRateBound = 1e6;             // per second

// The chain key of a name field: up to the first NUL, at most 40 bytes.
std::string keyOf(const char (&name)[FilterOptions::kNameSize]) {
  std::size_t n = 0;
  while (n < FilterOptions::kNameSize && name[n] != '\0')
    ++n;
  return std::string(name, n);
}

// Whether the filter's constructor accepts the request (else the chain
// refuses it): the checks as the filters state them.
bool accepted(const FilterOptions& o, double rate) {
  const double ratio = o.cutoff_frequency / rate;
  const bool cutoff_ok = ratio >= 0.0 && ratio <= 0.5;
  switch (o.type) {
    case vorel_device::kLowPassFilter:
    case vorel_device::kHighPassRateLimiter:
      return cutoff_ok;
    case vorel_device::kNotchFilter:
      return o.reject_frequency >= 0.0 && o.reject_frequency <= 0.5 * rate;
    case vorel_device::kRateLimiter:
      return true;
    default:
      return false;
  }
}

bool boundedRate(double r) {
  return std::isfinite(r) && std::fabs(r) <= kRateBound;
}

// Whether the filter stays finite for finite, bounded input (see above).
bool bounded(const FilterOptions& o, double rate) {
  switch (o.type) {
    case vorel_device::kNotchFilter:
      return o.bandwidth >= 0.0 && o.bandwidth <= 2.0 * rate / 3.0;
    case vorel_device::kRateLimiter:
    case vorel_device::kHighPassRateLimiter:
      return boundedRate(o.rising_rate) && boundedRate(o.falling_rate);
    default:
      return true;
  }
}

// Folds a double into [0, limit]: non-finite values become limit / 2.
double foldInto(double x, double limit) {
  if (!std::isfinite(x))
    return 0.5 * limit;
  const double folded = std::fmod(std::fabs(x), limit + limit * 1e-9);
  return folded > limit ? limit : folded;
}

double foldRate(double x) {
  return std::isfinite(x) ? std::fmod(x, kFoldedRateBound) : 0.0;
}

// The input, read front to back; past its end every byte reads as 0.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool done() const { return pos_ >= size_; }
  std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  void bytes(void* out, std::size_t n) {
    auto* p = static_cast<std::uint8_t*>(out);
    for (std::size_t i = 0; i < n; ++i)
      p[i] = byte();
  }
  std::int16_t int16() {
    const std::uint8_t lo = byte();
    const std::uint8_t hi = byte();
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(lo | (hi << 8)));
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

FilterOptions recordFrom(Input& in) {
  FilterOptions o;
  in.bytes(&o, sizeof(FilterOptions));
  return o;
}

void setShortName(FilterOptions& o, std::uint8_t which) {
  std::memset(o.name, 0, FilterOptions::kNameSize);
  o.name[0] = 'f';
  o.name[1] = static_cast<char>('0' + which % 4);
}

class Harness {
 public:
  explicit Harness(double rate) : rate_(rate) {}

  void add(const FilterOptions& o) {
    using Outcome = FilterChain::Outcome;
    const Outcome outcome = chain_.add(o, rate_);
    const std::string key = keyOf(o.name);
    if (!accepted(o, rate_)) {
      FUZZ_CHECK(outcome == Outcome::kUnknownType || outcome == Outcome::kOutOfRange);
      return;
    }
    if (!erase(key) && model_.size() == FilterChain::kCapacity) {
      FUZZ_CHECK(outcome == Outcome::kFull);
      return;
    }
    FUZZ_CHECK(outcome != Outcome::kFull);
    model_.push_back(Entry{key, o.type, bounded(o, rate_)});
  }

  void remove(const FilterOptions& o) {
    chain_.remove(o);
    const std::string key = keyOf(o.name);
    if (key == "all")
      model_.clear();
    else
      erase(key);
    if (model_.empty())
      poisoned_ = false;
  }

  void apply(double sample, double reference) {
    const bool must_be_finite =
        std::isfinite(sample) && std::isfinite(reference) && !poisoned_ && allBounded();
    if (!std::isfinite(sample) && !model_.empty())
      poisoned_ = true;
    for (int axis = 0; axis < 6; ++axis) {
      const double scale = 1.0 - 0.25 * axis;  // each axis its own signal
      const double x = sample * scale;
      const double y = chain_.apply(x, reference * scale, axis);
      if (must_be_finite)
        FUZZ_CHECK(std::isfinite(y));
      if (model_.empty() && !std::isnan(x))
        FUZZ_CHECK(y == x);  // an empty chain passes the sample on
    }
  }

  void checkConsistent() const {
    FUZZ_CHECK(chain_.size() == model_.size());
    FUZZ_CHECK(chain_.empty() == model_.empty());
    const std::vector<std::string>& order = chain_.order();
    FUZZ_CHECK(order.size() == model_.size());
    for (std::size_t i = 0; i < model_.size(); ++i) {
      FUZZ_CHECK(order[i] == model_[i].key);
      vorel_device::Filter* filter = chain_.find(model_[i].key);
      FUZZ_CHECK(filter != nullptr);
      FUZZ_CHECK(filter->type() == model_[i].type);
    }
  }

  double rate() const { return rate_; }

 private:
  struct Entry {
    std::string key;
    std::int32_t type;
    bool bounded;
  };

  // Whether `key` was there.
  bool erase(const std::string& key) {
    for (auto it = model_.begin(); it != model_.end(); ++it) {
      if (it->key == key) {
        model_.erase(it);
        return true;
      }
    }
    return false;
  }

  bool allBounded() const {
    for (const Entry& e : model_) {
      if (!e.bounded)
        return false;
    }
    return true;
  }

  double rate_;
  FilterChain chain_;
  std::vector<Entry> model_;
  bool poisoned_ = false;  // a non-finite sample went into a non-empty chain
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  static const double kRates[] = {500.0, 250.0, 100.0};
  Harness harness(kRates[in.byte() % 3]);

  while (!in.done()) {
    switch (in.byte() % 6) {
      case 0:
        harness.add(recordFrom(in));
        break;
      case 1: {
        FilterOptions o = recordFrom(in);
        o.type = 1 + static_cast<std::int32_t>(static_cast<std::uint32_t>(o.type) % 4);
        setShortName(o, static_cast<std::uint8_t>(o.name[0]));
        const double nyquist = 0.5 * harness.rate();
        o.cutoff_frequency = foldInto(o.cutoff_frequency, nyquist);
        o.reject_frequency = foldInto(o.reject_frequency, nyquist);
        o.bandwidth = foldInto(o.bandwidth, 2.0 * nyquist);
        o.rising_rate = foldRate(o.rising_rate);
        o.falling_rate = foldRate(o.falling_rate);
        harness.add(o);
        break;
      }
      case 2: {
        FilterOptions o;
        const std::uint8_t which = in.byte();
        if (which == 0xFF)
          std::memcpy(o.name, "all", 3);
        else
          setShortName(o, which);
        harness.remove(o);
        break;
      }
      case 3: {
        FilterOptions o;
        in.bytes(o.name, FilterOptions::kNameSize);
        harness.remove(o);
        break;
      }
      case 4: {
        const int n = 1 + in.byte() % 32;
        for (int i = 0; i < n && !in.done(); ++i) {
          const double sample = in.int16() * kSampleScale;
          const double reference = in.int16() * kSampleScale;
          harness.apply(sample, reference);
        }
        break;
      }
      case 5: {
        static const double kNonFinite[] = {std::numeric_limits<double>::quiet_NaN(),
                                            std::numeric_limits<double>::infinity(),
                                            -std::numeric_limits<double>::infinity()};
        harness.apply(kNonFinite[in.byte() % 3], 0.0);
        break;
      }
    }
    harness.checkConsistent();
  }
  return 0;
}
